// The manifest reader: a small pattern reader over the head of "app.json",
// not a JSON parser. Flat objects with string values satisfy it.
#pragma once

#include <cstddef>
#include <string_view>

constexpr int MANIFEST_TEXT_MAX = 2047;  // bytes of "app.json" read
constexpr int MANIFEST_VALUE_SIZE = 96;  // "name" / "exec" values, with NUL

// The quoted string value of "key" in text; empty when the key has no usable
// value. At most 95 bytes, never ending inside a UTF-8 sequence.
void manifest_value(std::string_view text, std::string_view key,
                    char (&out)[MANIFEST_VALUE_SIZE]);
