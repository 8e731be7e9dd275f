// The answering side of the worker thread over real connections: actions
// and their events, the exception text, Active, built-in answers to
// requests with a query, and files going out whole.
#include "korvi/server/korvi_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
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

}  // namespace
}  // namespace korvi
