// A scratch directory for one test, removed with everything in it.
#pragma once

#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>

class TempDir {
 public:
  TempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl =
        std::string(base && *base ? base : "/tmp") + "/qt.XXXXXX";
    if (mkdtemp(tmpl.data())) {
      path_ = tmpl;
    }
  }
  ~TempDir() {
    if (!path_.empty()) {
      nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    }
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const {
    return path_ + "/" + std::string(name);
  }

 private:
  static int remove_entry(const char* p, const struct stat*, int, struct FTW*) {
    std::remove(p);
    return 0;
  }
  std::string path_;
};

// Small file helpers for tests.
inline bool write_file(const std::string& path, std::string_view data) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    return false;
  }
  bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  return std::fclose(f) == 0 && ok;
}

inline std::string read_file(const std::string& path) {
  std::string out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    return out;
  }
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    out.append(buf, n);
  }
  std::fclose(f);
  return out;
}
