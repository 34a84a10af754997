// The manifest reader: a small pattern reader over the head of "app.json",
// not a JSON parser. Flat objects with string values satisfy it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "amsd/registry/app_table.h"

constexpr int MANIFEST_TEXT_MAX = 2047;  // bytes of "app.json" read
constexpr int MANIFEST_VALUE_SIZE = 96;  // "name" / "exec" values, with NUL

// Where the reader took a value from, as offsets into the text (for
// quor_manifest). match: the "n" of "name" after its quote, the "r" of
// "route."; key: "name" itself, or the key after "route."; value: the bytes
// taken, before any cut (routes: without trailing blanks). used is false
// when "name" has no quoted value, or an entry names nothing ("route.a.b").
enum class ManifestField : std::uint8_t { kValue, kRoute, kPicker };
struct ManifestSpan {
  ManifestField field;
  bool used;
  std::size_t match, key_at, key_end, value_at, value_end;
};
constexpr int MANIFEST_MAX_SPANS = MANIFEST_TEXT_MAX / 6 + 2;  // 6: "route."
struct ManifestSpans {
  int count;
  ManifestSpan at[MANIFEST_MAX_SPANS];
};

// The quoted string value of "key" in text; empty when the key has no usable
// value. At most 95 bytes, never ending inside a UTF-8 sequence. The reading
// is noted in spans when given (and so in the functions below).
void manifest_value(std::string_view text, std::string_view key,
                    char (&out)[MANIFEST_VALUE_SIZE],
                    ManifestSpans* spans = nullptr);

// Reads the first MANIFEST_TEXT_MAX bytes of the manifest at path into text;
// the text ends at the first zero byte. Returns its length; a manifest that
// is missing, unreadable or not a regular file gives 0 (an empty text).
std::size_t manifest_load(const char* path,
                          char (&text)[MANIFEST_TEXT_MAX + 1]);

// Shortens text so that it does not end inside a UTF-8 sequence. The lead
// byte alone gives a sequence's length; continuation bytes are not checked.
void utf8_cut(char* text);

// Appends suffix to the string in buf (capacity cap). Returns 0, or -1 when
// the suffix does not fit whole; buf then keeps its old text, terminated.
int path_append(char* buf, std::size_t cap, std::string_view suffix);

template <std::size_t N>
int path_append(char (&buf)[N], std::string_view suffix) {
  return path_append(buf, N, suffix);
}

// Cut lengths of the "route." and "picker." entries.
constexpr int ROUTE_KEY_MAX = ROUTE_KEY_SIZE - 1;
constexpr int PICKER_ACTION_MAX = ACTION_SIZE - 1;
constexpr int ENTRY_VALUE_MAX = CHAIN_SIZE - 1;

// Adds or updates the app's routes from every "route.<key>" entry in text.
// A new key is dropped once the app has MAX_ROUTES routes.
void manifest_routes(std::string_view text, AppRecord& app,
                     ManifestSpans* spans = nullptr);

// Adds or updates picker entries from every "picker.<action>" entry in text,
// with handler app.pkg, and marks them active. A new action is dropped once
// the table has MAX_PICKERS entries.
void manifest_pickers(std::string_view text, Registry& reg,
                      const AppRecord& app, ManifestSpans* spans = nullptr);
