// Sizes shared by more than one part of quor_amsd and its tools.
#pragma once

#include <sys/un.h>

#include <cstddef>

// One text line of the control socket or the service log: at most this many
// bytes before its newline.
constexpr int LINE_MAX_BYTES = 2047;
constexpr int LINE_BUF_SIZE = LINE_MAX_BYTES + 1;

// The reply text of one read of a connection, its NUL included.
constexpr int REPLY_BUF_SIZE = 512;

// A path built under the card (logs, capture files), its NUL included.
constexpr std::size_t PATH_BUF_SIZE = 512;

// A UNIX socket path, its NUL included: the size of sockaddr_un's sun_path.
constexpr std::size_t SOCK_PATH_SIZE = sizeof(sockaddr_un::sun_path);
static_assert(SOCK_PATH_SIZE == 108);
