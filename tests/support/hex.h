// Payload text as the launcher sends it in event lines.
#pragma once

#include <string>
#include <string_view>

// Two lower-case hex digits per byte.
inline std::string hex(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}
