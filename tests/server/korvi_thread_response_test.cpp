// The answering side of the worker thread over real connections: actions
// and their events, the exception text, Active, built-in answers to
// requests with a query, and files going out whole.
#include "korvi/server/korvi_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "korvi/host/exceptions.h"
#include "korvi/server/korvi.h"
#include "korvi/web/action_item.h"
#include "korvi/web/korvi_response.h"
#include "tests/support/loopback_client.h"
#include "tests/support/pump.h"
#include "tests/support/temp_dir.h"

namespace korvi {
namespace {

using test::LoopbackClient;

class ResponseTest : public ::testing::Test {
 protected:
  ResponseTest() {
    root_.Write("index.htm", "<p>home</p>");
    server_.SetRoot(root_.Path());
    server_.SetPort(test::FreePort());
    server_.OnBeforeProcess = [this](TObject*, TKorviRequest*, TKorviResponse*, TKorviThread*) {
      Note("before");
    };
    server_.OnAfterProcess = [this](TObject*, TKorviRequest*, TKorviResponse*, TKorviThread*) {
      Note("after");
    };
    server_.OnResponse = [this](int, std::int64_t bytes) {
      Note("response " + std::to_string(bytes));
    };
    server_.OnResponseDone = [this](int, std::int64_t bytes) {
      Note("done " + std::to_string(bytes));
    };
  }

  void Note(const std::string& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
  }

  std::vector<std::string> Events() {
    // The last event may follow the answer's bytes: wait until the thread is gone.
    EXPECT_TRUE(test::PumpUntil([&] { return server_.ThreadCount() == 0; }));
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

  // Adds an action for `path` whose handler runs `body`.
  void AddAction(const std::string& path, std::function<void(TKorviResponse&, bool&)> body) {
    TKActionItem* item = server_.Actions()->Add();
    item->SetPathInfo(path);
    item->SetOnAction([body](TObject*, TKorviRequest*, TKorviResponse* response, bool& handled) {
      body(*response, handled);
    });
  }

  std::string Exchange(const std::string& request) {
    LoopbackClient client(server_.ServerPort());
    client.Send(request);
    return client.ReadAll();
  }

  test::TempDir root_;
  std::mutex mutex_;
  std::vector<std::string> events_;
  TKorvi server_{nullptr};  // last: destroyed (with its threads) first
};

// An action's response goes out as SendResponse built it, framed by the
// process and response events with its full size.
TEST_F(ResponseTest, ActionAnswersTheRequest) {
  AddAction("/hello", [](TKorviResponse& response, bool& handled) {
    response.SetContent("hi there");
    handled = true;
  });
  server_.StartListening();
  const std::string answer = Exchange("GET /hello/x HTTP/1.0\r\n\r\n");
  EXPECT_EQ(answer.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << answer;
  EXPECT_TRUE(answer.ends_with("\r\n\r\nhi there")) << answer;
  const std::string size = std::to_string(answer.size());
  const std::vector<std::string> expected = {"before", "after", "response " + size, "done " + size};
  EXPECT_EQ(Events(), expected);
}

// An action that raises leaves its message as the content.
TEST_F(ResponseTest, FailingActionAnswersWithItsMessage) {
  AddAction("/boom", [](TKorviResponse&, bool&) { throw Exception("out of cheese"); });
  server_.StartListening();
  const std::string answer = Exchange("GET /boom HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(answer.ends_with("\r\n\r\nEXCEPTION: out of cheese")) << answer;
}

// A handler that sends its response itself but leaves the flag false still
// has that response go out, and the connection ends; an empty one sends
// nothing and ends it too.
TEST_F(ResponseTest, ResponseSentWithoutTheFlagGoesOut) {
  AddAction("/go", [](TKorviResponse& response, bool&) { response.SendRedirect("/elsewhere"); });
  AddAction("/quiet", [](TKorviResponse& response, bool&) { response.SendResponse(); });
  server_.StartListening();
  LoopbackClient redirected(server_.ServerPort());
  redirected.Send("GET /go HTTP/1.0\r\n\r\n");
  const std::string answer = redirected.ReadAll();
  EXPECT_TRUE(redirected.PeerClosed());
  EXPECT_EQ(answer.rfind("HTTP/1.0 302 Moved Temporarily\r\nLocation: /elsewhere\r\n", 0), 0u)
      << answer;
  EXPECT_TRUE(answer.ends_with("\r\n\r\nmoving you over to new site ...")) << answer;

  LoopbackClient quiet(server_.ServerPort());
  quiet.Send("GET /quiet HTTP/1.0\r\n\r\n");
  EXPECT_EQ(quiet.ReadAll(), "");
  EXPECT_TRUE(quiet.PeerClosed());
}

// While inactive, actions still answer and everything else gets the 503 page.
TEST_F(ResponseTest, InactiveServerAnswersOnlyThroughActions) {
  AddAction("/live", [](TKorviResponse& response, bool& handled) {
    response.SetContent("alive");
    handled = true;
  });
  server_.SetActive(false);
  server_.StartListening();
  EXPECT_NE(Exchange("GET /live HTTP/1.0\r\n\r\n").find("alive"), std::string::npos);
  const std::string answer = Exchange("GET /index.htm HTTP/1.0\r\n\r\n");
  EXPECT_NE(answer.find("ERROR : 503"), std::string::npos) << answer;
  EXPECT_EQ(answer.find("home"), std::string::npos);
}

// A built-in refusal of a request with a query and a body sends the error
// page, never the request's own body back.
TEST_F(ResponseTest, RequestBodyIsNotEchoedWithAnErrorPage) {
  server_.StartListening();
  const std::string answer =
      Exchange("PUT /index.htm?v=1 HTTP/1.0\r\nContent-Length: 11\r\n\r\nsecret-body");
  EXPECT_NE(answer.find("ERROR : 501"), std::string::npos) << answer;
  EXPECT_EQ(answer.find("secret-body"), std::string::npos) << answer;
}

// A file goes out byte for byte after its header text, zero bytes included;
// HEAD gives the same headers and no file bytes.
TEST_F(ResponseTest, FileGoesOutWhole) {
  std::string content;
  for (int i = 0; i < 100000; ++i)
    content += static_cast<char>(i % 251);
  root_.Write("data.bin", content);
  server_.StartListening();
  const std::string answer = Exchange("GET /data.bin HTTP/1.0\r\n\r\n");
  const size_t body = answer.find("\r\n\r\n") + 4;
  ASSERT_NE(body, std::string::npos + 4);
  EXPECT_EQ(answer.substr(body), content);
  EXPECT_NE(answer.find("Content-Length: 100000\r\n"), std::string::npos);
  const std::string size = std::to_string(answer.size());
  const std::vector<std::string> expected = {"before", "after", "response " + size, "done " + size};
  EXPECT_EQ(Events(), expected);

  const std::string head = Exchange("HEAD /data.bin HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(head.ends_with("\r\n\r\n")) << head;
  EXPECT_NE(head.find("Content-Length: 100000\r\n"), std::string::npos);
}

// The answer's body: what follows the header text ("" when there is none).
std::string BodyOf(const std::string& answer) {
  const size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

// Reads an answer at a steady slow pace through a small receive buffer:
// 4 KB every 30 ms (about 130 KB/s) until the other side closes or goes
// quiet for 20 s. The system then reports room in a large send buffer only
// every few seconds.
std::string ReadSlowly(int port, const std::string& request) {
  LoopbackClient client(port, 4096);
  client.Send(request);
  std::string answer;
  for (;;) {
    const size_t before = answer.size();
    client.ReadBlocking(answer, before + 4096, 20000);
    if (answer.size() == before) return answer;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
}

// While a file goes out, only a client that takes nothing for the whole
// Timeout loses its connection, and within a second of that: one reading
// slowly through a 4 KB receive buffer, for well over three times Timeout,
// gets a file larger than the socket buffers whole, while one that reads
// nothing is cut between Timeout and Timeout + 1 s after its answer began.
TEST_F(ResponseTest, OnlyAClientThatTakesNothingIsCut) {
  using Clock = std::chrono::steady_clock;
  const std::string file(8500 * 1024, 'f');
  root_.Write("slow.bin", file);
  root_.Write("stalled.bin", file);
  server_.Timeout = 6;
  std::map<std::string, Clock::time_point> began;
  std::map<std::string, Clock::time_point> ended;
  const auto stamp = [this](std::map<std::string, Clock::time_point>& times) {
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    times[TKorviThread::Current()->URL] = now;
  };
  server_.OnResponse = [&](int, std::int64_t) { stamp(began); };
  server_.OnResponseDone = [&](int, std::int64_t) { stamp(ended); };
  server_.StartListening();

  LoopbackClient stalled(server_.ServerPort());
  stalled.Send("GET /stalled.bin HTTP/1.0\r\n\r\n");
  std::string slow_answer;
  Clock::duration slow_time{};
  std::atomic<bool> slow_done{false};
  std::thread slow([&] {
    const auto start = Clock::now();
    slow_answer = ReadSlowly(server_.ServerPort(), "GET /slow.bin HTTP/1.0\r\n\r\n");
    slow_time = Clock::now() - start;
    slow_done = true;
  });
  const bool finished = test::PumpUntil([&] { return slow_done.load(); }, 100000);
  slow.join();
  ASSERT_TRUE(finished);
  EXPECT_TRUE(BodyOf(slow_answer) == file) << slow_answer.size();
  ASSERT_TRUE(test::PumpUntil([&] { return server_.ThreadCount() == 0; }));
  EXPECT_GT(slow_time, std::chrono::seconds(18));
  std::lock_guard<std::mutex> lock(mutex_);
  ASSERT_EQ(ended.count("/stalled.bin"), 1u);
  const auto stall = ended["/stalled.bin"] - began["/stalled.bin"];
  EXPECT_GE(stall, std::chrono::seconds(6));
  EXPECT_LE(stall, std::chrono::seconds(7));
}

// The file is closed as soon as the system took the whole answer, not when
// the connection ends: here the client keeps it open after reading.
TEST_F(ResponseTest, FileIsClosedWhileTheConnectionLingers) {
  root_.Write("page.htm", std::string(50000, 'p'));
  const std::string path = root_.Path() + "/page.htm";
  server_.StartListening();
  LoopbackClient client(server_.ServerPort());
  client.Send("GET /page.htm HTTP/1.0\r\n\r\n");
  std::string answer;
  ASSERT_TRUE(test::PumpUntil([&] {
    client.ReadAvailable(answer);
    return BodyOf(answer).size() == 50000;
  }));
  EXPECT_TRUE(test::PumpUntil([&] { return test::DescriptorsOpenOn(path) == 0; }));
  EXPECT_EQ(server_.ThreadCount(), 1);  // still lingering
}

}  // namespace
}  // namespace korvi
