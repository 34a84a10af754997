// The "start" and "kill" commands: both forward to the launcher.
#pragma once

#include <string_view>

#include "amsd/protocol/reply.h"

struct Daemon;

// arg is "<pkg>[/<act>]", never empty. Writes one reply line.
void start_command(Daemon& d, std::string_view arg, Reply& out);

// arg is the package id, never empty. Writes one reply line.
void kill_command(Daemon& d, std::string_view arg, Reply& out);
