// A small strict JSON reader for quor_manifest. It tells whether a manifest
// is UTF-8 and valid JSON, and records the top-level members and where each
// string lies, so that the tool can set what a JSON reader sees beside what
// the daemon's pattern reader made of the same bytes. It reads nothing for
// the daemon.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

constexpr int JSON_MAX_MEMBERS = 128;
constexpr int JSON_MAX_STRINGS = 1024;  // a 2047-byte head holds at most this
constexpr int JSON_MAX_DEPTH = 64;
constexpr int JSON_KEY_SIZE = 128;
constexpr int JSON_VALUE_SIZE = 256;

enum class JsonKind : std::uint8_t { kString, kOther };

// One member of the top-level object. Offsets are into the checked text.
struct JsonMember {
  std::uint32_t key_at;     // the key's opening quote
  std::uint32_t key_end;    // its closing quote
  std::uint32_t colon_at;   // the ":" after it
  std::uint32_t value_at;   // the value's first byte (a string's quote)
  std::uint32_t value_end;  // one past its last byte
  JsonKind kind;
  bool key_cut;                 // the decoded key did not fit key
  char key[JSON_KEY_SIZE];      // decoded
  char value[JSON_VALUE_SIZE];  // decoded string value, cut to fit
  std::uint32_t value_len;      // its decoded length in full
};

enum class JsonRole : std::uint8_t { kTopKey, kTopValue, kNested };

// One string of the text, from its opening quote to its closing one.
struct JsonString {
  std::uint32_t at;
  std::uint32_t end;
  std::int16_t member;  // index of the top-level member holding it
  JsonRole role;
};

struct JsonCheck {
  std::uint32_t bad_utf8_at;  // offset of the first byte that is not UTF-8
  bool utf8_ok;
  bool valid;              // valid JSON, and an object at the top
  std::uint32_t error_at;  // where it stops being valid
  char error[48];          // why
  int member_count;
  bool members_cut;  // more members than the table holds
  JsonMember members[JSON_MAX_MEMBERS];
  int string_count;
  JsonString strings[JSON_MAX_STRINGS];
};

// Checks text. Only strings that begin before string_limit are recorded.
void json_check(std::string_view text, std::size_t string_limit,
                JsonCheck& out);

// The recorded string that holds offset, quotes included; nullptr when none.
const JsonString* json_string_at(const JsonCheck& c, std::size_t offset);

// The line (from 1) of offset in text.
int json_line_at(std::string_view text, std::size_t offset);
