// quor_manifest against the real daemon: for a table of tricky manifests,
// the app its --json line shows is the one quor_amsd registers from the same
// directory ("list", "resolve", "picker" and the start-up scan's dump), with
// the warnings expected; the sample apps read cleanly; and its exit
// statuses.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/support/fake_peers.h"

namespace {

using namespace e2e;
using Words = std::vector<std::string>;

Exit quor_manifest(const TempDir& dir, const Words& args) {
  return run_program(built("QUOR_MANIFEST_BIN", QUOR_MANIFEST_BIN), args, dir);
}

std::string json(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
    }
    out += c;
  }
  return out + "\"";
}

std::string between(const std::string& s, const std::string& from,
                    const std::string& to) {
  std::size_t a = s.find(from);
  if (a == std::string::npos) {
    return "<no " + from + ">";
  }
  a += from.size();
  return s.substr(a, s.find(to, a) - a);
}

// The start of the --json line for what the daemon registered as "app".
std::string daemon_view(const Amsd& a) {
  std::string out =
      "{\"pkg\":\"app\",\"name\":" +
      json(between(a.command("list"), "APP app ", " stop 0 0 0 clean 0\n")) +
      ",\"exec\":";
  std::string routes, pickers;
  for (const std::string& line : a.log_texts()) {
    if (line.starts_with("  app app ")) {
      out += json(between(line, " exec=", " known="));
    } else if (line.starts_with("    route ")) {
      std::string key = between(line, "    route ", "=");
      std::string reply = a.command("resolve app " + key);
      EXPECT_TRUE(reply.starts_with("CHAIN app " + key + " ")) << reply;
      std::string chain = reply.substr(reply.find(' ', 11 + key.size()) + 1);
      chain.pop_back();
      routes += (routes.empty() ? "" : ",") + json(key) + ":" + json(chain);
    } else if (line.starts_with("  picker ")) {
      std::string action = between(line, "  picker ", " -> ");
      EXPECT_TRUE(a.command("picker " + action).starts_with("OK pending "))
          << action;
      EXPECT_NE(line.find(" -> app (chain="), std::string::npos) << line;
      pickers += (pickers.empty() ? "" : ",") + json(action) + ":" +
                 json(line.substr(line.find("(chain=") + 7,
                                  line.size() - line.find("(chain=") - 8));
    }
  }
  return out + ",\"routes\":{" + routes + "},\"pickers\":{" + pickers +
         "},\"warnings\":[";
}

// The strings of the warnings array, from its first quote.
Words warnings_of(std::string_view rest) {
  Words out;
  std::string cur;
  bool in = false;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    char c = rest[i];
    if (!in && c == '"') {
      in = true;
    } else if (in && c == '\\' && i + 1 < rest.size()) {
      cur += rest[++i];
    } else if (in && c == '"') {
      out.push_back(cur);
      cur.clear();
      in = false;
    } else if (in) {
      cur += c;
    } else if (c == ']') {
      break;
    }
  }
  return out;
}

std::string repeat(char c, int n) {
  return std::string(static_cast<std::size_t>(n), c);
}

struct Case {
  const char* what;
  std::string manifest;
  Words warnings;  // what each one holds, in order; none: exit status 0
  bool has_quor = true;
};

TEST(QuorManifest, ShowsWhatTheDaemonRegistersAndWarnsWhereJsonDiffers) {
  std::string nine;
  for (int i = 0; i < 9; ++i) {
    nine += "\"route.r" + std::to_string(i) + "\": \"c\", \"picker.p" +
            std::to_string(i) + "\": \"c\", ";
  }
  const Case cases[] = {
    { "clean",
      R"({ "name": "Clean", "route.main": "a;b;c", "route.empty": "",
           "picker.share": "app/Share" })",
      {} },
    { "escaped quotes",
      R"({"name": "Say \"hi\"", "route.q": "a\"b"})",
      { "name: an escaped quote ends the value; reads as \"Say \\\"",
        "route.q: an escaped quote ends the chain; reads as \"a\\\"" } },
    { "values that are no strings",
      R"({"route.n": 7, "name": 5, "exec": true})",
      { "name: not a quoted string; reads as empty",
        "exec: not a quoted string; reads as empty",
        "route.n: not a quoted string; reads as \"7\"" } },
    { "route. inside another key and a value",
      R"({"x.route.a": "1", "note": "route.b=2", "route.c": "3"})",
      { "route.a: declared by the \"route.\" inside the key \"x.route.a\"",
        "route.b: declared by the \"route.\" inside the value of \"note\"" } },
    { "dotted keys",
      R"({"route.a.b": "x", "picker.p.q": "y"})",
      { "route.a.b: declares no route",
        "picker.p.q: the action ends at \".\"; declares action \"p\"" } },
    { "a ninth route and picker",
      "{" + nine + "\"name\": \"Nine\"}",
      { "route.r8: dropped; an app holds at most 8 routes",
        "picker.p8: dropped; the picker table holds at most 8 actions" } },
    { "cuts",
      "{\"name\": \"" + repeat('a', 47) + "\xc3\xa9" + repeat('b', 11) +
          "\", \"route.abcdefghijklmnopq\": \"k\", \"route.long\": \"" +
          repeat('c', 170) + "\", \"picker." + repeat('p', 30) + "\": \"v\"}",
      { "name: cut to 47 bytes (at most 48)",
        "route.abcdefghijklmnopq: the key is cut to 15 bytes",
        "route.long: the chain is cut to 159 bytes",
        "picker." + repeat('p', 30) + ": the action is cut to 23 bytes" } },
    { "commas and blanks",
      R"({"route.c": "x,y", "route.t": "t  ", "picker.t": "t  "})",
      { "route.c: the chain ends at \",\"; reads as \"x\"",
        "route.t: trailing blanks dropped; reads as \"t\"" } },
    { "the first \"name\" wins",
      R"({"meta": {"name": "Inner"}, "name": "Outer", "name": "Last"})",
      { "name: \"name\" first appears inside the value of \"meta\"" } },
    { "values on the next line",
      "{\"name\":\n \"Next\", \"route.n\":\n \"x\"}",
      { "name: the value is not on the key's line",
        "route.n: the value is not on the key's line" } },
    { "beyond 2047 bytes",
      "{\"name\": \"Big\", \"pad\": \"" + repeat('x', 2100) +
          "\", \"route.late\": \"l\"}",
      { "bytes; the daemon reads only the first 2047",
        "route.late: beyond the 2047 bytes read" } },
    { "not JSON",
      "{ \"name\": \"Bad\",\n  \"route.x\": \"y\",\n}",
      { "app.json: line 3: not valid JSON" } },
    { "not UTF-8",
      "{\n \"name\": \"Caf\xe9\",\n \"route.a\": \"b\"}",
      { "app.json: line 2: not UTF-8",
        "name: the UTF-8 sequence at its end is incomplete" } },
    { "no executable",
      R"({"name": "No exec"})",
      { "exec: not given; " },
      false },
  };
  for (const Case& c : cases) {
    TempDir dir;
    Amsd a(dir);
    make_app(a.apps, "app", c.manifest);
    if (c.has_quor) {
      write_file(a.apps + "/app/quor", "#!/bin/sh\n");
      chmod((a.apps + "/app/quor").c_str(), 0755);
    }
    fake::FakeLauncher launcher(a.ipc_sock);
    ASSERT_TRUE(a.start()) << c.what;
    Exit r = quor_manifest(dir, { "--json", a.apps + "/app" });
    EXPECT_EQ(r.status, c.warnings.empty() ? 0 : 1) << c.what << r.err;
    std::string view = daemon_view(a);
    ASSERT_TRUE(r.out.starts_with(view)) << c.what << "\n"
                                         << r.out << "\n"
                                         << view;
    EXPECT_TRUE(r.out.ends_with("]}\n")) << c.what;
    Words got = warnings_of(std::string_view(r.out).substr(view.size()));
    EXPECT_EQ(got.size(), c.warnings.size()) << c.what << "\n" << r.out;
    for (std::size_t i = 0; i < got.size() && i < c.warnings.size(); ++i) {
      EXPECT_NE(got[i].find(c.warnings[i]), std::string::npos)
          << c.what << ": " << got[i];
    }
  }
}

TEST(QuorManifest, SampleAppsReadAsTheirJsonSays) {
  TempDir dir;
  const std::string examples = QUOR_EXAMPLES_DIR;
  for (const char* app : { "clock", "viewer", "crashy" }) {
    Exit r = quor_manifest(dir, { examples + "/" + app });
    EXPECT_EQ(r.status, 0) << app << "\n" << r.out;
    EXPECT_EQ(r.out.find("warning"), std::string::npos) << r.out;
  }
  Exit r = quor_manifest(dir, { examples + "/clock/app.json" });
  EXPECT_EQ(r.out, examples +
                       "/clock/app.json:\n"
                       "  pkg     \"clock\"\n"
                       "  name    \"Clock\"\n"
                       "  exec    \"" +
                       examples +
                       "/clock/quor\"\n"
                       "  route   \"main\" -> \"clock/Main;clock/Face\" (2 "
                       "steps)\n"
                       "  route   \"face\" -> \"clock/Face\" (1 step)\n");
}

TEST(QuorManifest, UsageErrorsAndUnreadableArgumentsExitTwo) {
  TempDir dir;
  make_app(dir.path(), "good", R"({"name": "Good"})");
  write_file(dir.file("good/quor"), "#!/bin/sh\n");
  chmod(dir.file("good/quor").c_str(), 0755);
  write_file(dir.file("other.json"), "{}");
  struct Row {
    Words args;
    int lines;  // of standard output
  };
  const Row rows[] = {
    { {}, 0 },
    { { "--bogus", dir.file("good") }, 0 },
    { { dir.file("none") }, 0 },
    { { dir.file("other.json") }, 0 },
    // The readable one is still shown.
    { { "--json", dir.file("good"), dir.file("none") }, 1 },
  };
  for (const Row& row : rows) {
    Exit r = quor_manifest(dir, row.args);
    std::string what = testing::PrintToString(row.args);
    EXPECT_EQ(r.status, 2) << what;
    EXPECT_EQ(count_of(r.out, "\n"), row.lines) << what << r.out;
    EXPECT_TRUE(r.err.starts_with("quor_manifest: ")) << what << r.err;
  }
}

}  // namespace
