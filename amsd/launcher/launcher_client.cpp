#include "amsd/launcher/launcher_client.h"

int launcher_call(const char*, std::uint16_t, const void*, std::uint32_t,
                  std::uint32_t*) {
  return -1;
}
