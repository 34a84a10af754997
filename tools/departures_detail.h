// Shared by the two halves of quor_manifest's comparison: departures.cpp
// (name, exec, the executable) and entry_departures.cpp (routes, pickers).
#pragma once

#include <cstddef>
#include <string_view>

#include "tools/departures.h"
#include "tools/json_check.h"

// A phrase that names a place or a reason; keys in it are cut to 120 bytes.
constexpr int NOTE_SIZE = 320;

struct DepartureContext {
  const DepartureInput& in;
  const JsonCheck& j;
  Warnings& w;
};

// "the key "x"" or "the value of "x"": the member whose text holds offset.
void describe_offset(const DepartureContext& c, std::size_t offset,
                     char (&out)[NOTE_SIZE]);

// True when a top-level key's text begins at offset.
bool starts_top_key(const DepartureContext& c, std::size_t offset);

// The member's string value as the reader meets it: inside the quotes, up to
// the end of what the daemon reads.
std::string_view raw_value(const DepartureContext& c, const JsonMember& m);

// True when a line ends between the member's ":" and its value.
bool value_on_next_line(const DepartureContext& c, const JsonMember& m);

// The warnings for the "route." and "picker." members and for the entries
// the reader took from elsewhere.
void entry_departures(const DepartureContext& c);
