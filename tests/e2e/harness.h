// End-to-end harness: runs the real quor_amsd on paths inside a scratch
// directory and talks to it over its real socket. Every wait polls until a
// deadline; nothing sleeps a fixed time to synchronise.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/temp_dir.h"

namespace e2e {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

// Generous: CI machines are small and busy.
constexpr Millis DEADLINE = 20s;

// Polls cond every few milliseconds until it holds or the time is up.
bool wait_until(const std::function<bool()>& cond, Millis limit = DEADLINE);

// A client connection to a UNIX stream socket.
class Conn {
 public:
  explicit Conn(const std::string& path);
  ~Conn();
  Conn(Conn&& o) noexcept;
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  bool send(std::string_view bytes);
  void shutdown_write();
  // Everything the peer sends until it closes (or the time is up).
  std::string read_all(Millis limit = DEADLINE);
  // True when the peer has closed; waits up to limit for that.
  bool closed_by_peer(Millis limit = DEADLINE);
  // True when the peer has neither sent anything nor closed right now.
  bool open_and_quiet();

 private:
  int fd_ = -1;
};

// The path of a built program: the environment variable var when set and
// not empty, else the path the build gave.
std::string built(const char* var, const char* path);
// The words that run the built program bin. In a cross build the emulator
// that ctest runs the tests with comes first (qemu-user and the target's
// library root), so that nothing depends on binfmt_misc.
std::vector<std::string> program(const std::string& bin);
// A file that a shell script can exec in bin's place: bin itself, or under
// an emulator a wrapper script made in dir.
std::string script_runnable(const std::string& bin, const std::string& dir);

// Sends line (plus a newline) on a fresh connection and reads until close.
std::string unix_command(const std::string& path, std::string_view line);

// Result of a program run to its end.
struct Exit {
  int status = -1;  // exit status, or -1 when killed by a signal / timed out
  std::string out;  // its standard output (run_program)
  std::string err;  // its standard error
};

// A child process with stdin from /dev/null and stdout/stderr in files.
// The child's environment is ours without any QUOR_* variable, plus env.
class Process {
 public:
  Process() = default;
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Runs argv[0] in directory cwd.
  bool spawn(const std::vector<std::string>& argv,
             const std::vector<std::string>& env, const std::string& out_path,
             const std::string& err_path, const std::string& cwd);
  pid_t pid() const { return pid_; }
  bool running();
  // Waits for the end; the exit status, or -1 (signal, time-out).
  int wait_exit(Millis limit = DEADLINE);
  // SIGTERM, then wait_exit; SIGKILL when it does not end in time.
  int terminate(Millis limit = DEADLINE);
  void kill_now();

  // When set, the child runs as this user (and group) instead.
  int run_as_uid = -1;

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// Runs bin with args in dir to its end, env added to its environment; its
// output passes through dir's files "run.out" and "run.err".
Exit run_program(const std::string& bin, const std::vector<std::string>& args,
                 const TempDir& dir, const std::vector<std::string>& env = {});

// The lines of text without their newlines; an unfinished last line is left
// out.
std::vector<std::string> lines_of(const std::string& text);

// The daemon under test, with every path inside dir:
//   sock, ipc.sock, crash.sock, apps/, card/ (with QuorOS/, so the card log
//   opens at start-up unless told otherwise).
class Amsd {
 public:
  explicit Amsd(const TempDir& dir);
  ~Amsd();

  std::string sock, ipc_sock, crash_sock, apps, card, logs;

  static std::string binary();
  // The options that point the daemon into the scratch directory.
  std::vector<std::string> path_options() const;

  // Starts with path_options() + extra and waits for the start-up line.
  bool start(const std::vector<std::string>& extra = {},
             const std::vector<std::string>& env = {});
  // Runs with exactly these arguments to its end (for option errors).
  Exit run(const std::vector<std::string>& args,
           const std::vector<std::string>& env = {}, Millis limit = DEADLINE);

  std::string command(std::string_view line) const {
    return unix_command(sock, line);
  }
  Conn connect() const { return Conn(sock); }

  std::string err() const;
  bool wait_err(std::string_view text, Millis limit = DEADLINE) const;
  // All service log files on the card, concatenated.
  std::string service_log() const;
  bool wait_log(std::string_view text, Millis limit = DEADLINE) const;
  // Service log lines without their time fields ("<ts> <up> amsd ").
  std::vector<std::string> log_texts() const;

  // SIGTERM and wait; the exit status.
  int stop();
  Process& process() { return proc_; }

 private:
  std::string root_;
  Process proc_;
};

// Number of non-overlapping occurrences of what in text.
int count_of(std::string_view text, std::string_view what);

// Moves a fixed file (the /tmp buffer, the boot stamp) out of the way and
// puts it back afterwards; the tests that use one hold its ctest lock.
class SavedFile {
 public:
  explicit SavedFile(std::string path);
  ~SavedFile();
  SavedFile(const SavedFile&) = delete;
  SavedFile& operator=(const SavedFile&) = delete;

 private:
  std::string path_;
  std::string saved_;  // empty when nothing stood there
};

// Creates an app directory with an optional manifest.
void make_app(const std::string& apps, const std::string& pkg,
              const std::string& manifest = "");

}  // namespace e2e
