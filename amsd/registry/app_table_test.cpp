#include "amsd/registry/app_table.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

TEST(AppTable, AddedRecordStartsWithDefaults) {
  auto reg = std::make_unique<Registry>();
  AppRecord* a = find_or_add_app(*reg, "demo");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(reg->app_count, 1);
  EXPECT_STREQ(a->pkg, "demo");
  EXPECT_STREQ(a->name, "demo");
  EXPECT_STREQ(a->exec, "?");
  EXPECT_EQ(a->known, 0);
  EXPECT_EQ(a->run_state, 0);
  EXPECT_EQ(a->route_count, 0);
  EXPECT_EQ(a->history_count, 0);
  EXPECT_EQ(find_or_add_app(*reg, "demo"), a);
  EXPECT_EQ(find_app(*reg, "demo"), a);
  EXPECT_EQ(reg->app_count, 1);
}

TEST(AppTable, LongPackageIdIsCutForTheKeyButNotTheName) {
  auto reg = std::make_unique<Registry>();
  std::string id(40, 'p');
  id[35] = 'x';
  AppRecord* a = find_or_add_app(*reg, id);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(std::string(a->pkg), id.substr(0, 31));
  EXPECT_EQ(std::string(a->name), id);
  EXPECT_EQ(find_or_add_app(*reg, id), a);
  EXPECT_EQ(reg->app_count, 1);
  EXPECT_EQ(find_app(*reg, id), nullptr);
  EXPECT_EQ(find_app(*reg, id.substr(0, 31)), a);

  // The name keeps 48 bytes of an even longer id.
  AppRecord* b = find_or_add_app(*reg, std::string(60, 'n'));
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(std::string(b->name), std::string(48, 'n'));
}

TEST(AppTable, LookupIsWholeAndCaseSensitive) {
  auto reg = std::make_unique<Registry>();
  find_or_add_app(*reg, "demo");
  find_or_add_app(*reg, "demo2");
  EXPECT_EQ(find_app(*reg, "dem"), nullptr);
  EXPECT_EQ(find_app(*reg, "Demo"), nullptr);
  EXPECT_EQ(find_app(*reg, ""), nullptr);
  EXPECT_EQ(find_app(*reg, "demo2"), &reg->apps[1]);
}

TEST(AppTable, FullTableDropsNewPackagesSilently) {
  auto reg = std::make_unique<Registry>();
  for (int i = 0; i < MAX_APPS; ++i) {
    ASSERT_NE(find_or_add_app(*reg, "app" + std::to_string(i)), nullptr);
  }
  EXPECT_EQ(find_or_add_app(*reg, "one-more"), nullptr);
  EXPECT_EQ(reg->app_count, MAX_APPS);
  EXPECT_EQ(find_app(*reg, "one-more"), nullptr);
  // Known packages are still found.
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
}

TEST(AppTable, EventTextsAreCutToTheirFields) {
  auto reg = std::make_unique<Registry>();
  AppRecord& a = *find_or_add_app(*reg, "demo");
  record_event(a, std::string(20, 'k'), std::string(300, 'd'), 0, 0);
  EXPECT_EQ(std::string(history_at(a, 0).kind), std::string(15, 'k'));
  EXPECT_EQ(std::string(history_at(a, 0).detail), std::string(191, 'd'));
}

}  // namespace
