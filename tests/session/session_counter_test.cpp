// End to end: the session_counter example, run as its own process and asked
// by curl. A client keeping a cookie jar sees its visit count rise; a client
// without the cookie, or with a jar of its own, starts a session of its own.
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/curl.h"
#include "tests/support/temp_dir.h"

namespace korvi {
namespace {

const char* const kListening = "listening on port ";

// What the example answered to one request with `options`.
std::string Ask(int port, const std::vector<std::string>& options) {
  std::vector<std::string> all = {"-i"};
  all.insert(all.end(), options.begin(), options.end());
  const test::ChildResult run = test::RunCurl(port, "/count", all);
  EXPECT_EQ(run.exit_code, 0) << run.errors;
  return run.output;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(SessionCounterEndToEnd, EachBrowserCountsItsOwnVisits) {
  test::TempDir dir;
  test::ChildProcess example({test::BuiltProgram("session_counter"), "0"});
  ASSERT_TRUE(example.WaitForOutput(kListening, 15000)) << example.Errors();
  const std::string& out = example.Output();
  const int port = std::stoi(out.substr(out.find(kListening) + std::string(kListening).size()));

  const std::string jar = dir.File("jar.txt");
  const std::vector<std::string> keeping = {"-b", jar, "-c", jar};
  const std::string first = Ask(port, keeping);
  EXPECT_TRUE(Has(first, "Visits of this browser: 1<")) << first;
  EXPECT_TRUE(
      std::regex_search(first, std::regex("\r\nSet-Cookie: [0-9]+=[0-9]+[0-9A-F]{32}; path=/\r\n")))
      << first;
  EXPECT_TRUE(Has(Ask(port, keeping), "Visits of this browser: 2<"));
  EXPECT_TRUE(Has(Ask(port, keeping), "Visits of this browser: 3<"));

  const std::string stranger = Ask(port, {});
  EXPECT_TRUE(Has(stranger, "Visits of this browser: 1<")) << stranger;
  EXPECT_TRUE(Has(stranger, "Browsers now known: 2<")) << stranger;
  const std::string other_jar = dir.File("other.txt");
  EXPECT_TRUE(Has(Ask(port, {"-b", other_jar, "-c", other_jar}), "Visits of this browser: 1<"));
  EXPECT_TRUE(Has(Ask(port, {"-b", other_jar, "-c", other_jar}), "Visits of this browser: 2<"));
  EXPECT_TRUE(Has(Ask(port, keeping), "Visits of this browser: 4<"));

  example.Signal(SIGTERM);
  EXPECT_TRUE(example.WaitForExit(15000));
  EXPECT_EQ(example.ExitCode(), 0) << example.Errors();
}

}  // namespace
}  // namespace korvi
