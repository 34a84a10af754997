#include "amsd/protocol/picker.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "amsd/core/daemon.h"
#include "amsd/core/text.h"
#include "amsd/protocol/dispatch.h"
#include "tests/e2e/fake_peers.h"
#include "tests/support/hex.h"
#include "tests/support/test_daemon.h"

namespace {

constexpr std::size_t kRoom = 512;

// A picker start's payload as the launcher must see it, laid out by hand.
std::vector<std::uint8_t> picker_payload(std::string_view pkg,
                                         std::string_view activity,
                                         std::uint32_t req,
                                         std::string_view action,
                                         std::string_view caller) {
  std::vector<std::uint8_t> p(sizeof(StartRequest), 0);
  std::memcpy(p.data(), pkg.data(), pkg.size());
  std::memcpy(p.data() + 32, activity.data(), activity.size());
  p[96] = 1;
  for (int i = 0; i < 4; ++i) {
    p[100 + i] = static_cast<std::uint8_t>(req >> (8 * i));
  }
  std::memcpy(p.data() + 104, action.data(), action.size());
  std::memcpy(p.data() + 128, caller.data(), caller.size());
  return p;
}

class PickerTest : public DaemonTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(DaemonTest::SetUp());
    launcher = std::make_unique<fake::FakeLauncher>(ipc);
    ASSERT_TRUE(launcher->ok());
    gallery = find_or_add_app(d->registry, "gallery");
    find_or_add_app(d->registry, "printer");
    add_picker("print", "printer", "", 0);  // no app declares it any more
    add_picker("share", "gallery", "pick;view", 1);
  }

  void add_picker(const char* action, const char* handler, const char* chain,
                  int active) {
    PickerEntry& p = d->registry.pickers[d->registry.picker_count++];
    copy_text(p.action, action);
    copy_text(p.handler, handler);
    copy_text(p.chain, chain);
    p.active = active;
  }

  std::string command(std::string_view line) {
    std::string in(line);
    char buf[kRoom];
    EXPECT_TRUE(dispatch_line(*d, in.data(), buf, sizeof buf)) << line;
    return buf;
  }
  std::string last_log() const {
    std::vector<std::string> all = log_texts();
    return all.empty() ? "" : all.back();
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

TEST_F(PickerTest, CommandTakesIdsInTurnAndStartsTheHandler) {
  EXPECT_EQ(command("picker share"), "OK pending 1 gallery\n");
  EXPECT_EQ(command("picker share extra"), "OK pending 2 gallery\n");
  ASSERT_EQ(launcher->frame_count(), 2u);
  for (std::uint32_t i = 0; i < 2; ++i) {
    const fake::RecordedFrame f = launcher->frames()[i];
    EXPECT_EQ(f.header.kind, MSG_START);
    EXPECT_EQ(f.header.length, sizeof(StartRequest));
    EXPECT_EQ(f.payload,
              picker_payload("gallery", "pick;view", i + 1, "share", ""));
  }
  EXPECT_EQ(log_texts(), (std::vector<std::string>{
                             "AMS picker share -> gallery (req=1, caller=)",
                             "AMS picker share -> gallery (req=2, caller=)" }));
  EXPECT_EQ(command("picker-status"),
            "# amd picker status\n"
            "PICK 1 share gallery -1 pending\n"
            "PICK 2 share gallery -1 pending\n");
  EXPECT_EQ(gallery->history_count, 0);
}

TEST_F(PickerTest, FailedRequestsUseUpTheirIds) {
  struct Case {
    const char* action;
    std::vector<fake::FakeReply> replies;
    std::size_t frames;
    const char* reply;
    const char* log;
    bool kept;  // listed as pending afterwards
  };
  const Case cases[] = {
    { "nosuch",
      {},
      0,
      "ERR no picker handler for action: nosuch\n",
      "AMS picker nosuch -> no handler",
      false },
    { "print",
      {},
      0,
      "ERR no picker handler for action: print\n",
      "AMS picker print -> no handler",
      false },
    { "Share",
      {},
      0,
      "ERR no picker handler for action: Share\n",
      "AMS picker Share -> no handler",
      false },
    { "share",
      { fake::FakeReply::error() },
      1,
      "ERR launcher offline\n",
      "AMS picker share -> launcher offline",
      false },
    { "share",
      { fake::FakeReply::result(3) },
      1,
      "ERR launcher refused: gallery (code=3)\n",
      "AMS picker share -> launcher refused code=3",
      true },
    { "share",
      { fake::FakeReply::result(8) },
      1,
      "ERR launcher refused: gallery (code=8)\n",
      "AMS picker share -> launcher refused code=8",
      true },
  };
  std::uint32_t id = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(id);
    clear_log();
    for (const fake::FakeReply& r : c.replies) {
      launcher->push(r);
    }
    std::size_t frames = launcher->frame_count();
    EXPECT_EQ(command(std::string("picker ") + c.action), c.reply);
    EXPECT_EQ(launcher->frame_count(), frames + c.frames);
    EXPECT_EQ(log_texts(), std::vector<std::string>{ c.log });
    std::string status = command("picker-status " + std::to_string(id));
    EXPECT_EQ(status, c.kept
                          ? "# amd picker status\nPICK " + std::to_string(id) +
                                " share gallery -1 pending\n"
                          : "# amd picker status\n(none)\n");
    ++id;
  }
  EXPECT_EQ(d->picks.next_req_id, id);

  launcher.reset();
  EXPECT_EQ(command("picker share"), "ERR launcher offline\n");
  EXPECT_EQ(slot_ids(), (std::vector<std::uint32_t>{ 5, 6, 0, 0, 0, 0, 0, 0 }));
}

TEST_F(PickerTest, PeerLinesCallAndAnswer) {
  // A request line is never answered, only logged.
  event("PICKER_CALL camera 77 share");
  ASSERT_EQ(launcher->frame_count(), 1u);
  EXPECT_EQ(launcher->frames()[0].payload,
            picker_payload("gallery", "pick;view", 77, "share", "camera"));
  EXPECT_EQ(last_log(), "AMS picker share -> gallery (req=77, caller=camera)");
  EXPECT_EQ(d->picks.next_req_id, 1u);

  std::int32_t before = wall_seconds();
  event("PICKER_RESULT 77 share 0 " + hex("content://img/1"));
  EXPECT_EQ(last_log(),
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
  // Malformed lines never reach the requests.
  event("PICKER_CALL camera 79");
  event("PICKER_RESULT 77 share 1");
  EXPECT_EQ(launcher->frame_count(), 1u);
  EXPECT_EQ(gallery->history_count, 2);
}

TEST_F(PickerTest, ResultValuesAreCutAndKeptOnOneLine) {
  event("PICKER_CALL cam 5 share");
  event("PICKER_RESULT 5 share 1 " + hex(std::string(300, 'v')));
  EXPECT_EQ(d->picks.slots[0].result_value, std::string(255, 'v'));
  EXPECT_EQ(history_at(*gallery, 0).detail,
            "req=5 caller=cam act=share code=1 val=" + std::string(96, 'v'));

  // A line break would forge a line of the view and of the log.
  clear_log();
  event("PICKER_RESULT 5 share 2 " + hex("ok\nPICK 9 x y 0 z\r\n1"));
  EXPECT_EQ(
      command("picker-status"),
      "# amd picker status\nPICK 5 share gallery 2 ok PICK 9 x y 0 z  1\n");
  ASSERT_EQ(log_texts().size(), 1u);
  EXPECT_EQ(std::string(history_at(*gallery, 1).detail).find('\n'),
            std::string::npos);
}

TEST_F(PickerTest, TextsAreCutToTheirSlots) {
  const std::string caller(40, 'c');
  PickerEntry& share = d->registry.pickers[1];
  copy_text(share.chain, std::string(100, 'h'));
  event("PICKER_CALL " + caller + " 9 share");
  ASSERT_EQ(launcher->frame_count(), 1u);
  EXPECT_EQ(launcher->frames()[0].payload,
            picker_payload("gallery", std::string(63, 'h'), 9, "share",
                           caller.substr(0, 31)));
  EXPECT_STREQ(d->picks.slots[0].caller, caller.substr(0, 31).c_str());
  // An empty chain opens the handler's default activity.
  copy_text(share.chain, "");
  EXPECT_EQ(command("picker share"), "OK pending 1 gallery\n");
  EXPECT_EQ(launcher->frames()[1].payload,
            picker_payload("gallery", "", 1, "share", ""));
}

TEST_F(PickerTest, SlotChoice) {
  // Eight unanswered requests fill the table.
  for (int i = 1; i <= 8; ++i) {
    event("PICKER_CALL cam " + std::to_string(i) + " share");
  }
  EXPECT_EQ(slot_ids(), (std::vector<std::uint32_t>{ 1, 2, 3, 4, 5, 6, 7, 8 }));
  // A repeated id takes over its own slot, answered or not.
  event("PICKER_RESULT 3 share 0 " + hex("x"));
  event("PICKER_CALL other 3 share");
  EXPECT_EQ(slot_ids(), (std::vector<std::uint32_t>{ 1, 2, 3, 4, 5, 6, 7, 8 }));
  EXPECT_EQ(d->picks.slots[2].done, 0);
  EXPECT_STREQ(d->picks.slots[2].caller, "other");
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
  // A launcher that cannot be reached frees the slot it was given.
  launcher.reset();
  event("PICKER_CALL cam 5 share");
  EXPECT_EQ(slot_ids(),
            (std::vector<std::uint32_t>{ 22, 2, 3, 20, 0, 21, 7, 8 }));
}

TEST_F(PickerTest, IdsWrapPastTheTopAndSkipZero) {
  d->picks.next_req_id = 4294967295u;
  EXPECT_EQ(command("picker share"), "OK pending 4294967295 gallery\n");
  EXPECT_EQ(d->picks.next_req_id, 1u);
  EXPECT_EQ(command("picker share"), "OK pending 1 gallery\n");
  // Peers write ids as signed numbers; either spelling finds the slot.
  const std::string top = "PICK 4294967295 share gallery -1 pending\n";
  EXPECT_EQ(command("picker-status 4294967295"), "# amd picker status\n" + top);
  EXPECT_EQ(command("picker-status -1"), "# amd picker status\n" + top);
  event("PICKER_RESULT -1 share 0 " + hex("y"));
  EXPECT_EQ(command("picker-status 4294967295"),
            "# amd picker status\nPICK 4294967295 share gallery 0 y\n");
}

TEST_F(PickerTest, StatusFilter) {
  event("PICKER_CALL cam 0 share");
  event("PICKER_CALL cam 12 share");
  const std::pair<const char*, const char*> cases[] = {
    { "picker-status",
      "PICK 0 share gallery -1 pending\n"
      "PICK 12 share gallery -1 pending\n" },
    { "picker-status 12", "PICK 12 share gallery -1 pending\n" },
    { "picker-status 012", "PICK 12 share gallery -1 pending\n" },
    { "picker-status 12x", "PICK 12 share gallery -1 pending\n" },
    { "picker-status x", "PICK 0 share gallery -1 pending\n" },
    { "picker-status 7", "(none)\n" },
  };
  for (const auto& [line, rows] : cases) {
    EXPECT_EQ(command(line), std::string("# amd picker status\n") + rows)
        << line;
  }
  PickerRequests empty;
  d->picks = empty;
  EXPECT_EQ(command("picker-status"), "# amd picker status\n(none)\n");
}

}  // namespace
