#include "amsd/protocol/picker.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "amsd/base/clock.h"
#include "amsd/base/text.h"
#include "amsd/protocol/dispatch.h"
#include "tests/support/fake_peers.h"
#include "tests/support/hex.h"
#include "tests/support/protocol_fixture.h"

namespace {

constexpr std::size_t ROOM = 512;

// The bytes of the start request the launcher must get for a picker call;
// its layout is the frame's own concern.
std::vector<std::uint8_t> picker_payload(std::string_view pkg,
                                         std::string_view activity,
                                         std::uint32_t req,
                                         std::string_view action,
                                         std::string_view caller) {
  StartRequest r = make_start_request(pkg, activity, 1, req, action, caller);
  const auto* b = reinterpret_cast<const std::uint8_t*>(&r);
  return { b, b + sizeof r };
}

class PickerTest : public ProtocolTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ProtocolTest::SetUp());
    launcher = std::make_unique<fake::FakeLauncher>(ipc);
    ASSERT_TRUE(launcher->ok());
    gallery = find_or_add_app(d->registry, "gallery");
    find_or_add_app(d->registry, "printer");
    // No app declares "print" any more.
    const PickerEntry pickers[] = { { "print", "printer", "", 0 },
                                    { "share", "gallery", "pick;view", 1 } };
    for (const PickerEntry& p : pickers) {
      d->registry.pickers[d->registry.picker_count++] = p;
    }
  }

  std::string command(std::string_view line) {
    std::string in(line);
    char buf[ROOM];
    EXPECT_TRUE(dispatch_line(ctx(), peer, in.data(), buf, sizeof buf)) << line;
    return buf;
  }

  // The request ids held, in slot order; 0 for a free slot.
  std::vector<std::uint32_t> slot_ids() const {
    std::vector<std::uint32_t> out;
    for (const PendingPick& s : d->picks.slots) {
      out.push_back(s.in_use ? s.req : 0);
    }
    return out;
  }

  std::unique_ptr<fake::FakeLauncher> launcher;
  AppRecord* gallery = nullptr;
};

TEST_F(PickerTest, FailedRequestsUseUpTheirIds) {
  // Without an active handler nothing reaches the launcher.
  EXPECT_EQ(command("picker nosuch"),
            "ERR no picker handler for action: nosuch\n");
  EXPECT_EQ(command("picker print"),
            "ERR no picker handler for action: print\n");
  EXPECT_EQ(launcher->frame_count(), 0u);
  launcher->push(fake::FakeReply::result(3));
  EXPECT_EQ(command("picker share"),
            "ERR launcher refused: gallery (code=3)\n");
  launcher.reset();
  EXPECT_EQ(command("picker share"), "ERR launcher offline\n");
  EXPECT_EQ(
      log_texts(),
      (std::vector<std::string>{ "AMS picker nosuch -> no handler",
                                 "AMS picker print -> no handler",
                                 "AMS picker share -> launcher refused code=3",
                                 "AMS picker share -> launcher offline" }));
  // A refused request stays pending, as a result may still answer it; an
  // unreachable launcher frees the slot at once.
  EXPECT_EQ(command("picker-status"),
            "# amd picker status\nPICK 3 share gallery -1 pending\n");
  EXPECT_EQ(d->picks.next_req_id, 5u);
}

TEST_F(PickerTest, PeerLinesCallAndAnswer) {
  // A request line is never answered, only logged.
  event("PICKER_CALL camera 77 share");
  ASSERT_EQ(launcher->frame_count(), 1u);
  EXPECT_EQ(launcher->frames()[0].payload,
            picker_payload("gallery", "pick;view", 77, "share", "camera"));
  EXPECT_EQ(log_texts().back(),
            "AMS picker share -> gallery (req=77, caller=camera)");
  EXPECT_EQ(d->picks.next_req_id, 1u);

  std::int32_t before = wall_seconds();
  event("PICKER_RESULT 77 share 0 " + hex("content://img/1"));
  EXPECT_EQ(log_texts().back(),
            "picker result: req=77 action=share code=0 value=content://img/1");
  EXPECT_EQ(command("picker-status 77"),
            "# amd picker status\nPICK 77 share gallery 0 content://img/1\n");
  ASSERT_EQ(gallery->history_count, 1);
  const HistoryEvent& ev = history_at(*gallery, 0);
  EXPECT_STREQ(ev.kind, "picker_result");
  EXPECT_STREQ(ev.detail,
               "req=77 caller=camera act=share code=0 val=content://img/1");
  EXPECT_GE(ev.ts, before);
  EXPECT_EQ(ev.up, 42);

  // A second result overwrites the first; the slot stays answered.
  event("PICKER_RESULT 77 share -4 " + hex("again"));
  EXPECT_EQ(command("picker-status"),
            "# amd picker status\nPICK 77 share gallery -4 again\n");
  EXPECT_EQ(gallery->history_count, 2);

  // Not held: another id, or the right id with another action.
  clear_log();
  event("PICKER_RESULT 78 share 0 00");
  event("PICKER_RESULT 77 print 0 00");
  EXPECT_EQ(log_texts(), (std::vector<std::string>{
                             "picker result: no pending req=78 (dropped)",
                             "picker result: no pending req=77 (dropped)" }));
  EXPECT_EQ(gallery->history_count, 2);

  // Values are cut to 255 bytes, and to 96 in the history.
  event("PICKER_RESULT 77 share 1 " + hex(std::string(300, 'v')));
  EXPECT_EQ(d->picks.slots[0].result_value, std::string(255, 'v'));
  EXPECT_EQ(
      history_at(*gallery, 2).detail,
      "req=77 caller=camera act=share code=1 val=" + std::string(96, 'v'));
  // The value ends at its first NUL.
  event("PICKER_RESULT 77 share 1 " + hex(std::string("hi\0there", 8)));
  EXPECT_STREQ(d->picks.slots[0].result_value, "hi");
  // A line break would forge a line of the view and of the log.
  clear_log();
  event("PICKER_RESULT 77 share 2 " + hex("ok\nPICK 9 x y 0 z\r\n1"));
  EXPECT_EQ(
      command("picker-status"),
      "# amd picker status\nPICK 77 share gallery 2 ok PICK 9 x y 0 z  1\n");
  ASSERT_EQ(log_texts().size(), 1u);
  EXPECT_EQ(std::string(history_at(*gallery, 4).detail).find('\n'),
            std::string::npos);
}

TEST_F(PickerTest, SlotChoice) {
  // Eight unanswered requests fill the table.
  for (int i = 1; i <= 8; ++i) {
    event("PICKER_CALL cam " + std::to_string(i) + " share");
  }
  EXPECT_EQ(slot_ids(), (std::vector<std::uint32_t>{ 1, 2, 3, 4, 5, 6, 7, 8 }));
  // A repeated id takes over its own slot, answered or not.
  event("PICKER_RESULT 3 share 0 " + hex("x"));
  event("PICKER_CALL " + std::string(40, 'c') + " 3 share");
  EXPECT_EQ(slot_ids(), (std::vector<std::uint32_t>{ 1, 2, 3, 4, 5, 6, 7, 8 }));
  EXPECT_EQ(d->picks.slots[2].done, 0);
  EXPECT_EQ(d->picks.slots[2].caller, std::string(31, 'c'));  // cut
  EXPECT_STREQ(d->picks.slots[2].result_value, "");
  // A new id takes the first answered slot.
  event("PICKER_RESULT 6 share 0 " + hex("x"));
  event("PICKER_RESULT 4 share 0 " + hex("x"));
  event("PICKER_CALL cam 20 share");
  EXPECT_EQ(slot_ids(),
            (std::vector<std::uint32_t>{ 1, 2, 3, 20, 5, 6, 7, 8 }));
  // With every slot unanswered, slot 0 is overwritten.
  event("PICKER_CALL cam 21 share");
  event("PICKER_CALL cam 22 share");
  EXPECT_EQ(slot_ids(),
            (std::vector<std::uint32_t>{ 22, 2, 3, 20, 5, 21, 7, 8 }));
  clear_log();
  event("PICKER_RESULT 1 share 0 " + hex("late"));
  EXPECT_EQ(log_texts(), std::vector<std::string>{
                             "picker result: no pending req=1 (dropped)" });
}

TEST_F(PickerTest, CommandTakesIdsInTurnAndStartsTheHandler) {
  EXPECT_EQ(command("picker share"), "OK pending 1 gallery\n");
  d->picks.next_req_id = 4294967295u;
  EXPECT_EQ(command("picker share"), "OK pending 4294967295 gallery\n");
  EXPECT_EQ(command("picker share"), "OK pending 1 gallery\n");  // not 0
  ASSERT_EQ(launcher->frame_count(), 3u);
  EXPECT_EQ(launcher->frames()[1].header.kind, MSG_START);
  EXPECT_EQ(launcher->frames()[1].payload,
            picker_payload("gallery", "pick;view", 4294967295u, "share", ""));
  EXPECT_EQ(log_texts()[1],
            "AMS picker share -> gallery (req=4294967295, caller=)");
  EXPECT_EQ(gallery->history_count, 0);
  // Peers write ids as signed numbers; either spelling finds the slot.
  const std::string top = "PICK 4294967295 share gallery -1 pending\n";
  EXPECT_EQ(command("picker-status 4294967295"), "# amd picker status\n" + top);
  EXPECT_EQ(command("picker-status -1"), "# amd picker status\n" + top);
  event("PICKER_RESULT -1 share 0 " + hex("y"));
  EXPECT_EQ(command("picker-status"),
            "# amd picker status\nPICK 1 share gallery -1 pending\n"
            "PICK 4294967295 share gallery 0 y\n");
  // A filter that is not a number reads as 0.
  event("PICKER_CALL cam 0 share");
  EXPECT_EQ(command("picker-status x"),
            "# amd picker status\nPICK 0 share gallery -1 pending\n");
}

}  // namespace
