// End to end with the clients people use: curl (failing on error statuses,
// rate-limited, half-closing), raw sockets that half-close or send more than
// the request, and links followed from a listing, against a real TKorvi over
// a temporary document tree.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "korvi/server/korvi.h"
#include "korvi/server/korvi_thread.h"
#include "korvi/socket/ssl_ksocket.h"
#include "korvi/web/action_item.h"
#include "korvi/web/korvi_response.h"
#include "tests/server/response_sizes.h"
#include "tests/support/curl.h"
#include "tests/support/loopback_client.h"
#include "tests/support/pump.h"
#include "tests/support/temp_dir.h"

namespace korvi {
namespace {

using test::ChildResult;
using test::LoopbackClient;
using test::PumpUntil;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class ClientsEndToEnd : public ::testing::Test {
 protected:
  ClientsEndToEnd() {
    dir_.Write("www/page.htm", "<p>page</p>");
    dir_.Write("www/.secret", "hidden");
    server_.SetRoot(dir_.File("www"));
    server_.SetPort(test::FreePort());
  }

  int Port() const { return server_.ServerPort(); }

  // Keeps the system from buffering much of an answer ahead of a slow
  // client, so that the answer's pace is the client's.
  void SmallSendBuffers() {
    server_.OnBeforeProcess = [](TObject*, TKorviRequest*, TKorviResponse*, TKorviThread* thread) {
      const int size = 64 * 1024;
      ::setsockopt(thread->Socket->Handle(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    };
  }

  bool AllThreadsGone() {
    return PumpUntil([&] { return server_.ThreadCount() == 0; }, 10000);
  }

  test::TempDir dir_;
  test::ResponseSizes sizes_;
  TKorvi server_{nullptr};  // last: destroyed, with its threads, first
};

// curl -f (and any client that reads the status line) tells a missing file
// and a forbidden one from a page.
TEST_F(ClientsEndToEnd, CurlFailOnErrorSeesTheErrorStatus) {
  server_.StartListening();
  struct Case {
    const char* path;
    int exit_code;  // 22: curl -f met an error status
    const char* status;
  };
  for (const Case& c :
       {Case{"/page.htm", 0, ""}, Case{"/missing.htm", 22, "404"}, Case{"/.secret", 22, "403"}}) {
    const ChildResult run = test::RunCurl(Port(), c.path, {"-f"});
    EXPECT_EQ(run.exit_code, c.exit_code) << c.path << "\n" << run.errors;
    EXPECT_TRUE(Has(run.errors, c.status)) << c.path << "\n" << run.errors;
  }
}

// A form posted to a plain file that no action takes is answered at once
// with the 405 page (before, the client waited for the life timer).
TEST_F(ClientsEndToEnd, PostToAFileGetsMethodNotAllowed) {
  server_.StartListening();
  const ChildResult run = test::RunCurl(Port(), "/page.htm", {"-i", "--data", "a=1"});
  EXPECT_EQ(run.exit_code, 0) << run.errors;
  EXPECT_TRUE(run.output.starts_with("HTTP/1.0 405 Method Not Allowed\r\n")) << run.output;
  EXPECT_TRUE(Has(run.output, "\r\nAllow: GET, HEAD\r\n")) << run.output;
  EXPECT_TRUE(Has(run.output, "ERROR : 405 Method Not Allowed</FONT>")) << run.output;
}

// The moment `moment` as the server's header dates write it: Central
// Standard Time (UTC-6), English names.
std::string CstText(std::time_t moment) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t shifted = moment - 6 * 3600;
  std::tm utc{};
  ::gmtime_r(&shifted, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%s, %d %s %04d %02d:%02d:%02d CST", kDays[utc.tm_wday],
                utc.tm_mday, kMonths[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
                utc.tm_sec);
  return text;
}

// The value of header `name` in a raw answer ("" when absent).
std::string HeaderValue(const std::string& answer, const std::string& name) {
  const std::size_t at = answer.find("\r\n" + name + ": ");
  if (at == std::string::npos) return {};
  const std::size_t value = at + name.size() + 4;
  return answer.substr(value, answer.find("\r\n", value) - value);
}

// "CST" dates are true: Last-Modified is the file's modification time and
// Date the time of the answer, both in UTC-6.
TEST_F(ClientsEndToEnd, HeaderDatesAreCentralStandardTime) {
  const std::string file = dir_.Write("www/dated.htm", "dated");
  const std::time_t modified = 1614834367;  // 2021-03-04 05:06:07 UTC
  const timespec times[2] = {{modified, 0}, {modified, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  server_.StartListening();
  const std::time_t before = std::time(nullptr);
  const std::string answer = test::Curl(Port(), "/dated.htm");
  const std::time_t after = std::time(nullptr);
  EXPECT_EQ(HeaderValue(answer, "Last-Modified"), "Wed, 3 Mar 2021 23:06:07 CST");
  EXPECT_EQ(HeaderValue(answer, "Last-Modified"), CstText(modified));
  const std::string date = HeaderValue(answer, "Date");
  bool matches = false;
  for (std::time_t t = before; t <= after; ++t)
    matches = matches || date == CstText(t);
  EXPECT_TRUE(matches) << date << " not between " << CstText(before) << " and " << CstText(after);
}

// Entries whose names hold "#", "%", "+" or UTF-8 bytes are reached
// through their own listing links (which a browser and curl send as they
// stand), under their names as shown; the listing says it is UTF-8.
TEST_F(ClientsEndToEnd, ListingLinksReachEveryEntry) {
  const std::vector<std::string> names = {"hash#1.txt", "pct%41.txt", "a+b.txt",
                                          "\xC3\xA9t\xC3\xA9 doc.txt", "q?.txt"};
  for (const std::string& name : names)
    dir_.Write("www/sub#dir/" + name, "content of " + name);
  server_.StartListening();
  const std::string listing = test::Curl(Port(), "/sub%23dir/");
  EXPECT_TRUE(Has(listing, "\r\nContent-type: text/html; charset=utf-8\r\n")) << listing;
  for (const std::string& name : names) {
    const std::size_t shown = listing.find("\">" + name + "</a>");
    ASSERT_NE(shown, std::string::npos) << name << "\n" << listing;
    const std::size_t href = listing.rfind("<a href=\"", shown) + 9;
    const std::string link = listing.substr(href, shown - href);
    const ChildResult run = test::RunCurl(Port(), link, {"-f"});
    EXPECT_EQ(run.exit_code, 0) << name << " via " << link << "\n" << run.errors;
    EXPECT_EQ(run.output, "content of " + name) << name << " via " << link;
  }
}

// `size` bytes of a pattern that shows where a cut or a shift happened.
std::string Pattern(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    data[i] = static_cast<char>('a' + (i * 7 + i / 4093) % 26);
  return data;
}

// The body of a raw answer (what follows the empty line), or "" without one.
std::string BodyOf(const std::string& answer) {
  const std::size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

// A client that ends its sending direction right after the request (as
// some HTTP/1.0 clients and scripts do) gets answers of 300 KB and 20 MB
// whole, not just their first chunks.
TEST_F(ClientsEndToEnd, HalfClosingClientGetsLargeAnswersWhole) {
  const std::string small = Pattern(300 * 1024);
  const std::string large = Pattern(20 * 1024 * 1024);
  dir_.Write("www/small.bin", small);
  dir_.Write("www/large.bin", large);
  server_.StartListening();
  for (const auto& [path, content] : {std::pair{"/small.bin", &small}, {"/large.bin", &large}}) {
    LoopbackClient client(Port());
    client.Send(std::string("GET ") + path + " HTTP/1.0\r\n\r\n");
    client.ShutdownWrite();
    const std::string body = BodyOf(client.ReadAll(30000));
    EXPECT_TRUE(client.PeerClosed()) << path;
    ASSERT_EQ(body.size(), content->size()) << path;
    EXPECT_TRUE(body == *content) << path;
  }
  EXPECT_TRUE(AllThreadsGone());
}

// Bytes the worker never asked for, arriving after the answer has been
// handed to the system, do not make the system reset the connection and
// drop the part of the answer the client has not read yet.
TEST_F(ClientsEndToEnd, BytesSentAfterTheRequestDoNotCostTheAnswer) {
  const std::string content = Pattern(300 * 1024);
  dir_.Write("www/small.bin", content);
  server_.StartListening();
  LoopbackClient client(Port());
  client.Send("GET /small.bin HTTP/1.0\r\n\r\n");
  // The server has handed over the whole answer and its connection has
  // left the established state, while the client has read nothing.
  ASSERT_TRUE(PumpUntil([&] { return test::UnreadAtServer(Port()) == -1; }, 10000));
  client.Send("GET /small.bin HTTP/1.0\r\n\r\n");
  const std::string body = BodyOf(client.ReadAll(10000));
  ASSERT_EQ(body.size(), content.size());
  EXPECT_TRUE(body == content);
  client.Close();
  EXPECT_TRUE(AllThreadsGone());
}

// In the HTTP/1.1 profile a client that says it closes sends nothing after
// its request: with nothing more received, the worker ends as soon as the
// system has the whole answer, well before lingering would let it (2 s),
// and the client still reads all of it. Bytes that followed the request
// keep the worker lingering until the client closes.
TEST_F(ClientsEndToEnd, ClientThatSaysItClosesIsNotWaitedFor) {
  server_.HTTP11 = true;
  server_.StartListening();
  for (const bool more : {false, true}) {
    SCOPED_TRACE(more);
    LoopbackClient client(Port());
    client.Send(std::string("GET /page.htm HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n") +
                (more ? "X" : ""));
    EXPECT_EQ(BodyOf(client.ReadAll(10000)), "<p>page</p>");
    if (more) {
      EXPECT_EQ(server_.ThreadCount(), 1);
    } else {
      EXPECT_TRUE(PumpUntil([&] { return server_.ThreadCount() == 0; }, 1500));
    }
    client.Close();
    EXPECT_TRUE(AllThreadsGone());
  }
}

// A rate-limited download that takes longer than Timeout arrives whole: the
// life timer ends a connection only when the client took nothing for that
// long. OnResponseDone reports every byte announced. curl's own limit keeps
// only a rough average, so a reader that takes curl's output at 1 MB/s sets
// the pace: 8 MB take about 8 s, past the 6 s Timeout.
TEST_F(ClientsEndToEnd, SlowDownloadOutlastsTheTimeout) {
  const std::string content = Pattern(8 * 1024 * 1024);
  dir_.Write("www/slow.bin", content);
  const std::string saved = dir_.File("saved.bin");
  server_.Timeout = 6;
  sizes_.Attach(server_);
  SmallSendBuffers();
  server_.StartListening();
  const char* const slow_reader =
      "import subprocess, sys, time\n"
      "curl = subprocess.Popen(['curl', '-sS', '--max-time', '60', '--limit-rate', '1M',\n"
      "                         sys.argv[1]], stdout=subprocess.PIPE)\n"
      "start, got = time.monotonic(), 0\n"
      "with open(sys.argv[2], 'wb') as out:\n"
      "    while chunk := curl.stdout.read(32768):\n"
      "        out.write(chunk)\n"
      "        got += len(chunk)\n"
      "        time.sleep(max(0.0, got / 1048576 - (time.monotonic() - start)))\n"
      "sys.exit(curl.wait())\n";
  const ChildResult run =
      test::RunPumping({"python3", "-c", slow_reader,
                        "http://127.0.0.1:" + std::to_string(Port()) + "/slow.bin", saved},
                       60000);
  EXPECT_EQ(run.exit_code, 0) << run.errors;
  const std::string received = test::ReadFile(saved);
  ASSERT_EQ(received.size(), content.size());
  EXPECT_TRUE(received == content);
  ASSERT_TRUE(AllThreadsGone());
  EXPECT_EQ(sizes_.Sent(), sizes_.Announced());
  EXPECT_EQ(sizes_.Sent().size(), 1u);
}

// A client that leaves in the middle of a download: OnResponseDone still
// comes, once, with the bytes the system took (at least what the client
// read, fewer than announced).
TEST_F(ClientsEndToEnd, CutDownloadReportsTheBytesActuallySent) {
  dir_.Write("www/large.bin", Pattern(20 * 1024 * 1024));
  sizes_.Attach(server_);
  SmallSendBuffers();
  server_.StartListening();
  std::string part;
  {
    LoopbackClient client(Port());
    client.Send("GET /large.bin HTTP/1.0\r\n\r\n");
    // Reads no more than 1 MiB: a fast server keeps the socket readable, and
    // reading on to the end would leave no download to cut.
    const size_t enough = 1024 * 1024;
    PumpUntil([&] { return !client.ReadAvailable(part, enough) || part.size() >= enough; });
    client.Reset();
  }
  ASSERT_TRUE(AllThreadsGone());
  const std::vector<std::int64_t> announced = sizes_.Announced();
  const std::vector<std::int64_t> sent = sizes_.Sent();
  ASSERT_EQ(announced.size(), 1u);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_GE(sent[0], static_cast<std::int64_t>(part.size()));
  EXPECT_LT(sent[0], announced[0]);
}

// A body sent in chunks is refused with the 411 page before any action
// sees the request (it would see no fields).
TEST_F(ClientsEndToEnd, ChunkedBodyGetsLengthRequired) {
  std::atomic<int> actions{0};
  TKActionItem* item = server_.Actions()->Add();
  item->SetPathInfo("/form");
  item->SetOnAction([&](TObject*, TKorviRequest*, TKorviResponse* response, bool& handled) {
    ++actions;
    response->SetContent("taken");
    handled = true;
  });
  const std::string body = dir_.Write("body.txt", "a=1&b=" + std::string(100000, 'x'));
  server_.StartListening();
  const ChildResult run = test::RunCurl(
      Port(), "/form", {"-i", "-H", "Transfer-Encoding: chunked", "--data-binary", "@" + body});
  EXPECT_EQ(run.exit_code, 0) << run.errors;
  EXPECT_TRUE(run.output.starts_with("HTTP/1.0 411 Length Required\r\n")) << run.output;
  EXPECT_TRUE(Has(run.output, "ERROR : 411 Length Required</FONT>")) << run.output;
  EXPECT_EQ(actions, 0);
}

// An action that writes into a pipe nobody reads gets EPIPE; the signal
// does not end the process.
TEST_F(ClientsEndToEnd, ActionWritingIntoABrokenPipeGetsAnError) {
  std::atomic<int> error{0};
  TKActionItem* item = server_.Actions()->Add();
  item->SetPathInfo("/pipe");
  item->SetOnAction([&](TObject*, TKorviRequest*, TKorviResponse* response, bool& handled) {
    int ends[2];
    if (::pipe(ends) == 0) {
      ::close(ends[0]);
      error = ::write(ends[1], "x", 1) < 0 ? errno : 0;
      ::close(ends[1]);
    }
    response->SetContent("written");
    handled = true;
  });
  server_.StartListening();
  const ChildResult run = test::RunCurl(Port(), "/pipe", {});
  EXPECT_EQ(run.output, "written") << run.errors;
  EXPECT_EQ(error, EPIPE);
}

}  // namespace
}  // namespace korvi
