// Runs a fuzz target once on every file named, or on every file in the
// directories named (dot files skipped), in name order: the ordinary build
// replays the seed corpus and the regression inputs this way, without
// libFuzzer. A broken property aborts, which fails the test.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/fuzz_target.h"

namespace {

bool read_all(const std::string& path, std::vector<std::uint8_t>& out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    return false;
  }
  out.clear();
  std::uint8_t buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    out.insert(out.end(), buf, buf + n);
  }
  bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

// The files to run for one argument; false when it names nothing readable.
bool collect(const std::string& arg, std::vector<std::string>& files) {
  struct stat st;
  if (stat(arg.c_str(), &st) != 0) {
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    files.push_back(arg);
    return true;
  }
  DIR* dir = opendir(arg.c_str());
  if (!dir) {
    return false;
  }
  std::vector<std::string> names;
  while (struct dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') {
      names.emplace_back(e->d_name);
    }
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    files.push_back(arg + "/" + name);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (!collect(argv[i], files)) {
      std::fprintf(stderr, "replay: cannot read %s\n", argv[i]);
      return 1;
    }
  }
  std::vector<std::uint8_t> data;
  // libFuzzer never passes a null pointer, not even for no bytes.
  static const std::uint8_t none = 0;
  for (const std::string& path : files) {
    if (!read_all(path, data)) {
      std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
      return 1;
    }
    std::fprintf(stderr, "replay: %s\n", path.c_str());
    LLVMFuzzerTestOneInput(data.empty() ? &none : data.data(), data.size());
  }
  std::printf("replayed %zu input(s)\n", files.size());
  return 0;
}
