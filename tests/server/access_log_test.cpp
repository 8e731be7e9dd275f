// The access log: Common Log Format lines, the file that survives rotation,
// and the lines of real answers (an action's in a server of this process; a
// file and an error page from korvi-serve --access-log, which reopens its
// file on SIGHUP).
#include "korvi/server/access_log.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "korvi/host/application.h"
#include "korvi/host/exceptions.h"
#include "korvi/server/korvi.h"
#include "korvi/server/korvi_thread.h"
#include "korvi/web/action_item.h"
#include "korvi/web/korvi_response.h"
#include "tests/support/child_process.h"
#include "tests/support/curl.h"
#include "tests/support/pump.h"
#include "tests/support/served.h"
#include "tests/support/temp_dir.h"

namespace korvi {
namespace {

using test::ReadFile;
using test::TempDir;

// The date field of access log lines, as the log writes it.
const std::regex kLogDate(
    R"(\[\d\d/(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)/\d{4}:\d\d:\d\d:\d\d [+-]\d{4}\])");

// `log` with the date field of every line checked and replaced by "[date]"
// (a line without a well-formed date keeps it, and then never matches).
std::string WithoutDates(const std::string& log) {
  return std::regex_replace(log, kLogDate, "[date]");
}

// The line expected for a request from 127.0.0.1 answered with `answer`:
// the bytes logged are those of its body ("-" for none).
std::string Expected(const std::string& request_line, int status, const std::string& answer) {
  const std::size_t body = answer.size() - (answer.find("\r\n\r\n") + 4);
  return "127.0.0.1 - - [date] \"" + request_line + "\" " + std::to_string(status) + " " +
         (body > 0 ? std::to_string(body) : "-") + "\n";
}

TEST(AccessLogFormat, WritesCommonLogFormatLines) {
  struct Case {
    TAccessEntry entry;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{"127.0.0.1", "GET /a.htm HTTP/1.0", 200, 1043, 1796702709, 3600},
       "127.0.0.1 - - [08/Dec/2026:05:05:09 +0100] \"GET /a.htm HTTP/1.0\" 200 1043\n"},
      // The local date lies in the year before the UTC one.
      {{"10.0.0.2", "HEAD / HTTP/1.1", 404, 7, 1798765200, -12600},
       "10.0.0.2 - - [31/Dec/2026:21:30:00 -0330] \"HEAD / HTTP/1.1\" 404 7\n"},
      // Nothing can end the quoted field early or start a line of its own.
      {{"::1", "GET /\"a\\b\x01\xe9\x7f HTTP/1.0", 400, 1, 0, 0},
       "::1 - - [01/Jan/1970:00:00:00 +0000] \"GET /\\\"a\\\\b\\x01\\xe9\\x7f HTTP/1.0\" 400 1\n"},
      // No request line arrived, no status went out, no byte was sent.
      {{"", "", 0, 0, 0, 0}, "- - - [01/Jan/1970:00:00:00 +0000] \"-\" - -\n"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(FormatAccessLine(c.entry), c.line);
}

// Lines are appended to what the file holds; after the file was moved away
// and Reopen asked for, they go to a new file of the same name; when that
// cannot be made, into the moved file still.
TEST(AccessLogFile, AppendsAndReopensForRotation) {
  TempDir dir;
  const std::string path = dir.Write("logs/access.log", "old\n");
  {
    TAccessLog log(path);
    log.Write("one\n");
    ASSERT_EQ(std::rename(path.c_str(), dir.File("logs/access.log.1").c_str()), 0);
    log.Write("two\n");
    log.Reopen();
    log.Write("three\n");
    EXPECT_EQ(ReadFile(dir.File("logs/access.log.1")), "old\none\ntwo\n");
    EXPECT_EQ(ReadFile(path), "three\n");

    ASSERT_EQ(std::rename(dir.File("logs").c_str(), dir.File("moved").c_str()), 0);
    std::string shown;
    Application().OnMessageBox = [&shown](const std::string& text, const std::string& caption) {
      shown += caption + ": " + text + "\n";
    };
    log.Reopen();
    log.Write("four\n");
    Application().OnMessageBox = nullptr;
    EXPECT_EQ(ReadFile(dir.File("moved/access.log")), "three\nfour\n");
    EXPECT_EQ(shown, "Access log: Cannot open file \"" + path +
                         "\". No such file or directory; the lines go on into the file open "
                         "before.\n");
  }
  EXPECT_THROW(TAccessLog(dir.File("missing/access.log")), EFOpenError);
}

// An action's answer is logged with the status its status line carries and
// the bytes of its body.
TEST(AccessLogLines, ActionAnswerOfAServer) {
  TempDir dir;
  TAccessLog log(dir.File("access.log"));
  TKorvi server(nullptr);
  server.SetRoot(dir.Path());
  server.SetPort(0);
  TKActionItem* item = server.Actions()->Add();
  item->SetPathInfo("/gone");
  item->SetOnAction([](TObject*, TKorviRequest*, TKorviResponse* response, bool& handled) {
    response->SetStatusCode(404);
    response->SetContent("gone");
    handled = true;
  });
  server.OnResponseDone = [&log](int, std::int64_t bytes) {
    log.Write(FormatAccessLine(AccessEntryOf(*TKorviThread::Current(), bytes)));
  };
  server.StartListening();

  const std::string answer = test::Curl(server.ServerPort(), "/gone?x=%22");
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 404 Not Found\r\n")) << answer;
  ASSERT_TRUE(test::PumpUntil([&] { return server.ThreadCount() == 0; }));
  EXPECT_EQ(WithoutDates(ReadFile(dir.File("access.log"))),
            Expected("GET /gone?x=%22 HTTP/1.1", 404, answer));
}

class ServeAccessLog : public ::testing::Test {
 protected:
  ServeAccessLog() { dir_.Write("site/index.htm", "<p>start</p>"); }

  // Asks the server for `path` and waits until its standard output logged
  // the answer (which is in the access log by then); returns the answer.
  std::string Ask(test::Served& serve, const std::string& path, const std::string& method = "GET") {
    const std::string answer = test::Curl(serve.Port(), path, method);
    EXPECT_TRUE(serve.Process().WaitForOutput("127.0.0.1 " + method + " " + path + " ", 10000))
        << serve.Process().Output();
    return answer;
  }

  TempDir dir_;
};

// A file, its HEAD (no body: "-") and an error page are logged with the
// bytes of their bodies; after the file was moved away, SIGHUP makes the
// next lines go to a new file of that name.
TEST_F(ServeAccessLog, FileAndErrorPageLinesAndRotation) {
  const std::string log = dir_.File("access.log");
  test::Served serve({"--root", dir_.File("site"), "--access-log", log, "--http10"});
  ASSERT_TRUE(serve.Listening()) << serve.Process().Errors();

  const std::string file = Ask(serve, "/index.htm");
  EXPECT_TRUE(file.ends_with("\r\n\r\n<p>start</p>")) << file;
  const std::string head = Ask(serve, "/index.htm", "HEAD");
  const std::string error = Ask(serve, "/missing.htm");
  EXPECT_TRUE(error.starts_with("HTTP/1.0 404 Not Found\r\n")) << error;
  EXPECT_EQ(WithoutDates(ReadFile(log)), Expected("GET /index.htm HTTP/1.1", 200, file) +
                                             Expected("HEAD /index.htm HTTP/1.1", 200, head) +
                                             Expected("GET /missing.htm HTTP/1.1", 404, error));

  ASSERT_EQ(std::rename(log.c_str(), (log + ".1").c_str()), 0);
  serve.Process().Signal(SIGHUP);
  // The signal is taken asynchronously: ask until an answer is logged after it.
  for (int i = 0; i < 20 && ReadFile(log).empty(); ++i)
    Ask(serve, "/r" + std::to_string(i));
  const std::string fresh = WithoutDates(ReadFile(log));
  EXPECT_TRUE(std::regex_match(
      fresh, std::regex(R"(127\.0\.0\.1 - - \[date\] "GET /r\d+ HTTP/1\.1" 404 \d+\n)")))
      << fresh;
  EXPECT_TRUE(WithoutDates(ReadFile(log + ".1"))
                  .starts_with(Expected("GET /index.htm HTTP/1.1", 200, file)));
  EXPECT_TRUE(serve.Stop(SIGTERM)) << serve.Process().Errors();
}

// A log file that cannot be opened stops the program before it listens.
TEST_F(ServeAccessLog, UnopenableFileIsReported) {
  test::ChildProcess run({test::BuiltProgram("korvi-serve"), "--root", dir_.File("site"),
                          "--access-log", dir_.File("missing/access.log"), "--port", "0"});
  ASSERT_TRUE(run.WaitForExit(10000));
  EXPECT_EQ(run.ExitCode(), 1);
  EXPECT_EQ(run.Errors(), "korvi-serve: Cannot open file \"" + dir_.File("missing/access.log") +
                              "\". No such file or directory\n");
  EXPECT_EQ(run.Output(), "");
}

}  // namespace
}  // namespace korvi
