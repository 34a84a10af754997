#include "amsd/protocol/views.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "amsd/base/text.h"

namespace {

class ResolveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    find_or_add_app(*reg, "plain");
    AppRecord& app = *find_or_add_app(*reg, "app");
    const char* const routes[][2] = {
      { "home", "a;b;c" }, { "empty", "" },   { "lead", ";a" },
      { "trail", "a;" },   { "dbl", "a;;b" },
    };
    for (const auto& r : routes) {
      RouteEntry& e = app.routes[app.route_count++];
      copy_text(e.key, r[0]);
      copy_text(e.chain, r[1]);
    }
  }

  std::string resolve(std::string_view pkg, std::string_view act,
                      std::size_t room = 1024) {
    std::string buf(room, '\0');
    Reply out = reply_start(buf.data(), room);
    resolve_reply(*reg, pkg, act, out);
    return buf.c_str();
  }

  std::unique_ptr<Registry> reg = std::make_unique<Registry>();
};

TEST_F(ResolveTest, RepliesByTheTable) {
  const std::string needs = "ERR resolve needs <pkg> <activity>\n";
  const std::string act16 = "home" + std::string(12, 'x');
  const std::string act200(200, 'a');
  const std::string cases[][3] = {
    { "plain", "main", "CHAIN plain main 1 main\n" },
    { "plain", act200,
      "CHAIN plain " + act200 + " 1 " + std::string(159, 'a') + "\n" },
    { "app", "home", "CHAIN app home 3 a;b;c\n" },
    { "app", "empty", "CHAIN app empty 0 \n" },
    { "app", "lead", "CHAIN app lead 2 ;a\n" },
    { "app", "trail", "CHAIN app trail 2 a;\n" },
    { "app", "dbl", "CHAIN app dbl 3 a;;b\n" },
    { "app", "Home", "ERR resolve app/Home failed (-2)\n" },
    { "app", "main", "ERR resolve app/main failed (-2)\n" },
    { "app", act16, "ERR resolve app/" + act16 + " failed (-2)\n" },
    { "nobody", "main", "ERR resolve nobody/main failed (-2)\n" },
    { "plain", "", needs },
    { "", "main", needs },
  };
  for (const auto& [pkg, act, want] : cases) {
    EXPECT_EQ(resolve(pkg, act), want) << pkg << " " << act;
  }
  // The reply is cut to the room left.
  EXPECT_EQ(resolve("app", "home", 12), "CHAIN app h");
  EXPECT_EQ(resolve("app", "home", 1), "");
}

}  // namespace
