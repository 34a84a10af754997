// A strict JSON reader that indexes where a manifest's top-level members
// lie, for quor_manifest: whether the text is UTF-8 and valid JSON, and
// each member's key with the offsets of its key and value. No heap, no
// exceptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

constexpr int JSON_MAX_MEMBERS = 128;
constexpr int JSON_MAX_DEPTH = 64;

struct JsonMember {
  std::uint32_t key_at;     // the key's opening quote
  std::uint32_t key_end;    // its closing quote
  std::uint32_t value_at;   // the value's first byte (a string's quote)
  std::uint32_t value_end;  // one past its last byte
  bool string;              // the value is a string
  char key[128];  // escapes of ASCII decoded, others as written; cut to fit
};

struct JsonIndex {
  bool utf8;                  // every byte is part of well-formed UTF-8
  std::uint32_t bad_utf8_at;  // else the first one that is not
  bool valid;                 // valid JSON, with an object at the top
  std::uint32_t error_at;     // else where it stops being valid
  const char* error;          // and why
  int count;
  bool cut;  // more members than the table holds
  JsonMember members[JSON_MAX_MEMBERS];
};

void json_index(std::string_view text, JsonIndex& out);

// The member whose key or value holds offset; nullptr when none does.
const JsonMember* json_member_at(const JsonIndex& j, std::size_t offset);

// The line (from 1) of offset in text.
int json_line_at(std::string_view text, std::size_t offset);
