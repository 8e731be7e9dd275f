// End to end with the HTTP/1.1 profile on: persistent connections with curl,
// Python's http.client and raw pipelining clients, the idle limit, the cap on
// requests per connection, and idle connections closed to make room.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "korvi/server/korvi.h"
#include "korvi/server/korvi_thread.h"
#include "korvi/socket/ssl_ksocket.h"
#include "korvi/web/action_item.h"
#include "korvi/web/korvi_request.h"
#include "korvi/web/korvi_response.h"
#include "tests/support/child_process.h"
#include "tests/support/curl.h"
#include "tests/support/loopback_client.h"
#include "tests/support/pump.h"
#include "tests/support/temp_dir.h"

namespace korvi {
namespace {

using test::ChildResult;
using test::LoopbackClient;
using test::PumpUntil;

int Count(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

class KeepAliveEndToEnd : public ::testing::Test {
 protected:
  KeepAliveEndToEnd() {
    dir_.Write("www/page.htm", "<p>page</p>");
    server_.SetRoot(dir_.File("www"));
    server_.SetPort(test::FreePort());
    server_.HTTP11 = true;
    // Echoes the field "q" ("-" without one), and counts its requests.
    TKActionItem* action = server_.Actions()->Add();
    action->SetPathInfo("/echo");
    action->SetOnAction(
        [this](TObject*, TKorviRequest* request, TKorviResponse* response, bool& handled) {
          ++actions_;
          response->SetContent("q=" + request->GetFieldValue("q", "-"));
          handled = true;
        });
  }

  int Port() const { return server_.ServerPort(); }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(Port()) + path;
  }
  bool AllThreadsGone(int timeout_ms = 10000) {
    return PumpUntil([&] { return server_.ThreadCount() == 0; }, timeout_ms);
  }

  test::TempDir dir_;
  std::atomic<int> actions_{0};  // counted on the workers
  TKorvi server_{nullptr};       // last: destroyed, with its threads, first
};

// curl fetching three URLs in one command reuses its one connection.
TEST_F(KeepAliveEndToEnd, CurlReusesOneConnection) {
  server_.StartListening();
  const ChildResult run =
      test::RunCurl(Port(), "/missing.htm",
                    {"-o", "/dev/null", "-o", "/dev/null", "-o", "/dev/null", "-w",
                     "%{http_code} %{num_connects}\n", Url("/page.htm"), Url("/echo?q=1")});
  EXPECT_EQ(run.exit_code, 0) << run.errors;
  EXPECT_EQ(run.output, "200 1\n200 0\n404 0\n");
  EXPECT_EQ(server_.AcceptedConnections(), 1);
}

// Python's http.client makes 100 requests on one connection, actions, files
// and error pages mixed; each request sees only its own fields.
TEST_F(KeepAliveEndToEnd, PythonMakesAHundredRequestsOnOneConnection) {
  server_.StartListening();
  const char* const client =
      "import http.client, sys\n"
      "c = http.client.HTTPConnection('127.0.0.1', int(sys.argv[1]), timeout=10)\n"
      "cases = [('/echo?q=%d', 200, b'q=%d'), ('/page.htm', 200, b'<p>page</p>'),\n"
      "         ('/echo', 200, b'q=-'), ('/nothing.htm', 404, None)]\n"
      "for i in range(100):\n"
      "    path, status, body = cases[i % 4]\n"
      "    if '%d' in path: path, body = path % i, body % i\n"
      "    c.request('GET', path)\n"
      "    r = c.getresponse()\n"
      "    got = r.read()\n"
      "    if r.status != status or (body is not None and got != body) or r.version != 11:\n"
      "        sys.exit('request %d %s: %d %r' % (i, path, r.status, got))\n"
      "print('done')\n";
  const ChildResult run =
      test::RunPumping({"python3", "-c", client, std::to_string(Port())}, 60000);
  EXPECT_EQ(run.exit_code, 0) << run.errors;
  EXPECT_EQ(run.output, "done\n");
  EXPECT_EQ(server_.AcceptedConnections(), 1);
  EXPECT_EQ(actions_, 50);
}

// Pipelined requests are answered in order on the one connection (an empty
// line between them is passed over); an HTTP/1.0 client that asks to keep
// it is told so.
TEST_F(KeepAliveEndToEnd, PipelinedRequestsAreAnsweredInOrder) {
  server_.StartListening();
  LoopbackClient client(Port());
  client.Send(
      "GET /echo?q=a HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"
      "\r\nGET /page.htm HTTP/1.1\r\nHost: x\r\n\r\n"
      "GET /echo HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  const std::string answers = client.ReadAll();
  EXPECT_TRUE(client.PeerClosed());
  const size_t first = answers.find("q=a");
  const size_t second = answers.find("<p>page</p>");
  const size_t third = answers.find("q=-");
  EXPECT_LT(first, second);
  EXPECT_LT(second, third);
  EXPECT_NE(third, std::string::npos) << answers;
  EXPECT_EQ(Count(answers, "HTTP/1.1 200 OK\r\n"), 3) << answers;
  EXPECT_EQ(Count(answers, "Connection: keep-alive\r\n"), 1) << answers;
  EXPECT_EQ(Count(answers, "Connection: close\r\n"), 1) << answers;
  EXPECT_EQ(actions_, 2);
}

// A kept connection sends without Nagle's wait, so the end of an answer
// does not wait for the client to acknowledge what came before it; a
// connection that ends with its answer keeps the system's default.
TEST_F(KeepAliveEndToEnd, KeptConnectionSendsWithoutNaglesWait) {
  std::mutex lock;
  std::vector<int> no_delay;  // TCP_NODELAY as each request is processed
  server_.OnBeforeProcess = [&](TObject*, TKorviRequest*, TKorviResponse*, TKorviThread* thread) {
    int on = -1;
    socklen_t length = sizeof on;
    ::getsockopt(thread->Socket->Handle(), IPPROTO_TCP, TCP_NODELAY, &on, &length);
    const std::lock_guard guard(lock);
    no_delay.push_back(on != 0 ? 1 : 0);
  };
  server_.StartListening();
  struct Case {
    const char* requests;
    std::vector<int> expected;
  };
  for (const Case& c : {Case{"GET /echo HTTP/1.1\r\nHost: x\r\n\r\n"
                             "GET /echo HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
                             {1, 1}},
                        Case{"GET /echo HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", {0}},
                        Case{"GET /echo HTTP/1.0\r\n\r\n", {0}}}) {
    {
      const std::lock_guard guard(lock);
      no_delay.clear();
    }
    LoopbackClient client(Port());
    client.Send(c.requests);
    const std::string answers = client.ReadAll();
    EXPECT_TRUE(client.PeerClosed()) << c.requests;
    const std::lock_guard guard(lock);
    EXPECT_EQ(no_delay, c.expected) << c.requests << answers;
  }
}

// With SteerKeptConnections, a kept connection's worker is moved once onto
// the CPU its packets come in on, and is left free to run anywhere after.
TEST_F(KeepAliveEndToEnd, SteeredWorkerIsNotPinned) {
  server_.SteerKeptConnections = true;
  cpu_set_t allowed;  // the workers' CPUs, as the server's thread has them
  sched_getaffinity(0, sizeof allowed, &allowed);
  std::mutex lock;
  std::vector<std::string> seen;  // per request: incoming CPU known, mask as before
  server_.OnBeforeProcess = [&](TObject*, TKorviRequest*, TKorviResponse*, TKorviThread* thread) {
    cpu_set_t now;
    sched_getaffinity(0, sizeof now, &now);
    const std::lock_guard guard(lock);
    seen.push_back(std::to_string(thread->Socket->IncomingCpu() >= 0) + "/" +
                   std::to_string(CPU_EQUAL(&now, &allowed)));
  };
  server_.StartListening();
  LoopbackClient client(Port());
  client.Send(
      "GET /echo HTTP/1.1\r\nHost: x\r\n\r\n"
      "GET /echo HTTP/1.1\r\nHost: x\r\n\r\n"
      "GET /echo HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  client.ReadAll();
  EXPECT_TRUE(client.PeerClosed());
  const std::lock_guard guard(lock);
  EXPECT_EQ(seen, (std::vector<std::string>{"1/1", "1/1", "1/1"}));
}

// An answer an action wrote to the client itself has no length the server
// knows: the connection ends after it, and what was pipelined is not read.
TEST_F(KeepAliveEndToEnd, ActionWritingItselfEndsTheConnection) {
  TKActionItem* direct = server_.Actions()->Add();
  direct->SetPathInfo("/direct");
  direct->SetOnAction(
      [this](TObject*, TKorviRequest* request, TKorviResponse* response, bool& handled) {
        ++actions_;
        const std::string raw = "HTTP/1.1 200 OK\r\n\r\nraw";
        request->WriteClient(raw.data(), static_cast<int>(raw.size()));
        response->SetContent("x");
        handled = true;
      });
  server_.StartListening();
  LoopbackClient client(Port());
  client.Send(
      "GET /direct HTTP/1.1\r\nHost: x\r\n\r\n"
      "GET /direct HTTP/1.1\r\nHost: x\r\n\r\n");
  const std::string answers = client.ReadAll();
  EXPECT_TRUE(client.PeerClosed());
  EXPECT_EQ(Count(answers, "raw"), 1) << answers;
  EXPECT_EQ(actions_, 1);
}

// A kept connection waits KeepAliveTimeout for the next request; one serves
// at most MaxKeepAliveRequests, the last answer saying so.
TEST_F(KeepAliveEndToEnd, IdleLimitAndRequestCapEndTheConnection) {
  server_.KeepAliveTimeout = 1;
  server_.MaxKeepAliveRequests = 2;
  server_.StartListening();
  {
    LoopbackClient idle(Port());
    idle.Send("GET /page.htm HTTP/1.1\r\nHost: x\r\n\r\n");
    const std::string answer = idle.ReadAll(5000);
    EXPECT_TRUE(idle.PeerClosed());
    EXPECT_EQ(Count(answer, "<p>page</p>"), 1);
    EXPECT_EQ(Count(answer, "Connection: close"), 0);
  }
  LoopbackClient capped(Port());
  capped.Send(
      "GET /echo HTTP/1.1\r\nHost: x\r\n\r\n"
      "GET /echo HTTP/1.1\r\nHost: x\r\n\r\n"
      "GET /echo HTTP/1.1\r\nHost: x\r\n\r\n");
  const std::string answers = capped.ReadAll(5000);
  EXPECT_TRUE(capped.PeerClosed());
  EXPECT_EQ(Count(answers, "q=-"), 2) << answers;
  EXPECT_TRUE(answers.ends_with("Connection: close\r\nContent-Length: 3\r\n\r\nq=-")) << answers;
}

// At MaxConnections a connection waiting for its next request makes room
// for a new one.
TEST_F(KeepAliveEndToEnd, IdleConnectionIsClosedToMakeRoom) {
  server_.MaxConnections = 1;
  server_.StartListening();
  LoopbackClient idle(Port());
  idle.Send("GET /page.htm HTTP/1.1\r\nHost: x\r\n\r\n");
  std::string first;
  ASSERT_TRUE(PumpUntil([&] {
    idle.ReadAvailable(first);
    return first.ends_with("</p>");
  }));
  ASSERT_TRUE(PumpUntil([&] { return server_.IdleConnections() == 1; }));
  EXPECT_EQ(test::Curl(Port(), "/echo?q=new").substr(0, 15), "HTTP/1.1 200 OK");
  idle.ReadAll(5000);
  EXPECT_TRUE(idle.PeerClosed());
  EXPECT_EQ(server_.RefusedConnections(), 0);
}

// A client that pipelines 100 requests and reads nothing is ended by the
// life timer.
TEST_F(KeepAliveEndToEnd, PipeliningClientThatReadsNothingIsEnded) {
  dir_.Write("www/large.bin", std::string(4 * 1024 * 1024, 'x'));
  server_.Timeout = 6;
  server_.StartListening();
  LoopbackClient client(Port(), 4096);
  std::string requests;
  for (int i = 0; i < 100; ++i)
    requests += "GET /large.bin HTTP/1.1\r\nHost: x\r\n\r\n";
  client.Send(requests);
  EXPECT_TRUE(PumpUntil([&] { return server_.ThreadCount() == 1; }));
  EXPECT_TRUE(AllThreadsGone(15000));
}

}  // namespace
}  // namespace korvi
