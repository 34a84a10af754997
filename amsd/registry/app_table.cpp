#include "amsd/registry/app_table.h"
