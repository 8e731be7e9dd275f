// End to end: the korvi-serve program, started as a separate process, serves
// a directory to curl, logs each request, applies its options and stored
// properties, and stops cleanly on SIGTERM and SIGINT.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "korvi/server/mime_types.h"
#include "tests/support/child_process.h"
#include "tests/support/curl.h"
#include "tests/support/loopback_client.h"
#include "tests/support/served.h"
#include "tests/support/temp_dir.h"

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

// korvi-serve answers in HTTP/1.1 and keeps connections; --http10 goes back
// to HTTP/1.0, one request per connection.
TEST_F(KorviServeEndToEnd, KeepsConnectionsUnlessHttp10) {
  Served serve({"--root", dir_.File("site")});
  ASSERT_TRUE(serve.Listening()) << serve.Process().Errors();
  const std::string second = "http://127.0.0.1:" + std::to_string(serve.Port()) + "/home.htm";
  const test::ChildResult run = test::RunCurl(
      serve.Port(), "/", {"-o", "/dev/null", "-o", "/dev/null", "-w", "%{num_connects}", second});
  EXPECT_EQ(run.output, "10") << run.errors;
  Served old({"--root", dir_.File("site"), "--http10"});
  ASSERT_TRUE(old.Listening()) << old.Process().Errors();
  EXPECT_TRUE(Curl(old.Port(), "/").starts_with("HTTP/1.0 200 OK\r\n"));
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

// --product-line replaces the foot of error pages and listings, an empty
// one (also stored in --config) drops it; --no-follow-links refuses a link
// out of the root that is followed by default.
TEST_F(KorviServeEndToEnd, ProductLineAndLinks) {
  dir_.Write("secret.txt", "SECRET");
  ASSERT_EQ(::symlink(dir_.File("secret.txt").c_str(), dir_.File("site/docs/out.txt").c_str()), 0);
  const std::string empty_line = dir_.Write("serve.ini", "[Korvi]\nProductLine=\n");
  struct Case {
    std::vector<std::string> options;
    std::string foot;
    bool follows;
  };
  const std::vector<Case> cases = {
      {{}, "<HR WIDTH=\"100%\">Generated by the Korvi HTTP Server (", true},
      {{"--product-line", "<i>Tea shop</i>", "--no-follow-links"},
       "<HR WIDTH=\"100%\"><i>Tea shop</i></BODY>",
       false},
      {{"--product-line", ""}, "\r\n</BODY>", true},
      {{"--config", empty_line}, "\r\n</BODY>", true},
  };
  for (const Case& c : cases) {
    std::vector<std::string> options = {"--root", dir_.File("site")};
    options.insert(options.end(), c.options.begin(), c.options.end());
    Served serve(options);
    ASSERT_TRUE(serve.Listening()) << serve.Process().Errors();
    const std::string listing = Curl(serve.Port(), "/docs/");
    EXPECT_TRUE(Has(listing, c.foot)) << listing;
    EXPECT_EQ(Has(listing, "out.txt"), c.follows) << listing;
    const std::string linked = Curl(serve.Port(), "/docs/out.txt");
    EXPECT_EQ(linked.ends_with("\r\n\r\nSECRET"), c.follows) << linked;
    EXPECT_EQ(Has(linked, "ERROR : 404 Not Found"), !c.follows) << linked;
    EXPECT_TRUE(serve.Stop(SIGTERM)) << serve.Process().Errors();
  }
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
  // Larger than what the loopback socket buffers can take in, even while a
  // slow (sanitized) client is still reading its first bytes.
  const std::string big(64 * 1024 * 1024, 'b');
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

// A path with an encoded line feed, escape sequence and quote shows on one
// line, its bytes escaped as in the access log.
TEST_F(KorviServeEndToEnd, LogLineEscapesControlBytes) {
  Served serve({"--root", dir_.File("site")});
  ASSERT_TRUE(serve.Listening()) << serve.Process().Errors();
  Curl(serve.Port(), "/x%0Aforged%1B%5B2J%22%5C");
  EXPECT_TRUE(serve.Process().WaitForOutput("127.0.0.1 GET /x\\x0aforged\\x1b[2J\\\"\\\\ ", 10000))
      << serve.Process().Output();
  EXPECT_FALSE(Has(serve.Process().Output(), "\nforged")) << serve.Process().Output();
  EXPECT_FALSE(Has(serve.Process().Output(), "\x1b")) << serve.Process().Output();
  EXPECT_TRUE(serve.Stop(SIGTERM));
}

// Open descriptors of process `pid`, the lowest free descriptor number and
// a line of one of its /proc files.
int DescriptorsOf(int pid) {
  const std::filesystem::path dir = "/proc/" + std::to_string(pid) + "/fd";
  std::error_code error;
  int count = 0;
  for (auto it = std::filesystem::directory_iterator(dir, error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    ++count;
  }
  return count;
}
int LowestFreeDescriptorOf(int pid) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
  int fd = 0;
  while (std::filesystem::exists(std::filesystem::symlink_status(dir + std::to_string(fd))))
    ++fd;
  return fd;
}
std::string ProcField(int pid, const std::string& file, const std::string& label) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(label)) return line.substr(label.size());
  }
  return "";
}

// Waits, pumping nothing, until `done()` holds; false after `timeout_ms`.
bool WaitFor(const std::function<bool()>& done, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Asks for `path` until the answer holds `part` (a signal is taken
// asynchronously); false after 20 tries.
bool AnswersWith(int port, const std::string& path, const std::string& part) {
  for (int i = 0; i < 20; ++i) {
    if (Has(test::RunCurl(port, path, {"-i"}).output, part)) return true;
  }
  return false;
}

// Waits until the standard error of `serve` holds `text`; false after 10 s.
bool ErrorsShow(Served& serve, const std::string& text) {
  const bool shown = WaitFor(
      [&] {
        serve.Process().Poll();
        return Has(serve.Process().Errors(), text);
      },
      10000);
  EXPECT_TRUE(shown) << serve.Process().Errors();
  return shown;
}

// With --quiet no request shows on standard output; the access log still
// gets its line.
TEST_F(KorviServeEndToEnd, QuietLeavesOnlyTheAccessLog) {
  const std::string log = dir_.File("access.log");
  Served serve({"--root", dir_.File("site"), "--quiet", "--access-log", log});
  ASSERT_TRUE(serve.Listening()) << serve.Process().Errors();
  EXPECT_TRUE(Curl(serve.Port(), "/").ends_with("<p>start</p>"));
  EXPECT_TRUE(WaitFor([&] { return Has(test::ReadFile(log), "\"GET / HTTP/1.1\" 200 "); }, 10000))
      << test::ReadFile(log);
  EXPECT_TRUE(serve.Stop(SIGTERM));
  EXPECT_FALSE(Has(serve.Process().Output(), "GET")) << serve.Process().Output();
}

// Every line of the URL map that maps nothing is reported with its number
// at start, and again when SIGHUP reads the changed map, which then serves.
// Without an access log SIGHUP does not end the program.
TEST_F(KorviServeEndToEnd, UrlMapLinesDroppedAndReadAgainOnSighup) {
  const std::string docs = dir_.File("site/docs");
  const std::string map =
      dir_.Write("map.ini", "[MAP]\n URL Path=Directory\n; a remark\n/d=" + docs +
                                "\n\nno separator\n=" + docs + "\n/empty=\ndocs=" + docs +
                                "\n[Other]\nno separator\n");
  Served serve({"--map", map});
  ASSERT_TRUE(serve.Listening()) << serve.Process().Errors();
  const std::string prefix = "korvi-serve: " + map + ": line ";
  EXPECT_EQ(serve.Process().Errors(), prefix + "6 dropped: no \"=\"\n" + prefix +
                                          "7 dropped: empty key\n" + prefix +
                                          "8 dropped: empty directory\n" + prefix +
                                          "9 dropped: key without a leading \"/\"\n");
  EXPECT_TRUE(Curl(serve.Port(), "/d/a.txt").ends_with("\r\n\r\na"));

  dir_.Write("map.ini", "[MAP]\n/e=" + docs + "\nbroken\n");
  serve.Process().Signal(SIGHUP);
  EXPECT_TRUE(AnswersWith(serve.Port(), "/e/b.htm", "\r\n\r\nb"));
  EXPECT_TRUE(Has(Curl(serve.Port(), "/d/a.txt"), "ERROR : 404 Not Found"));
  EXPECT_TRUE(ErrorsShow(serve, prefix + "3 dropped: no \"=\"\n"));

  // A map file that is missing when SIGHUP comes leaves the map in use.
  ASSERT_EQ(std::remove(map.c_str()), 0);
  serve.Process().Signal(SIGHUP);
  EXPECT_TRUE(
      ErrorsShow(serve, "korvi-serve: no URL map file " + map + "; the map in use stays\n"));
  EXPECT_TRUE(Curl(serve.Port(), "/e/b.htm").ends_with("\r\n\r\nb"));
  EXPECT_TRUE(serve.Stop(SIGTERM)) << serve.Process().Errors();
}

// With a document root and no access log, SIGHUP changes nothing.
TEST_F(KorviServeEndToEnd, SighupWithoutAccessLogKeepsServing) {
  Served serve({"--root", dir_.File("site")});
  ASSERT_TRUE(serve.Listening()) << serve.Process().Errors();
  serve.Process().Signal(SIGHUP);
  EXPECT_TRUE(Curl(serve.Port(), "/").ends_with("<p>start</p>"));
  EXPECT_TRUE(serve.Stop(SIGTERM));
  EXPECT_EQ(serve.Process().Errors(), "");
}

// Starts korvi-serve with `limit` descriptors at most. Under UBSan its
// dynamic type check is switched off for the run: the check needs a pipe and
// reports a false fault when the process has no descriptor left.
std::vector<std::string> PressureLauncher(int limit) {
  std::vector<std::string> launcher = {"env"};
#ifdef KORVI_VPTR_CHECK_OFF
  const char* asan = std::getenv("ASAN_OPTIONS");
  launcher.push_back(std::string("ASAN_OPTIONS=verify_asan_link_order=0") +
                     (asan != nullptr ? std::string(":") + asan : ""));
  launcher.push_back(std::string("LD_PRELOAD=") + KORVI_VPTR_CHECK_OFF);
#endif
  const std::string nofile = std::to_string(limit);
  launcher.insert(launcher.end(), {"prlimit", "--nofile=" + nofile + ":" + nofile});
  return launcher;
}

// The soft limit of open descriptors goes up to the hard limit at start.
TEST_F(KorviServeEndToEnd, RaisesTheDescriptorLimit) {
  Served serve({"--root", dir_.File("site")}, true, {"prlimit", "--nofile=64:4096"});
  ASSERT_TRUE(serve.Listening()) << serve.Process().Errors();
  std::istringstream limits(ProcField(serve.Process().Pid(), "limits", "Max open files"));
  std::string soft;
  std::string hard;
  limits >> soft >> hard;
  EXPECT_EQ(soft, "4096");
  EXPECT_EQ(hard, "4096");
  EXPECT_TRUE(serve.Stop(SIGTERM));
}

// korvi-serve limited to 48 descriptors, idle after one request, with the
// descriptors it then holds.
class DescriptorPressure : public KorviServeEndToEnd {
 protected:
  void SetUp() override {
    serve_ = std::make_unique<Served>(std::vector<std::string>{"--root", dir_.File("site")}, true,
                                      PressureLauncher(48));
    ASSERT_TRUE(serve_->Listening()) << serve_->Process().Errors();
    pid_ = serve_->Process().Pid();
    idle_descriptors_ = DescriptorsOf(pid_);
    ASSERT_TRUE(Has(Curl(serve_->Port(), "/"), "<p>start</p>"));
    ASSERT_TRUE(WaitFor([&] { return DescriptorsOf(pid_) == idle_descriptors_; }, 10000));
  }
  std::unique_ptr<Served> serve_;
  int pid_ = 0;
  int idle_descriptors_ = 0;
};

// With too few descriptors for every connection, the server refuses (closes
// at once) what it cannot serve and keeps the rest; once the clients are
// gone it holds exactly the descriptors it held before and serves again.
TEST_F(DescriptorPressure, RefusesWhatItCannotServeAndRecovers) {
  Served& serve = *serve_;
  const int pid = pid_;
  const int idle_descriptors = idle_descriptors_;

  for (int round = 0; round < 3; ++round) {
    // Silent clients, each holding a worker while it has one.
    constexpr int kClients = 40;
    std::vector<std::unique_ptr<test::LoopbackClient>> clients;
    for (int i = 0; i < kClients; ++i)
      clients.push_back(std::make_unique<test::LoopbackClient>(serve.Port()));
    std::vector<bool> refused(kClients, false);
    int refusals = 0;
    const bool sorted = WaitFor(
        [&] {
          for (int i = 0; i < kClients; ++i) {
            std::string ignored;
            if (!refused[i] && !clients[i]->ReadAvailable(ignored)) {
              refused[i] = true;
              ++refusals;
            }
          }
          // A worker that serves a connection holds three descriptors; the
          // listener's two spares may meanwhile have gone to workers.
          const int held = (DescriptorsOf(pid) - idle_descriptors + 2) / 3;
          return refusals + held == kClients;
        },
        15000);
    serve.Process().Poll();
    ASSERT_TRUE(sorted) << round << ": " << refusals << " refused, " << DescriptorsOf(pid)
                        << " descriptors\n"
                        << serve.Process().Errors();
    EXPECT_GT(refusals, 0) << round;
    EXPECT_LT(refusals, kClients) << round << serve.Process().Errors();
    clients.clear();
    EXPECT_TRUE(WaitFor([&] { return DescriptorsOf(pid) == idle_descriptors; }, 10000))
        << round << ": " << DescriptorsOf(pid) << " descriptors, " << idle_descriptors << " before";
    EXPECT_TRUE(Has(Curl(serve.Port(), "/"), "<p>start</p>")) << round;
  }
  EXPECT_TRUE(serve.Stop(SIGTERM)) << serve.Process().Errors();
}

// A server left without a single free descriptor still takes waiting
// connections off its queue and refuses them at once (rather than leaving
// them there and spinning on them), and serves again when descriptors are
// back.
TEST_F(DescriptorPressure, RefusesWithNoDescriptorLeft) {
  Served& serve = *serve_;
  const int pid = pid_;
  const auto set_limit = [pid](int soft) {
    return test::RunPumping({"prlimit", "--pid", std::to_string(pid),
                             "--nofile=" + std::to_string(soft) + ":48"})
               .exit_code == 0;
  };
  // Every number below the limit is taken.
  ASSERT_TRUE(set_limit(LowestFreeDescriptorOf(pid)));
  for (int i = 0; i < 3; ++i) {
    test::LoopbackClient client(serve.Port());
    std::string ignored;
    EXPECT_TRUE(WaitFor([&] { return !client.ReadAvailable(ignored); }, 5000)) << i;
  }
  ASSERT_TRUE(set_limit(48));
  EXPECT_TRUE(Has(Curl(serve.Port(), "/"), "<p>start</p>"));
  EXPECT_TRUE(serve.Stop(SIGTERM)) << serve.Process().Errors();
}

}  // namespace
}  // namespace korvi
