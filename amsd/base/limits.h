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

// Fields of the app records and of the launcher frames, each size with its
// NUL. The frames carry pkg, activity and action, so their layout rests on
// these (frame.h checks it).
constexpr int PKG_SIZE = 32;       // package id, at most 31 bytes
constexpr int ACTIVITY_SIZE = 64;  // activity name
constexpr int CHAIN_SIZE = 160;    // route chain, ';'-separated activities
constexpr int ACTION_SIZE = 24;    // picker action
constexpr int NAME_SIZE = 49;      // display name
constexpr int EXEC_SIZE = 129;     // manifest's executable
constexpr int ROUTE_KEY_SIZE = 16;

// Tables: apps in the registry (and apps the stand-in launcher runs at
// once), routes per app, declared pickers.
constexpr int MAX_APPS = 64;
constexpr int MAX_ROUTES = 8;
constexpr int MAX_PICKERS = 8;

// A UNIX socket path, its NUL included: the size of sockaddr_un's sun_path.
constexpr std::size_t SOCK_PATH_SIZE = sizeof(sockaddr_un::sun_path);
static_assert(SOCK_PATH_SIZE == 108);
