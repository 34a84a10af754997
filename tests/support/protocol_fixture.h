// The fixture of the protocol handlers' unit tests: fresh tables in the
// scratch directory, without a daemon around them. The service log goes to
// log_path, opened as the card log would be; the uptime file reads 42.
// Nothing else exists there until a test makes it (make_card, for one).
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string_view>

#include "amsd/protocol/event_line.h"
#include "amsd/protocol/events.h"
#include "amsd/protocol/tables.h"
#include "tests/support/scratch_tables.h"

class ProtocolTest : public ::testing::Test, protected ScratchTables {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp.path().empty());
    ASSERT_TRUE(write_file(uptime, "42.50 10.00\n"));
    reset_tables();
  }

  // Fresh tables over the same directory, with an empty service log.
  void reset_tables() {
    ScratchTables::reset_tables();
    ASSERT_TRUE(log_into(log_path));
  }

  ProtocolTables& ctx() { return *d; }

  void make_card() { ASSERT_TRUE(Scratch::make_card()); }

  // One line from the launcher, as the event connection hands it on.
  void event(std::string_view line) {
    handle_event(ctx(), peer, read_event_line(line));
  }

  void clear_log() { EXPECT_EQ(ftruncate(d->log.card_log_fd, 0), 0); }

  // The sender of every line: the launcher's user.
  Peer peer{ -1, true, 0, true, false, false };
};
