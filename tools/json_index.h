// A strict JSON reader that indexes a manifest's top-level members for
// quor_manifest: whether the text is UTF-8 and valid JSON, and where each
// member's key and value lie. No heap, no exceptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

constexpr int JSON_MAX_MEMBERS = 128;
constexpr int JSON_MAX_DEPTH = 64;

struct JsonMember {
  std::uint32_t key_at, key_end;  // the key's quotes
  std::uint32_t value_at;         // the value's first byte (a string's quote)
  std::uint32_t value_end;        // one past its last byte
  bool string;
  char key[128];  // escapes of ASCII decoded, others as written; cut to fit
};

struct JsonIndex {
  bool utf8, valid;  // valid: JSON, with an object at the top
  std::uint32_t bad_utf8_at, error_at;  // where each stops being so
  const char* error;                    // and why not valid
  int count;
  bool cut;  // more members than the table holds
  JsonMember members[JSON_MAX_MEMBERS];
};

void json_index(std::string_view text, JsonIndex& out);

// The member whose key or value holds offset; nullptr when none does.
const JsonMember* json_member_at(const JsonIndex& j, std::size_t offset);

// The line (from 1) of offset in text.
int json_line_at(std::string_view text, std::size_t offset);
