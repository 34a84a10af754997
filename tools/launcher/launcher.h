// quor_launcher: a stand-in for the device's launcher. It answers the start
// and kill requests of quor_amsd on the IPC socket, runs the apps, and
// reports their launches, output lines and exits as event lines on the
// daemon's control socket.
//
// Result codes of its replies: 0 and 8 mean what the daemon reads in them;
// the others are this launcher's own refusals.
//   0  accepted
//   2  bad package id: empty, ".", "..", or holding "/", a blank or a
//      control character
//   3  no directory for the package in the apps directory
//   4  the executable is missing, not a regular file or not executable
//   5  too many apps running
//   6  the output pipe or the fork failed
//   7  kill: the app is not running
//   8  start: the app is running already
//
// One thread, one poll loop. Each app runs in a process group of its own,
// with stdin on /dev/null, stdout on a pipe to the launcher and stderr
// inherited.

#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "amsd/base/limits.h"
#include "amsd/launcher/frame.h"

constexpr std::uint32_t CODE_BAD_PKG = 2;
constexpr std::uint32_t CODE_NO_APP = 3;
constexpr std::uint32_t CODE_NOT_EXEC = 4;
constexpr std::uint32_t CODE_TABLE_FULL = 5;
constexpr std::uint32_t CODE_SPAWN_FAILED = 6;
constexpr std::uint32_t CODE_NOT_RUNNING = 7;

constexpr int MAX_IPC_CONNS = 8;
constexpr int LISTEN_BACKLOG = 8;
constexpr int POLL_MS = 1000;
constexpr std::uint64_t REQUEST_WAIT_MS = 1000;  // for a whole request frame
constexpr std::uint64_t RECONNECT_MS = 500;      // between control connects
constexpr std::uint64_t STOP_GRACE_MS = 1000;    // for apps to end at exit
constexpr std::size_t QUEUE_MAX = 512;           // control lines held back
// Bytes of one output line that are sent; the daemon takes lines of up to
// 2047 bytes, and the event words before the text need room too.
constexpr std::size_t OUT_TEXT_MAX = 1900;
constexpr int DRAIN_READS_MAX = 32;  // 128 KiB: more than a full pipe holds
constexpr int CHILD_EXEC_FAILED = 127;

constexpr std::size_t PATH_SIZE = 1024;

struct LauncherConfig {
  char ipc_sock[SOCK_PATH_SIZE];
  char ams_sock[SOCK_PATH_SIZE];
  char apps_dir[512];
};

struct App {
  pid_t pid;  // 0: free slot
  char pkg[PKG_SIZE];
  int out_fd;  // read end of the app's stdout; -1 once it reached its end
  std::uint64_t start_ms;
  char line[OUT_TEXT_MAX];  // the output line being collected
  std::size_t line_len;
  bool line_cut;  // bytes beyond OUT_TEXT_MAX were dropped
};

struct IpcConn {
  int fd;  // -1: free slot
  std::uint8_t buf[IPC_HEADER_SIZE + sizeof(StartRequest)];
  std::size_t have;
  std::size_t need;  // header first, then header and payload
  std::uint64_t deadline_ms;
};

// The control connection and the lines waiting for it. A line is written
// whole on one connection: after a failure it goes again from its start.
struct Control {
  int fd = -1;
  std::deque<std::string> queue;
  std::size_t sent = 0;  // bytes of queue.front() already written
  std::uint64_t next_try_ms = 0;
  bool failing = false;  // the last connect failed; said once
  bool dropping = false;
};

struct Launcher {
  LauncherConfig cfg;
  int listen_fd = -1;
  int sig_fd = -1;  // read end of the self-pipe
  App apps[MAX_APPS];
  IpcConn conns[MAX_IPC_CONNS];
  Control ctl;
};

// The prefix of the launcher's console lines (console_line).
inline constexpr char CONSOLE[] = "[quor_launcher] ";

// The control connection: event lines to quor_amsd (control.cpp).
void ctl_queue(Launcher& l, const char* line);
void ctl_flush(Launcher& l, std::uint64_t now);
void ctl_readable(Launcher& l, std::uint64_t now);

// Apps: starting and stopping them (apps.cpp).
std::uint32_t start_app(Launcher& l, const StartRequest& r);
void signal_app(const App& a, int sig);
std::uint32_t kill_app(Launcher& l, const KillRequest& r);

// App output and exits, reported as event lines (output.cpp).
bool read_output(Launcher& l, App& a);
void reap_children(Launcher& l);

// IPC requests from quor_amsd (frames.cpp).
void conn_close(IpcConn& c);
void conn_readable(Launcher& l, IpcConn& c);
void accept_requests(Launcher& l, std::uint64_t now);
