// The fixture shared by the unit tests of the protocol's handlers: fresh
// tables and paths, without a daemon around them.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "amsd/base/limits.h"
#include "amsd/base/text.h"
#include "amsd/log/capture.h"
#include "amsd/log/service_log.h"
#include "amsd/protocol/context.h"
#include "amsd/protocol/events.h"
#include "amsd/protocol/picker.h"
#include "amsd/registry/app_table.h"
#include "tests/support/protocol_tables.h"
#include "tests/support/temp_dir.h"

// Fresh tables in d whose card, apps directory, peer sockets, /tmp buffer,
// boot stamp and uptime file all lie in the test's own scratch directory, so
// nothing a test writes reaches the real /tmp files, the card or the device's
// peers. The service log goes to log_path, opened as the card log would be;
// the uptime file reads 42. Nothing else exists there until a test makes it
// (make_card, for one).
class ProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp.path().empty());
    ASSERT_TRUE(write_file(uptime, "42.50 10.00\n"));
    reset_tables();
  }
  void TearDown() override { close_tables(); }

  // Fresh tables over the same directory, with an empty service log.
  void reset_tables() {
    close_tables();
    d = std::make_unique<ProtocolTables>();
    copy_text(d->cfg.card_root, card);
    copy_text(d->cfg.apps_dir, apps);
    copy_text(d->cfg.ipc_sock_path, ipc);
    copy_text(d->cfg.crash_sock_path, crash);
    d->log.buffer_path = buffer.c_str();
    d->log.uptime_path = uptime.c_str();
    d->log.card_log_fd =
        open(log_path.c_str(),
             O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    ASSERT_GE(d->log.card_log_fd, 0);
    d->log.card_log_open = true;
    copy_text(d->log.card_log_path, log_path);
    context.emplace(context_of(*d));
  }

  void close_tables() {
    if (!d) {
      return;
    }
    stdout_session_reset(d->capture);
    close(d->log.card_log_fd);
  }

  ProtocolContext& ctx() { return *context; }

  // The card with the QuorOS directory the daemon writes below.
  void make_card() {
    ASSERT_EQ(mkdir(card.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((card + "/QuorOS").c_str(), 0755), 0);
  }

  // One line from the launcher, as the event connection hands it on.
  void event(std::string_view line) {
    handle_event(ctx(), peer, read_event_line(line));
  }

  // Service log lines without their "<wall> <up> amsd " prefix.
  std::vector<std::string> log_texts() const {
    std::vector<std::string> out;
    std::string all = read_file(log_path);
    std::size_t pos = 0;
    for (std::size_t nl; (nl = all.find('\n', pos)) != std::string::npos;
         pos = nl + 1) {
      std::string line = all.substr(pos, nl - pos);
      std::size_t tag = line.find(" amsd ");
      out.push_back(tag == std::string::npos ? line : line.substr(tag + 6));
    }
    return out;
  }
  void clear_log() { EXPECT_EQ(ftruncate(d->log.card_log_fd, 0), 0); }

  TempDir tmp;
  const std::string card = tmp.file("card");
  const std::string apps = tmp.file("apps");
  const std::string ipc = tmp.file("ipc.sock");
  const std::string crash = tmp.file("crash.sock");
  const std::string buffer = tmp.file("buffer.log");
  const std::string bootts = tmp.file("bootts");
  const std::string uptime = tmp.file("uptime");
  const std::string log_path = tmp.file("service.log");
  std::unique_ptr<ProtocolTables> d;
  std::optional<ProtocolContext> context;
  // The sender of every line: the launcher's user.
  Peer peer{ -1, true, 0, true, false, false };
};
