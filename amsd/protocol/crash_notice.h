// The line sent to a crash listener when an app ends abnormally.
#pragma once

#include <cstdint>
#include <string_view>

// Sends "SVC <pkg> <kind> <code> <ts> <up>" to whoever listens at path,
// waiting at most CRASH_NOTICE_WAIT_MS for it to accept. Every failure is
// silent: the notice is a courtesy, and the exit is handled in full without
// it.
void send_crash_notice(const char* path, std::string_view pkg,
                       std::string_view kind, std::int32_t code,
                       std::int32_t ts, std::int32_t up);

// The longest the daemon waits for a crash listener to accept, in ms.
constexpr int CRASH_NOTICE_WAIT_MS = 150;
