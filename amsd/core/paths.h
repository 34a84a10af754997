// Fixed paths of quor_amsd. They are not configurable on purpose: other
// components of the device agree on them. Functions that read or write them
// take the path as a parameter defaulting to these, so tests can use others.
#pragma once

namespace paths {
inline constexpr char kBufferLog[] = "/tmp/quor_ams.log";
inline constexpr char kBootStamp[] = "/tmp/quor_bootts";
inline constexpr char kUptime[] = "/proc/uptime";
inline constexpr char kProcStat[] = "/proc/stat";  // its "btime" line
inline constexpr char kMounts[] = "/proc/mounts";

inline constexpr char kDefaultSock[] = "/usr/data/quor_ams.sock";
inline constexpr char kDefaultIpcSock[] = "/usr/data/quor_ipc.sock";
inline constexpr char kDefaultApps[] = "/usr/data/mnt/sd_0/QuorAPPs";
inline constexpr char kDefaultCard[] = "/usr/data/mnt/sd_0";
inline constexpr char kDefaultCrashSock[] = "/tmp/quor_crash.sock";

// Below the card root: the service logs and the per-app capture directories.
inline constexpr char kCardLogsSubdir[] = "QuorOS/logs";
}  // namespace paths
