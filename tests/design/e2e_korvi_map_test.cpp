// End to end: the korvi-map program edits URL map files that korvi-serve
// then serves (directly with --map, or named by a --config file), reads an
// edit session from its input, falls back to Pirnask.ini, and explains
// itself.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "korvi/host/files.h"
#include "tests/support/child_process.h"
#include "tests/support/curl.h"
#include "tests/support/served.h"
#include "tests/support/temp_dir.h"

namespace korvi {
namespace {

using test::ChildResult;
using test::Curl;
using test::Served;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Runs korvi-map with `args` in the directory `cwd` (the test's own when
// empty), with `input` on its standard input when given.
ChildResult Map(const std::vector<std::string>& args, const std::string& cwd = "",
                const std::string* input = nullptr) {
  std::vector<std::string> argv = {
      "sh",
      "-c",
      "cd \"${1:-.}\" && input=\"$2\" && shift 2 && printf %s \"$input\" | \"$@\"",
      "sh",
      cwd,
      input != nullptr ? *input : "",
      test::BuiltProgram("korvi-map")};
  argv.insert(argv.end(), args.begin(), args.end());
  return test::RunPumping(argv);
}

class KorviMapEndToEnd : public ::testing::Test {
 protected:
  KorviMapEndToEnd() {
    dir_.Write("site/index.htm", "<p>start</p>");
    dir_.Write("site/docs/a.txt", "a");
    dir_.MakeDir("work");
  }
  test::TempDir dir_;
};

// A mapping added by korvi-map is listed, refused a second time without
// touching the file, and served by korvi-serve --map.
TEST_F(KorviMapEndToEnd, MappingAddedIsServed) {
  const std::string map = dir_.File("map.ini");
  const std::string docs = dir_.File("site/docs");
  const ChildResult added = Map({"--file", map, "add", "docs", docs});
  ASSERT_EQ(added.exit_code, 0) << added.errors;
  const std::string saved = test::ReadFile(map);
  EXPECT_EQ(saved, "[VERSION]\nPIRNASK=0.1\n[MAP]\n/docs=" + docs + "\n");

  const ChildResult list = Map({"--file", map, "list"});
  EXPECT_EQ(list.exit_code, 0);
  EXPECT_EQ(list.output,
            " URL Path   Directory (Full Server or Relative)\n/docs      " + docs + "\n");

  const ChildResult again = Map({"--file", map, "add", "/Docs", dir_.File("site")});
  EXPECT_EQ(again.exit_code, 1);
  EXPECT_EQ(again.errors, "korvi-map: URL Path Already Exist\n");
  EXPECT_EQ(test::ReadFile(map), saved);

  Served serve({"--map", map});
  ASSERT_TRUE(serve.Listening()) << serve.Process().Errors();
  EXPECT_TRUE(Curl(serve.Port(), "/docs/a.txt").ends_with("\r\n\r\na"));
  EXPECT_TRUE(serve.Stop(SIGTERM));
}

// With --config, korvi-map edits Korvi.ini in the current directory while
// the property is empty, then names it in the configuration (dropping the
// root it replaces), so that korvi-serve --config serves the map.
TEST_F(KorviMapEndToEnd, ConfigNamesTheMapKorviServeServes) {
  const std::string config =
      dir_.Write("serve.ini", "; stored server\n[Korvi]\nServerRoot=" + dir_.File("site") +
                                  "\nDefaultFile=index.htm\n");
  const ChildResult added =
      Map({"--config", config, "add", "/d", dir_.File("site/docs")}, dir_.File("work"));
  ASSERT_EQ(added.exit_code, 0) << added.errors;
  EXPECT_TRUE(Has(test::ReadFile(dir_.File("work/Korvi.ini")), "\n/d=" + dir_.File("site/docs")));
  const std::string stored = test::ReadFile(config);
  EXPECT_TRUE(
      stored.starts_with("; stored server\n[Korvi]\nDefaultFile=index.htm\nURLMapIniFile=/"))
      << stored;
  EXPECT_TRUE(stored.ends_with("/work/Korvi.ini\n")) << stored;

  // The property now names the map: a run from elsewhere edits the same file.
  const ChildResult more = Map({"--config", config, "add", "/site", dir_.File("site")});
  ASSERT_EQ(more.exit_code, 0) << more.errors;
  EXPECT_EQ(test::ReadFile(config), stored);

  Served serve({"--config", config});
  ASSERT_TRUE(serve.Listening()) << serve.Process().Errors();
  EXPECT_TRUE(Curl(serve.Port(), "/d/a.txt").ends_with("\r\n\r\na"));
  EXPECT_TRUE(Curl(serve.Port(), "/site/index.htm").ends_with("<p>start</p>"));
  EXPECT_TRUE(Has(Curl(serve.Port(), "/index.htm"), "ERROR : 404 Not Found"));
  EXPECT_TRUE(serve.Stop(SIGTERM));
}

// edit reads commands line by line, shows the table first and after each,
// reports refusals, stops at quit and saves what was accepted.
TEST_F(KorviMapEndToEnd, EditSessionReadsCommandsFromInput) {
  const std::string map = dir_.File("map.ini");
  const std::string input =
      "add docs /srv/docs\n"
      "add \"/my docs\" \"/srv/my docs\"\n"
      "add /DOCS x\n"
      "replace /nope /n /d\n"
      "delete\n"
      "\n"
      "delete docs\n"
      "list\n"
      "quit\n"
      "add /late x\n";
  const ChildResult run = Map({"--file", map, "edit"}, "", &input);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.errors,
            "korvi-map: URL Path Already Exist\n"
            "korvi-map: no mapping for URL path /nope\n"
            "korvi-map: usage: delete PATH\n");
  const std::string heading = " URL Path   Directory (Full Server or Relative)\n";
  const std::string last = heading + "/my docs   /srv/my docs\n";
  // The start, five commands (the usage error shows none) and the list.
  std::size_t tables = 0;
  for (std::size_t at = run.output.find(heading); at != std::string::npos;
       at = run.output.find(heading, at + 1))
    ++tables;
  EXPECT_EQ(tables, 7u) << run.output;
  EXPECT_TRUE(run.output.ends_with(last + last)) << run.output;
  EXPECT_EQ(test::ReadFile(map), "[VERSION]\nPIRNASK=0.1\n[MAP]\n/my docs=/srv/my docs\n");
}

// Without --file the map is Korvi.ini in the current directory; a file that
// cannot be read gives way to Pirnask.ini there, with a notice.
TEST_F(KorviMapEndToEnd, DefaultFileAndFallback) {
  const std::string work = dir_.File("work");
  EXPECT_EQ(Map({"add", "/a", "x"}, work).exit_code, 0);
  EXPECT_EQ(test::ReadFile(work + "/Korvi.ini"), "[VERSION]\nPIRNASK=0.1\n[MAP]\n/a=x\n");

  dir_.MakeDir("work/unreadable.ini");
  const ChildResult run = Map({"--file", "unreadable.ini", "add", "/b", "y"}, work);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(run.errors.starts_with("korvi-map: ")) << run.errors;
  EXPECT_TRUE(Has(run.errors, "unreadable.ini")) << run.errors;
  EXPECT_TRUE(run.errors.ends_with("; editing " + work + "/Pirnask.ini instead.\n")) << run.errors;
  EXPECT_EQ(test::ReadFile(work + "/Pirnask.ini"), "[VERSION]\nPIRNASK=0.1\n[MAP]\n/b=y\n");
}

// --help names every command and option, --components the registration;
// usage errors exit 2 before any file is touched.
TEST_F(KorviMapEndToEnd, HelpComponentsAndUsageErrors) {
  const ChildResult help = Map({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  for (const char* entry :
       {"  list ", "  add PATH DIR ", "  replace OLDPATH NEWPATH DIR ", "  delete PATH ", "  edit ",
        "--file FILE", "--config FILE", "--components", "--help"}) {
    EXPECT_TRUE(Has(help.output, entry)) << entry;
  }

  const ChildResult components = Map({"--components"});
  EXPECT_EQ(components.exit_code, 0);
  const std::size_t korvi = components.output.find("TKorvi ");
  const std::size_t producer = components.output.find("TKorviProducer ");
  const std::size_t processor = components.output.find("TKorviProcessor ");
  const std::size_t sessions = components.output.find("TKorviSessions ");
  EXPECT_TRUE(korvi < producer && producer < processor && processor < sessions &&
              sessions != std::string::npos)
      << components.output;
  EXPECT_TRUE(Has(components.output, "page \"Korvi\""));
  EXPECT_TRUE(Has(components.output, "ZIniProperty for TKorvi.URLMapIniFile (string)"));

  const std::string work = dir_.File("work");
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"bogus"},
      {"add", "/a"},
      {"edit", "now"},
      {"--file"},
      {"--file", "a.ini", "--config", "b.ini", "list"},
      {"--config", dir_.File("missing.ini"), "add", "/a", "x"},
      {"--bogus", "list"}};
  for (const std::vector<std::string>& args : bad) {
    const ChildResult run = Map(args, work);
    EXPECT_EQ(run.exit_code, 2) << testing::PrintToString(args);
    EXPECT_TRUE(run.errors.starts_with("korvi-map: ")) << run.errors;
  }
  EXPECT_FALSE(FileExists(work + "/Korvi.ini"));
}

}  // namespace
}  // namespace korvi
