#include "amsd/daemon/event_loop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "tests/support/scratch_tables.h"

namespace {

// Tables whose log goes to the scratch /tmp buffer, and the loop's timers.
struct LoopFixture : ScratchTables {
  LoopTimers timers;

  int scans_logged() const {
    std::string all = read_file(buffer);
    int n = 0;
    for (std::size_t p = all.find("registry scan"); p != std::string::npos;
         p = all.find("registry scan", p + 1)) {
      ++n;
    }
    return n;
  }
};

TEST(PeriodicJobs, RescanEvery3SecondsUntilTheAppsDirectoryIsSeenThen30) {
  LoopFixture f;
  rescan_if_due(*f.d, f.timers, 2999);
  EXPECT_EQ(f.scans_logged(), 0);
  rescan_if_due(*f.d, f.timers, 3000);  // missing: logged while never seen
  EXPECT_EQ(f.scans_logged(), 1);
  rescan_if_due(*f.d, f.timers, 5999);
  EXPECT_EQ(f.scans_logged(), 1);
  rescan_if_due(*f.d, f.timers, 6000);
  EXPECT_EQ(f.scans_logged(), 2);
  mkdir(f.apps.c_str(), 0755);
  rescan_if_due(*f.d, f.timers, 9000);
  EXPECT_EQ(f.d->registry.apps_dir_seen, 1);
  int after_seen = f.scans_logged();
  rmdir(f.apps.c_str());
  rescan_if_due(*f.d, f.timers, 12000);  // 30 s period now
  EXPECT_EQ(f.timers.last_rescan, 9000u);
  rescan_if_due(*f.d, f.timers, 39000);
  EXPECT_EQ(f.timers.last_rescan, 39000u);
  // Gone again after being seen: quiet scans say nothing.
  EXPECT_EQ(f.scans_logged(), after_seen);
}

TEST(ClientTable, OnlyAnOldQuietConnectionGivesWayToANewcomer) {
  auto t = std::make_unique<ClientTable>();
  clients_reset(*t);
  t->count = 3;
  const std::uint64_t opened[] = { 0, 1000, 5000 };
  for (int i = 0; i < 3; ++i) {
    t->slots[i].fd = 10 + i;
    t->slots[i].opened_ms = opened[i];
  }
  t->slots[0].peer.reported = true;  // the launcher's stream
  EXPECT_EQ(idle_slot_to_evict(*t, 10999), -1);
  EXPECT_EQ(idle_slot_to_evict(*t, 11000), 1);  // the oldest quiet one
  t->slots[1].peer.reported = true;
  EXPECT_EQ(idle_slot_to_evict(*t, 15000), 2);
}

TEST(ClientTable, ResetLeavesEverySlotFree) {
  auto t = std::make_unique<ClientTable>();
  t->count = 5;
  clients_reset(*t);
  EXPECT_EQ(t->count, 0);  // the used slots are always the first count
}

}  // namespace
