#include "amsd/protocol/picker.h"

#include <cstdio>
#include <cstring>
#include <limits>

#include "amsd/base/clock.h"
#include "amsd/base/text.h"
#include "amsd/launcher/frame.h"
#include "amsd/launcher/launcher_client.h"
#include "amsd/log/clock.h"
#include "amsd/log/service_log.h"

namespace {

const PickerEntry* find_handler(const Registry& reg, std::string_view action) {
  for (int i = 0; i < reg.picker_count; ++i) {
    const PickerEntry& p = reg.pickers[i];
    if (p.active && action == p.action) {
      return &p;
    }
  }
  return nullptr;
}

// A repeated id takes over its old slot; else the first free or answered
// one; else slot 0, whose unanswered request is lost.
PendingPick& choose_slot(PickerRequests& pr, std::uint32_t req) {
  for (PendingPick& s : pr.slots) {
    if (s.in_use && s.req == req) {
      return s;
    }
  }
  for (PendingPick& s : pr.slots) {
    if (!s.in_use || s.done) {
      return s;
    }
  }
  return pr.slots[0];
}

// Ids the daemon hands out run up to 4294967295, while peers write them as
// signed numbers; both spellings of an id find its slot.
std::uint32_t parse_req(std::string_view word) {
  return static_cast<std::uint32_t>(
      parse_clamped(word, std::numeric_limits<std::int32_t>::min(),
                    std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace

void picker_call(const Registry& reg, PickerRequests& picks, ServiceLog& log,
                 const char* ipc_sock_path, std::string_view caller,
                 std::uint32_t req, std::string_view action, Reply* out) {
  const PickerEntry* entry = find_handler(reg, action);
  if (!entry) {
    if (out) {
      reply_printf(*out, "ERR no picker handler for action: %.*s\n",
                   text_len(action), action.data());
    }
    amsd_log(log, "AMS picker %.*s -> no handler", text_len(action),
             action.data());
    return;
  }
  PendingPick& slot = choose_slot(picks, req);
  std::memset(&slot, 0, sizeof slot);
  slot.in_use = true;
  slot.req = req;
  copy_text(slot.caller, caller);
  copy_text(slot.action, action);
  copy_text(slot.handler, entry->handler);

  // The handler opens at the picker's chain, and learns whom it serves.
  // The chain travels in the frame's activity slot, whose size the wire
  // fixes: a chain longer than an activity reaches the handler cut there.
  std::string_view opens_at = slice(entry->chain, 0, ACTIVITY_SIZE - 1);
  StartRequest r = make_start_request(slot.handler, opens_at, 1, req,
                                      entry->action, slot.caller);
  std::uint32_t code = 0;
  int rc = launcher_call(ipc_sock_path, MSG_START, &r, sizeof r, &code);
  if (rc != 0) {
    slot.in_use = false;
    if (out) {
      reply_printf(*out, "ERR launcher offline\n");
    }
    amsd_log(log, "AMS picker %.*s -> launcher offline", text_len(action),
             action.data());
    return;
  }
  if (code != LAUNCH_ACCEPTED) {
    // Kept as pending: a result line may still answer it.
    if (out) {
      reply_printf(*out, "ERR launcher refused: %s (code=%u)\n", slot.handler,
                   code);
    }
    amsd_log(log, "AMS picker %.*s -> launcher refused code=%u",
             text_len(action), action.data(), code);
    return;
  }
  if (out) {
    reply_printf(*out, "OK pending %u %s\n", req, slot.handler);
  }
  amsd_log(log, "AMS picker %.*s -> %s (req=%u, caller=%s)", text_len(action),
           action.data(), slot.handler, req, slot.caller);
}

void picker_command(const Registry& reg, PickerRequests& picks, ServiceLog& log,
                    const char* ipc_sock_path, std::string_view action,
                    Reply& out) {
  // The id is used up even when the request then fails.
  std::uint32_t req = picks.next_req_id;
  picks.next_req_id =
      req == std::numeric_limits<std::uint32_t>::max() ? 1 : req + 1;
  picker_call(reg, picks, log, ipc_sock_path, "", req, action, &out);
}

void picker_complete(PickerRequests& picks, Registry& reg, ServiceLog& log,
                     std::uint32_t req, std::string_view action,
                     std::int32_t code, std::string_view value) {
  PendingPick* slot = nullptr;
  for (PendingPick& s : picks.slots) {
    if (s.in_use && s.req == req && action == s.action) {
      slot = &s;
      break;
    }
  }
  if (!slot) {
    amsd_log(log, "picker result: no pending req=%u (dropped)", req);
    return;
  }
  slot->result_code = code;
  slot->done = true;
  copy_text(slot->result_value, value);
  // The value is shown one line per request and logged in a line of its
  // own: a line break in it could forge the lines that follow.
  for (char* p = slot->result_value; *p; ++p) {
    if (*p == '\n' || *p == '\r') {
      *p = ' ';
    }
  }
  amsd_log(log, "picker result: req=%u action=%s code=%d value=%s", req,
           slot->action, code, slot->result_value);
  AppRecord* app = find_app(reg, slot->handler);
  if (!app) {
    return;  // only a scan names handlers, and records are never removed
  }
  char detail[sizeof HistoryEvent::detail];
  std::snprintf(
      detail, sizeof detail, "req=%u caller=%s act=%.*s code=%d val=%.96s", req,
      slot->caller, text_len(action), action.data(), code, slot->result_value);
  record_event(*app, "picker_result", detail, wall_seconds(),
               static_cast<std::int32_t>(uptime_seconds(log.uptime_path)));
}

void picker_status(const PickerRequests& picks, std::string_view filter,
                   Reply& out) {
  reply_printf(out, "# amd picker status\n");
  bool filtered = !filter.empty();
  std::uint32_t want = filtered ? parse_req(filter) : 0;
  bool any = false;
  for (const PendingPick& s : picks.slots) {
    if (!s.in_use || (filtered && s.req != want)) {
      continue;
    }
    reply_printf(out, "PICK %u %s %s %d %s\n", s.req, s.action, s.handler,
                 s.done ? s.result_code : -1,
                 s.done ? s.result_value : "pending");
    any = true;
  }
  if (!any) {
    reply_printf(out, "(none)\n");
  }
}
