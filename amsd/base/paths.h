// Fixed paths of quor_amsd. They are not configurable on purpose: other
// components of the device agree on them. Functions that read or write them
// take the path as a parameter defaulting to these, so tests can use others.
#pragma once

namespace paths {
inline constexpr char BUFFER_LOG[] = "/tmp/quor_ams.log";
inline constexpr char BOOT_STAMP[] = "/tmp/quor_bootts";
inline constexpr char UPTIME[] = "/proc/uptime";
inline constexpr char PROC_STAT[] = "/proc/stat";  // its "btime" line
inline constexpr char MOUNTS[] = "/proc/mounts";
// Polled: the kernel flags it on every mount and unmount.
inline constexpr char SELF_MOUNTS[] = "/proc/self/mounts";

inline constexpr char DEFAULT_SOCK[] = "/usr/data/quor_ams.sock";
inline constexpr char DEFAULT_IPC_SOCK[] = "/usr/data/quor_ipc.sock";
inline constexpr char DEFAULT_APPS[] = "/usr/data/mnt/sd_0/QuorAPPs";
inline constexpr char DEFAULT_CARD[] = "/usr/data/mnt/sd_0";
inline constexpr char DEFAULT_CRASH_SOCK[] = "/tmp/quor_crash.sock";

// Below the card root: the service logs and the per-app capture directories.
inline constexpr char CARD_LOGS_SUBDIR[] = "QuorOS/logs";
}  // namespace paths
