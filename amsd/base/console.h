// Console messages of every program: a prefix, the text and a newline on
// standard error, in one write so that lines of processes sharing the
// console stay whole. The daemons and stand-ins prefix "[program] ", the
// command-line tools "program: ".
#pragma once

// The prefix of quor_amsd's console lines, for each of its layers.
inline constexpr char AMSD_CONSOLE[] = "[quor_amsd] ";

// Writes prefix, the formatted text (cut to about 4 KiB) and a newline.
[[gnu::format(printf, 2, 3)]] void console_line(const char* prefix,
                                                const char* fmt, ...);
