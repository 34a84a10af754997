// quor_logs' line reader over any bytes a card may hold: every line must
// stand at its offset in the file, whole or cut to LINE_HOLD, one after the
// other up to the end; a file read while it grows (the first byte says where
// it was cut) must give the same lines; the line parsers must hand back a
// text from inside the line; and JSON output must be UTF-8 without a raw
// control byte.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_target.h"
#include "tools/json_text.h"
#include "tools/logs/line_reader.h"
#include "tools/logs/log_line.h"
#include "tools/out.h"

namespace {

struct Seen {
  std::int64_t at;
  std::string bytes;
  bool newline;
  bool cut;
  bool operator==(const Seen&) const = default;
};

LineReader g_reader;
Out g_out;

int memory_file(std::string_view bytes) {
  int fd = memfd_create("fuzz", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(write(fd, bytes.data(), bytes.size()) ==
             static_cast<ssize_t>(bytes.size()));
  return fd;
}

void check_parsed(const Line& line) {
  LogEntry e;
  for (int kind = 0; kind < 2; ++kind) {
    bool ok =
        kind == 0 ? parse_service_line(line, e) : parse_capture_line(line, e);
    if (!ok) {
      continue;
    }
    FUZZ_CHECK(line.newline && !line.cut);
    FUZZ_CHECK(e.text.data() >= line.bytes.data() &&
               e.text.data() + e.text.size() ==
                   line.bytes.data() + line.bytes.size());
    FUZZ_CHECK(std::memchr(line.bytes.data(), '\0', line.bytes.size()) ==
               nullptr);
    ServiceEvent ev = classify_service_text(e.text);
    FUZZ_CHECK(ev.pkg.empty() || (ev.pkg.data() >= e.text.data() &&
                                  ev.pkg.data() + ev.pkg.size() <=
                                      e.text.data() + e.text.size()));
  }
}

// The JSON of the line's bytes: escapes for every control byte, and
// nothing but UTF-8.
void check_json(const Line& line) {
  int fd = memfd_create("json", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  g_out.fd = fd;
  g_out.len = 0;
  g_out.failed = false;
  out_json_string(g_out, line.bytes);
  out_flush(g_out);
  std::string json(static_cast<std::size_t>(lseek(fd, 0, SEEK_CUR)), '\0');
  FUZZ_CHECK(pread(fd, json.data(), json.size(), 0) ==
             static_cast<ssize_t>(json.size()));
  close(fd);
  FUZZ_CHECK(json.size() >= 2 && json.front() == '"' && json.back() == '"');
  for (std::size_t i = 0; i < json.size();) {
    auto u = static_cast<unsigned char>(json[i]);
    FUZZ_CHECK(u >= 0x20 && u != 0x7F);
    std::size_t n = utf8_length(json, i);
    FUZZ_CHECK(n > 0);
    i += n;
  }
}

std::vector<Seen> read_lines(int fd, std::string_view data,
                             std::size_t grow_at) {
  std::vector<Seen> seen;
  line_reader_start(g_reader, fd, 0);
  Line line;
  for (int round = grow_at < data.size() ? 0 : 1; round < 2; ++round) {
    if (round == 1 && grow_at < data.size()) {
      std::string_view rest = data.substr(grow_at);
      FUZZ_CHECK(
          pwrite(fd, rest.data(), rest.size(), static_cast<off_t>(grow_at)) ==
          static_cast<ssize_t>(rest.size()));
    }
    while (line_reader_next(g_reader, line, round == 1) == ReadStep::kLine) {
      seen.push_back(
          Seen{ line.at, std::string(line.bytes), line.newline, line.cut });
      if (round == 1 || seen.size() < 64) {
        check_parsed(line);
      }
    }
  }
  return seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size == 0) {
    return 0;
  }
  std::size_t grow_at = data[0] * size / 256;
  std::string_view in(reinterpret_cast<const char*>(data + 1), size - 1);
  grow_at = grow_at < in.size() ? grow_at : in.size();

  int whole = memory_file(in);
  std::vector<Seen> all = read_lines(whole, in, in.size());
  close(whole);

  std::int64_t next = 0;
  for (const Seen& s : all) {
    FUZZ_CHECK(s.at == next);
    FUZZ_CHECK(s.bytes.size() <= LINE_HOLD);
    FUZZ_CHECK(in.substr(static_cast<std::size_t>(s.at), s.bytes.size()) ==
               s.bytes);
    std::size_t end = static_cast<std::size_t>(s.at) + s.bytes.size();
    if (s.cut) {
      FUZZ_CHECK(s.bytes.size() == LINE_HOLD && !s.newline);
      FUZZ_CHECK(s.bytes.find('\n') == std::string::npos);
      std::size_t nl = in.find('\n', end);
      next = nl == std::string_view::npos ? static_cast<std::int64_t>(in.size())
                                          : static_cast<std::int64_t>(nl) + 1;
      continue;
    }
    FUZZ_CHECK(s.bytes.find('\n') == std::string::npos);
    FUZZ_CHECK(s.newline ? end < in.size() && in[end] == '\n'
                         : end == in.size());
    next = static_cast<std::int64_t>(end) + (s.newline ? 1 : 0);
  }
  FUZZ_CHECK(next == static_cast<std::int64_t>(in.size()));
  if (!all.empty()) {
    Line last;
    last.bytes = all.back().bytes;
    check_json(last);
  }

  // The same file read while it is written: the lines do not change.
  int growing = memory_file(in.substr(0, grow_at));
  FUZZ_CHECK(read_lines(growing, in, grow_at) == all);
  close(growing);
  return 0;
}
