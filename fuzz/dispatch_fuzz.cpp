// The command dispatcher on fresh tables. The first byte says, bit i for the
// i-th line (mod 8), whether a line comes from the launcher's user or from a
// stranger; the rest is cut into lines that go through dispatch_line as the
// event loop hands them on, their replies gathered in one 512-byte buffer.
// Each reply must stay inside the room it was given, and the tables inside
// their bounds.
#include <ftw.h>
#include <signal.h>
#include <sys/syscall.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "amsd/base/limits.h"
#include "amsd/base/text.h"
#include "amsd/log/capture.h"
#include "amsd/protocol/dispatch.h"
#include "amsd/registry/scan.h"
#include "fuzz/fuzz_target.h"
#include "tests/support/scratch_tables.h"

namespace {

// Set while a line is handled; see kill below.
bool in_line = false;

}  // namespace

// With the launcher away, kill falls back to SIGTERM on the recorded pid,
// and any "EV LAUNCH" line sets that pid: the fuzzer would signal the
// machine's processes at random. A signal sent while a line is handled is
// dropped; every other one goes through.
extern "C" int kill(pid_t pid, int sig) noexcept {
  if (in_line) {
    return 0;
  }
  return static_cast<int>(syscall(SYS_kill, pid, sig));
}

namespace {

void write_app(const std::string& apps, const char* pkg, const char* manifest) {
  std::string dir = apps + "/" + pkg;
  mkdir(dir.c_str(), 0755);
  if (manifest) {
    write_file(dir + "/app.json", manifest);
  }
}

PendingPick pending(std::uint32_t req, const char* caller, const char* action,
                    const char* handler) {
  PendingPick p = {};
  p.in_use = true;
  p.req = req;
  copy_text(p.caller, caller);
  copy_text(p.action, action);
  copy_text(p.handler, handler);
  return p;
}

// The tables every input starts from: a scan of three apps, and two picker
// requests that a launcher took earlier (none answers here), one of them
// already answered.
struct State {
  ScratchTables f;
  std::unique_ptr<Registry> base = std::make_unique<Registry>();
  PickerRequests base_picks;
  std::string logs = f.card + "/QuorOS/logs";
  // A capture file one line short of rotation, for demo's pid 42 at ts 1000.
  std::string full_dir = logs + "/demo";
  std::string full_file = full_dir + "/stdout_1000_42.log";

  State() {
    f.make_quiet_world();
    write_app(f.apps, "demo",
              "{\"name\": \"Demo\", \"exec\": \"/bin/true\",\n"
              " \"route.main\": \"demo_main\", \"route.settings\": \"set\",\n"
              " \"picker.share\": \"share_chain\"}\n");
    write_app(f.apps, "cam",
              "{\"name\": \"Cam\xc3\xa9ra\", \"picker.photo\": \"cam_photo\"}");
    write_app(f.apps, "bare", nullptr);
    registry_scan(*base, f.apps.c_str());
    base_picks.slots[0] = pending(7, "cam", "share", "demo");
    base_picks.slots[1] = pending(9, "", "photo", "cam");
    base_picks.slots[1].done = true;
    copy_text(base_picks.slots[1].result_value, "first");
    base_picks.next_req_id = 10;
  }
};

int remove_entry(const char* p, const struct stat*, int, struct FTW*) {
  std::remove(p);
  return 0;
}

void reset(State& s) {
  ProtocolTables& t = *s.f.d;
  stdout_session_reset(t.capture);
  t.registry = *s.base;
  t.picks = s.base_picks;
  nftw(s.logs.c_str(), remove_entry, 8, FTW_DEPTH | FTW_PHYS);
  mkdir(s.logs.c_str(), 0755);
  mkdir(s.full_dir.c_str(), 0755);
  int fd = open(s.full_file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) {
    int rc = ftruncate(fd, CAPTURE_ROTATE_BYTES - 16);
    (void)rc;
    close(fd);
  }
}

template <std::size_t N>
bool terminated(const char (&field)[N]) {
  return strnlen(field, N) < N;
}

void check_tables(const ProtocolTables& t) {
  const Registry& reg = t.registry;
  FUZZ_CHECK(reg.app_count >= 0 && reg.app_count <= MAX_APPS);
  for (int i = 0; i < reg.app_count; ++i) {
    const AppRecord& a = reg.apps[i];
    FUZZ_CHECK(terminated(a.pkg) && terminated(a.name) && terminated(a.exec));
    FUZZ_CHECK(terminated(a.activity) && terminated(a.chain));
    FUZZ_CHECK(a.route_count >= 0 && a.route_count <= MAX_ROUTES);
    FUZZ_CHECK(a.history_count >= 0 && a.history_count <= HISTORY_SIZE);
    FUZZ_CHECK(a.history_head >= 0 && a.history_head < HISTORY_SIZE);
  }
  FUZZ_CHECK(reg.picker_count >= 0 && reg.picker_count <= MAX_PICKERS);
  for (const PendingPick& p : t.picks.slots) {
    FUZZ_CHECK(terminated(p.action) && terminated(p.result_value));
  }
  FUZZ_CHECK(t.picks.next_req_id != 0);
  FUZZ_CHECK(!t.capture.active || t.capture.fd >= 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static State s;
  if (size == 0) {
    return 0;
  }
  reset(s);
  ProtocolTables& t = *s.f.d;
  Peer stranger{ -1, true, 4242, false, false, false };
  Peer launcher{ -1, true, 0, true, false, false };
  const std::uint8_t trust = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  char out[REPLY_BUF_SIZE];
  std::size_t out_len = 0;
  for (int i = 0; !rest.empty(); ++i) {
    std::size_t nl = rest.find('\n');
    std::string_view text = slice(rest, 0, nl);
    rest = nl == std::string_view::npos ? "" : slice(rest, nl + 1);
    // The loop skips lines that are empty as C text, and holds no more.
    if (text.empty() || text[0] == '\0') {
      continue;
    }
    text = slice(text, 0, LINE_MAX_BYTES);
    // Both on the heap at their exact size, so any overrun is a finding.
    std::unique_ptr<char[]> line(new char[text.size() + 1]);
    std::memcpy(line.get(), text.data(), text.size());
    line[text.size()] = '\0';
    std::size_t room = sizeof out - out_len;
    std::unique_ptr<char[]> reply(new char[room]);
    Peer& peer = (trust >> (i % 8)) & 1 ? launcher : stranger;
    in_line = true;
    bool answered = dispatch_line(t, peer, line.get(), reply.get(), room);
    in_line = false;
    if (answered) {
      std::size_t n = strnlen(reply.get(), room);
      FUZZ_CHECK(n < room);
      std::memcpy(out + out_len, reply.get(), n + 1);
      out_len += n;
    }
    check_tables(t);
    // A full buffer goes out and the next lines start a new one.
    if (out_len + 1 >= sizeof out) {
      out_len = 0;
    }
  }
  return 0;
}
