// JSON text as the tools write it, for scripts: strings escaped as JSON
// requires, and bytes that are not UTF-8 shown as U+FFFD, so that a reader
// never fails on what an app or a torn file left behind.
#pragma once

#include <cstddef>
#include <string_view>

// Length of the well-formed UTF-8 sequence at offset i of s; 0 for bytes
// that start none (overlong forms and surrogates included).
std::size_t utf8_length(std::string_view s, std::size_t i);

// Room json_escape_next needs.
constexpr std::size_t JSON_ESCAPE_MAX = 6;

// The character at s[i] as it stands inside a JSON string, written to out
// (JSON_ESCAPE_MAX bytes of room): itself, an escape, or "\ufffd" for a
// byte that is not UTF-8. Returns its length and moves i past it.
std::size_t json_escape_next(std::string_view s, std::size_t& i, char* out);
