#include "amsd/registry/app_table.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

TEST(AppTable, AddedRecordsStartWithDefaults) {
  auto reg = std::make_unique<Registry>();
  AppRecord* a = find_or_add_app(*reg, "demo");
  ASSERT_NE(a, nullptr);
  EXPECT_STREQ(a->name, "demo");
  EXPECT_STREQ(a->exec, "?");
  EXPECT_EQ(a->known, 0);
  EXPECT_EQ(a->run_state, RunState::kStopped);
  EXPECT_EQ(a->route_count, 0);
  EXPECT_EQ(a->history_count, 0);
  EXPECT_EQ(find_or_add_app(*reg, "demo"), a);
  // Lookups are whole and case-sensitive.
  EXPECT_EQ(find_app(*reg, "dem"), nullptr);
  EXPECT_EQ(find_app(*reg, "Demo"), nullptr);
  EXPECT_EQ(find_app(*reg, ""), nullptr);

  // A long id is cut to 31 bytes for the key, to 48 for the name.
  std::string id(60, 'p');
  id[35] = 'x';
  AppRecord* b = find_or_add_app(*reg, id);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(std::string(b->pkg), id.substr(0, 31));
  EXPECT_EQ(std::string(b->name), id.substr(0, 48));
  EXPECT_EQ(find_or_add_app(*reg, id), b);
  EXPECT_EQ(find_app(*reg, id), nullptr);
  EXPECT_EQ(find_app(*reg, id.substr(0, 31)), b);
  EXPECT_EQ(reg->app_count, 2);
}

TEST(AppTable, FullTableDropsNewPackagesSilently) {
  auto reg = std::make_unique<Registry>();
  for (int i = 0; i < MAX_APPS; ++i) {
    ASSERT_NE(find_or_add_app(*reg, "app" + std::to_string(i)), nullptr);
  }
  EXPECT_EQ(find_or_add_app(*reg, "one-more"), nullptr);
  EXPECT_EQ(reg->app_count, MAX_APPS);
  EXPECT_EQ(find_app(*reg, "one-more"), nullptr);
  EXPECT_EQ(find_or_add_app(*reg, "app63"), &reg->apps[63]);
}

TEST(AppTable, HistoryRingKeepsTheLastEightOldestFirst) {
  auto reg = std::make_unique<Registry>();
  AppRecord& a = *find_or_add_app(*reg, "demo");
  for (int i = 1; i <= 9; ++i) {
    record_event(a, "k" + std::to_string(i), "d", 100 + i, i);
  }
  EXPECT_EQ(a.history_count, 8);
  EXPECT_EQ(a.history_head, 1);
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(std::string(history_at(a, i).kind), "k" + std::to_string(i + 2));
    EXPECT_EQ(history_at(a, i).ts, 102 + i);
    EXPECT_EQ(history_at(a, i).up, 2 + i);
  }
  // Texts are cut to their fields.
  record_event(a, std::string(20, 'k'), std::string(300, 'd'), 0, 0);
  EXPECT_EQ(std::string(history_at(a, 7).kind), std::string(15, 'k'));
  EXPECT_EQ(std::string(history_at(a, 7).detail), std::string(191, 'd'));
}

}  // namespace
