// End to end: the korvi-serve program, started as a separate process, serves
// a directory to curl, logs each request, applies its options and stored
// properties, and stops cleanly on SIGTERM and SIGINT.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdint>
#include <string>
#include <vector>

#include "server/mime_types.h"
#include "support/child_process.h"
#include "support/curl.h"
#include "support/loopback_client.h"
#include "support/served.h"
#include "support/temp_dir.h"

namespace korvi {
namespace {

using test::ChildProcess;
using test::Curl;
using test::Served;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string ServeProgram() {
  return test::BuiltProgram("korvi-serve");
}

class KorviServeEndToEnd : public ::testing::Test {
 protected:
  KorviServeEndToEnd() {
    dir_.Write("site/index.htm", "<p>start</p>");
    dir_.Write("site/home.htm", "<p>other home</p>");
    dir_.Write("site/style.css", "body {}");
    dir_.Write("site/docs/a.txt", "a");
    dir_.Write("site/docs/b.htm", "b");
  }
  test::TempDir dir_;
};

// Serves files with system content types, logs one line per request, and
// ends on SIGTERM after announcing it.
TEST_F(KorviServeEndToEnd, ServesLogsAndStopsOnSigterm) {
  Served serve({"--root", dir_.File("site")});
  ASSERT_TRUE(serve.Listening()) << serve.Process().Errors();

  const std::string home = Curl(serve.Port(), "/");
  EXPECT_TRUE(home.ends_with("<p>start</p>")) << home;
  EXPECT_TRUE(
      serve.Process().WaitForOutput("127.0.0.1 GET / " + std::to_string(home.size()) + "\n", 10000))
      << serve.Process().Output();

  TMimeTable system_types;
  const std::string css_type =
      system_types.LoadFromFile("/etc/mime.types") ? system_types.TypeOf("css") : "";
  const std::string css = Curl(serve.Port(), "/style.css");
  EXPECT_EQ(Has(css, "\r\nContent-type: " + css_type + "\r\n"), !css_type.empty()) << css;
  EXPECT_TRUE(Has(Curl(serve.Port(), "/docs/"), "<a href=\"/docs/a.txt\">a.txt</a>"));
  EXPECT_TRUE(serve.Process().WaitForOutput("127.0.0.1 GET /docs/ ", 10000));

  EXPECT_TRUE(serve.Stop(SIGTERM)) << serve.Process().Errors();
  EXPECT_TRUE(Has(serve.Process().Output(), "korvi-serve: stopped\n"));
}

// The listing and file options shape the answers; SIGINT stops as well.
TEST_F(KorviServeEndToEnd, OptionsShapeTheAnswers) {
  Served serve({"--root", dir_.File("site"), "--default-file", "home.htm", "--mask", "*.txt",
                "--timeout", "30"});
  ASSERT_TRUE(serve.Listening()) << serve.Process().Errors();
  EXPECT_TRUE(Curl(serve.Port(), "/").ends_with("<p>other home</p>"));
  const std::string listing = Curl(serve.Port(), "/docs");
  EXPECT_TRUE(Has(listing, "a.txt"));
  EXPECT_FALSE(Has(listing, "b.htm"));
  EXPECT_TRUE(serve.Stop(SIGINT));

  Served unlisted({"--root", dir_.File("site"), "--no-listing"});
  ASSERT_TRUE(unlisted.Listening());
  EXPECT_TRUE(Has(Curl(unlisted.Port(), "/docs/"), "ERROR : 403 Forbidden"));
  EXPECT_TRUE(unlisted.Stop(SIGTERM));
}

// Stored properties of --config apply like a loaded server's; options on
// the command line win over them; a URL map replaces the root.
TEST_F(KorviServeEndToEnd, ConfigFileAndUrlMap) {
  const int port = test::FreePort();
  const std::string config =
      dir_.Write("serve.ini", "[Korvi]\nServerRoot=" + dir_.File("site") +
                                  "\nDefaultFile=home.htm\nDirectoryListing=False\nServerPort=" +
                                  std::to_string(port) + "\n");
  Served stored({"--config", config}, false);
  ASSERT_TRUE(stored.Listening()) << stored.Process().Errors();
  EXPECT_EQ(stored.Port(), port);
  EXPECT_TRUE(Curl(stored.Port(), "/").ends_with("<p>other home</p>"));
  EXPECT_TRUE(Has(Curl(stored.Port(), "/docs/"), "ERROR : 403 Forbidden"));
  EXPECT_TRUE(stored.Stop(SIGTERM));

  const std::string map = dir_.Write("map.ini", "[MAP]\n/d=" + dir_.File("site/docs") + "\n");
  Served mapped({"--config", config, "--map", map});
  ASSERT_TRUE(mapped.Listening()) << mapped.Process().Errors();
  EXPECT_TRUE(Curl(mapped.Port(), "/d/a.txt").ends_with("\r\n\r\na"));
  EXPECT_TRUE(Has(Curl(mapped.Port(), "/index.htm"), "ERROR : 404 Not Found"));
  EXPECT_TRUE(mapped.Stop(SIGTERM));
}

// --help explains (also what small timeouts and URL map keys mean) and
// exits 0; bad options, missing paths and ports out of range exit 2 with
// one line that points to --help, before anything listens.
TEST_F(KorviServeEndToEnd, HelpAndBadArguments) {
  ChildProcess help({ServeProgram(), "--help"});
  ASSERT_TRUE(help.WaitForExit(10000));
  EXPECT_EQ(help.ExitCode(), 0);
  EXPECT_TRUE(Has(help.Output(), "--root DIR"));
  EXPECT_TRUE(Has(help.Output(), "5 or less also means 100")) << help.Output();
  EXPECT_TRUE(Has(help.Output(), "a key \"/\" serves only \"/\"")) << help.Output();

  const std::vector<std::vector<std::string>> bad = {{"--bogus"},
                                                     {"--port"},
                                                     {"--port", "65536"},
                                                     {"--port", "-1"},
                                                     {"--port", "http"},
                                                     {"--root", dir_.File("missing")},
                                                     {"--map", dir_.File("no.ini")}};
  for (const std::vector<std::string>& options : bad) {
    std::vector<std::string> argv = {ServeProgram()};
    argv.insert(argv.end(), options.begin(), options.end());
    ChildProcess run(argv);
    const std::string what = options[0] + (options.size() > 1 ? " " + options[1] : "");
    ASSERT_TRUE(run.WaitForExit(10000)) << what;
    EXPECT_EQ(run.ExitCode(), 2) << what;
    EXPECT_TRUE(run.Errors().starts_with("korvi-serve: ")) << what << "\n" << run.Errors();
    EXPECT_TRUE(run.Errors().ends_with(" (try --help)\n")) << what << "\n" << run.Errors();
    EXPECT_EQ(run.Errors().find('\n'), run.Errors().size() - 1) << what << "\n" << run.Errors();
    EXPECT_FALSE(Has(run.Output(), "listening on port ")) << what;
  }
}

// A key of the [Korvi] section that names no property is reported, and the
// server still starts with the others.
TEST_F(KorviServeEndToEnd, UnknownConfigKeyIsReported) {
  const std::string config = dir_.Write(
      "serve.ini", "[Korvi]\nServerRoot=" + dir_.File("site") + "\nDefaultFle=home.htm\n");
  Served serve({"--config", config});
  ASSERT_TRUE(serve.Listening()) << serve.Process().Errors();
  EXPECT_TRUE(Has(serve.Process().Errors(), "unknown key DefaultFle in [Korvi]"))
      << serve.Process().Errors();
  EXPECT_TRUE(Curl(serve.Port(), "/").ends_with("<p>start</p>"));
  EXPECT_TRUE(serve.Stop(SIGTERM));
}

// A client that leaves in the middle of a download is logged with the
// bytes that went out, not with the size of the whole answer.
TEST_F(KorviServeEndToEnd, LogShowsTheBytesOfACutDownload) {
  const std::string big(20 * 1024 * 1024, 'b');
  dir_.Write("site/big.bin", big);
  Served serve({"--root", dir_.File("site")});
  ASSERT_TRUE(serve.Listening()) << serve.Process().Errors();
  {
    test::LoopbackClient client(serve.Port());
    client.Send("GET /big.bin HTTP/1.0\r\n\r\n");
    std::string part;
    client.ReadBlocking(part, 65536, 10000);
    client.Reset();
  }
  const std::string logged = "127.0.0.1 GET /big.bin ";
  ASSERT_TRUE(serve.Process().WaitForOutput(logged, 15000)) << serve.Process().Output();
  const std::string& out = serve.Process().Output();
  const std::int64_t bytes = std::stoll(out.substr(out.find(logged) + logged.size()));
  EXPECT_GT(bytes, 0);
  EXPECT_LT(bytes, static_cast<std::int64_t>(big.size()));
  EXPECT_TRUE(serve.Stop(SIGTERM));
}

}  // namespace
}  // namespace korvi
