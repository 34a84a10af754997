#include "wlog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr std::size_t SUPER_BYTES = 28;  // magic, version, entries, size
constexpr std::size_t HEADER_BYTES = 32;
// Log sector sizes taken: a power of two from 512 bytes on.
constexpr std::uint32_t MIN_SECTOR = 512;
constexpr std::uint32_t MAX_SECTOR = 1u << 20;
// An entry of more sectors than this is a broken header, not a write.
constexpr std::uint64_t MAX_ENTRY_SECTORS = 1u << 24;

// Copies go through this buffer; one replay runs at a time.
constinit char copy_buf[1 << 16];

std::uint64_t le_bytes(const unsigned char* p, int n) {
  std::uint64_t v = 0;
  for (int i = n - 1; i >= 0; i--) {
    v = v << 8 | p[i];
  }
  return v;
}

std::uint64_t le64(const unsigned char* p) {
  return le_bytes(p, 8);
}

// pread of exactly n bytes: 0, -1 on an error, WLOG_BAD_FORMAT at the end
// of the file.
int read_at(int fd, void* buf, std::size_t n, std::uint64_t pos) {
  auto* p = static_cast<char*>(buf);
  while (n > 0) {
    ssize_t got = pread(fd, p, n, static_cast<off_t>(pos));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return -1;
    }
    if (got == 0) {
      return WLOG_BAD_FORMAT;
    }
    p += got;
    n -= static_cast<std::size_t>(got);
    pos += static_cast<std::uint64_t>(got);
  }
  return 0;
}

int write_at(int fd, const void* buf, std::size_t n, std::uint64_t pos) {
  const auto* p = static_cast<const char*>(buf);
  while (n > 0) {
    ssize_t put = pwrite(fd, p, n, static_cast<off_t>(pos));
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      return -1;
    }
    p += put;
    n -= static_cast<std::size_t>(put);
    pos += static_cast<std::uint64_t>(put);
  }
  return 0;
}

std::uint64_t round_up(std::uint64_t n, std::uint32_t unit) {
  return (n + unit - 1) / unit * unit;
}

}  // namespace

int wlog_open(WlogLog& log, int fd) {
  unsigned char super[SUPER_BYTES];
  log = WlogLog{};
  log.fd = fd;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    return -1;
  }
  int rc = read_at(fd, super, sizeof super, 0);
  if (rc != 0) {
    return rc;
  }
  std::uint64_t size = le_bytes(super + 24, 4);
  if (le64(super) != WLOG_MAGIC || le64(super + 8) != WLOG_VERSION ||
      size < MIN_SECTOR || size > MAX_SECTOR || (size & (size - 1)) != 0) {
    return WLOG_BAD_FORMAT;
  }
  log.sector_size = static_cast<std::uint32_t>(size);
  log.nr_entries = le64(super + 16);
  log.log_bytes = static_cast<std::uint64_t>(st.st_size);
  log.next_pos = size;
  return 0;
}

int wlog_next(WlogLog& log, WlogEntry& entry) {
  if (log.entries_read >= log.nr_entries) {
    return 0;
  }
  unsigned char head[HEADER_BYTES];
  int rc = read_at(log.fd, head, sizeof head, log.next_pos);
  if (rc != 0) {
    return rc;
  }
  entry = WlogEntry{};
  entry.index = log.entries_read + 1;
  entry.sector = le64(head);
  entry.nr_sectors = le64(head + 8);
  entry.flags = le64(head + 16);
  entry.data_len = le64(head + 24);
  entry.data_pos = log.next_pos + log.sector_size;
  if (entry.nr_sectors > MAX_ENTRY_SECTORS) {
    return WLOG_BAD_FORMAT;
  }
  // A write carries its sectors (data_len is 0 or says the same); a mark
  // carries data_len bytes of text; a discard or a bare flush nothing.
  std::uint64_t sectors_bytes = entry.nr_sectors * log.sector_size;
  if (entry.flags & WLOG_MARK) {
    entry.data_bytes = entry.data_len;
  } else if (!(entry.flags & WLOG_DISCARD)) {
    if (entry.data_len != 0 && entry.data_len != sectors_bytes) {
      return WLOG_BAD_FORMAT;
    }
    entry.data_bytes = sectors_bytes;
  }
  if (entry.data_bytes > log.log_bytes ||
      entry.data_pos + entry.data_bytes > log.log_bytes) {
    return WLOG_BAD_FORMAT;
  }
  log.next_pos = entry.data_pos + round_up(entry.data_bytes, log.sector_size);
  log.entries_read++;
  return 1;
}

int wlog_apply(const WlogLog& log, const WlogEntry& entry, int image_fd,
               std::uint64_t shift) {
  if ((entry.flags & WLOG_MARK) || entry.nr_sectors == 0) {
    return 0;
  }
  bool discard = (entry.flags & WLOG_DISCARD) != 0;
  std::uint64_t at = entry.sector * log.sector_size;
  std::uint64_t left = entry.nr_sectors * log.sector_size;
  std::uint64_t from = entry.data_pos;
  // Whatever lies before the image (the partition table) is skipped.
  if (at < shift) {
    std::uint64_t skip = shift - at < left ? shift - at : left;
    at += skip;
    from += skip;
    left -= skip;
  }
  if (discard) {
    std::memset(copy_buf, 0, sizeof copy_buf);
  }
  while (left > 0) {
    std::size_t n = left < sizeof copy_buf ? left : sizeof copy_buf;
    if (!discard) {
      int rc = read_at(log.fd, copy_buf, n, from);
      if (rc != 0) {
        return rc;
      }
    }
    if (write_at(image_fd, copy_buf, n, at - shift) != 0) {
      return -1;
    }
    at += n;
    from += n;
    left -= n;
  }
  return 0;
}
