// Request intake over real loopback connections: line assembly, request
// line and header parsing, body collection, the refusals and the thread's
// life.
#include "korvi/server/korvi_thread.h"

#include <gtest/gtest.h>

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "korvi/host/thread.h"
#include "korvi/server/korvi.h"
#include "korvi/socket/socket_errors.h"
#include "korvi/socket/ssl_ksocket.h"
#include "tests/support/loopback_client.h"
#include "tests/support/pump.h"
#include "tests/support/temp_dir.h"

namespace korvi {
namespace {

using test::LoopbackClient;
using test::PumpUntil;

// What the worker thread had taken in when the response started.
struct Intake {
  std::string Method, URL, Query, Protocol, Body;
  bool ServeStatic = true;
  std::vector<std::string> Headers;
  unsigned LifeInterval = 0;
};

class IntakeTest : public ::testing::Test {
 protected:
  IntakeTest() {
    root_.Write("index.htm", "<p>home</p>");
    root_.Write("a b.htm", "spaced");
    server_.SetRoot(root_.Path());
    server_.SetPort(test::FreePort());
    server_.OnBeforeProcess = [this](TObject*, TKorviRequest*, TKorviResponse*,
                                     TKorviThread* thread) { Record(*thread); };
    server_.OnRequest = [this](int, const std::string&, const std::string&) { ++requests_; };
    server_.OnRequestDone = [this](int, std::int64_t bytes) {
      ++done_;
      bytes_received_ = bytes;
    };
  }

  void Record(TKorviThread& thread) {
    Intake seen;
    seen.Method = thread.Method;
    seen.URL = thread.URL;
    seen.Query = thread.Query;
    seen.Protocol = thread.Protocol;
    seen.ServeStatic = thread.ServeStatic;
    for (int i = 0; i < thread.HeaderLines.Count(); ++i)
      seen.Headers.push_back(thread.HeaderLines[i]);
    seen.Body.assign(thread.BodyStream->Memory(), static_cast<size_t>(thread.BodyStream->Size()));
    seen.LifeInterval = thread.LifeTimer->Interval();
    std::lock_guard<std::mutex> lock(mutex_);
    intakes_.push_back(seen);
  }

  // Sends `request` on a new connection and returns the whole answer.
  std::string Exchange(const std::string& request) {
    LoopbackClient client(server_.ServerPort());
    client.Send(request);
    return client.ReadAll();
  }

  Intake Only() {
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_EQ(intakes_.size(), 1u);
    return intakes_.empty() ? Intake{} : intakes_.front();
  }

  bool AllThreadsGone() {
    return PumpUntil([&] { return server_.ThreadCount() == 0; });
  }

  test::TempDir root_;
  std::mutex mutex_;
  std::vector<Intake> intakes_;
  std::atomic<int> requests_{0};
  std::atomic<int> done_{0};
  std::atomic<std::int64_t> bytes_received_{0};
  TKorvi server_{nullptr};  // last: destroyed (with its threads) first
};

// How often `needle` occurs in `text`.
int Occurrences(const std::string& text, const std::string& needle) {
  int count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

// Waits until the worker thread of the one connection to `port` has read
// every byte sent to it so far, the connection still being open.
bool ServerReadEverything(int port) {
  return PumpUntil([&] { return test::UnreadAtServer(port) == 0; });
}

// A request line with a query: decoded path, raw query, protocol, and no
// built-in file answer for it (a query on a plain file gets the 400 page).
TEST_F(IntakeTest, RequestLineIsSplitIntoMethodPathQueryAndProtocol) {
  server_.StartListening();
  const std::string answer = Exchange("GET /a%20b.htm?x=%41 HTTP/1.0\r\n\r\n");
  const Intake seen = Only();
  EXPECT_EQ(seen.Method, "GET");
  EXPECT_EQ(seen.URL, "/a b.htm");
  EXPECT_EQ(seen.Query, "x=%41");
  EXPECT_EQ(seen.Protocol, "HTTP/1.0");
  EXPECT_FALSE(seen.ServeStatic);
  EXPECT_NE(answer.find("ERROR : 400"), std::string::npos) << answer;
  EXPECT_EQ(requests_, 1);
  EXPECT_EQ(done_, 1);
}

// Lines ending in a bare LF read like CRLF lines; a line may arrive in
// pieces; a request line without protocol is answered like a full one.
TEST_F(IntakeTest, LinesAreAssembledAcrossArrivalsAndLineEnds) {
  server_.StartListening();
  LoopbackClient client(server_.ServerPort());
  client.Send("GET /ind");
  ASSERT_TRUE(PumpUntil([&] { return server_.ThreadCount() == 1; }));
  ASSERT_TRUE(ServerReadEverything(server_.ServerPort()));
  client.Send("ex.htm\nHost: a.b\n\n");
  const std::string answer = client.ReadAll();
  const Intake seen = Only();
  EXPECT_EQ(seen.URL, "/index.htm");
  EXPECT_EQ(seen.Protocol, "");
  ASSERT_EQ(seen.Headers.size(), 2u);
  EXPECT_EQ(seen.Headers[1], "host=a.b");
  EXPECT_EQ(answer.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << answer;
  EXPECT_NE(answer.find("<p>home</p>"), std::string::npos);
}

// Header names are lower-cased, one character after the colon is always
// dropped, nothing is trimmed, lines without a colon are skipped, and the
// client's address comes first.
TEST_F(IntakeTest, HeaderLinesKeepTheirQuirks) {
  server_.StartListening();
  Exchange(
      "GET / HTTP/1.0\r\nHost:example\r\nX-Two:  b \r\nno colon here\r\n"
      "Remote-Address: 9.9.9.9\r\nAccept: */*\r\n\r\n");
  const std::vector<std::string> expected = {"remote-address=127.0.0.1", "host=xample", "x-two= b ",
                                             "remote-address=9.9.9.9", "accept=*/*"};
  EXPECT_EQ(Only().Headers, expected);
}

// A body announced as 10 bytes that arrives in two pieces of 6 keeps the
// first 10 and completes with the second piece.
TEST_F(IntakeTest, BodyIsCollectedUpToContentLength) {
  server_.StartListening();
  LoopbackClient client(server_.ServerPort());
  client.Send("POST /index.htm HTTP/1.0\r\nContent-Length: 10\r\n\r\nabcdef");
  ASSERT_TRUE(PumpUntil([&] { return requests_ == 1; }));
  EXPECT_EQ(done_, 0);
  client.Send("ghijkl");
  ASSERT_TRUE(PumpUntil([&] { return done_ == 1; }));
  EXPECT_EQ(Only().Body, "abcdefghij");
  EXPECT_EQ(bytes_received_, 60);  // every byte of both arrivals
}

// "Content-Length: 0" completes the request at the end of the header block
// (a POST without a body is not served: 501).
TEST_F(IntakeTest, ZeroContentLengthCompletesAtTheEmptyLine) {
  server_.StartListening();
  const std::string answer = Exchange("POST /index.htm HTTP/1.0\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(Only().Body, "");
  EXPECT_NE(answer.find("ERROR : 501"), std::string::npos) << answer;
}

// A connection that sends only an empty line completes at once with an
// empty method and gets the 501 page; its OnRequestDone counts the bytes.
TEST_F(IntakeTest, EmptyRequestGetsNotImplemented) {
  server_.StartListening();
  const std::string answer = Exchange("\r\n");
  EXPECT_EQ(Only().Method, "");
  EXPECT_EQ(answer.rfind("HTTP/1.0 501 Not Implemented\r\n", 0), 0u);
  EXPECT_NE(answer.find("ERROR : 501"), std::string::npos) << answer;
  EXPECT_EQ(bytes_received_, 2);
  EXPECT_EQ(requests_, 0);
}

// Bytes after a complete request are ignored: one answer per connection.
TEST_F(IntakeTest, DataAfterTheRequestIsIgnored) {
  server_.StartListening();
  const std::string answer =
      Exchange("GET /index.htm HTTP/1.0\r\n\r\nGET /index.htm HTTP/1.0\r\n\r\n");
  EXPECT_EQ(done_, 1);
  EXPECT_EQ(Occurrences(answer, "HTTP/1.0 200 OK"), 1) << answer;
  EXPECT_EQ(Occurrences(answer, "<p>home</p>"), 1) << answer;
}

// A request whose header lines go on past the header block limit.
std::string HeaderFlood() {
  std::string request = "GET / HTTP/1.0\r\n";
  while (static_cast<std::int64_t>(request.size()) <= KorviMaxHeaderBlock) {
    request += "X: " + std::string(8000, 'h') + "\r\n";
  }
  return request + "\r\n";
}

// Malformed requests end with the 400 page without reaching the actions:
// an overlong line, a non-decimal, a negative and a too large length, a
// malformed escape, a header flood. The page arrives whole even while the
// client is still sending.
TEST_F(IntakeTest, MalformedRequestsGetBadRequest) {
  server_.MaxRequestBody = 1000;
  server_.StartListening();
  const std::vector<std::string> requests = {
      "GET /" + std::string(9000, 'a') + " HTTP/1.0\r\n\r\n",
      "POST / HTTP/1.0\r\nX: " + std::string(8200, 'b') + "\r\n\r\n",
      "POST / HTTP/1.0\r\nContent-Length: 0x10\r\n\r\n0123456789abcdef",
      "POST / HTTP/1.0\r\nContent-Length: -5\r\n\r\n",
      "POST / HTTP/1.0\r\nContent-Length: 1001\r\n\r\nshort",
      "GET /%zz HTTP/1.0\r\n\r\n",
      "POST / HTTP/1.0\r\nContent-Length: 300000\r\n\r\n" + std::string(300000, 'z'),
      HeaderFlood(),
  };
  for (const std::string& request : requests) {
    const std::string answer = Exchange(request);
    EXPECT_EQ(answer.rfind("HTTP/1.0 400 Bad Request\r\n", 0), 0u) << request.substr(0, 40);
    EXPECT_NE(answer.find("ERROR : 400"), std::string::npos) << request.substr(0, 40);
  }
  EXPECT_EQ(done_, 0);
  std::lock_guard<std::mutex> lock(mutex_);
  EXPECT_TRUE(intakes_.empty());
}

// A GET or HEAD announcing a body longer than MaxBodyInMemory gets the 400
// page as soon as its header lines are in, without a byte of the body; a
// shorter one is read and answered as before (501 without an action).
TEST_F(IntakeTest, LongBodyOnGetOrHeadIsRefusedAtOnce) {
  server_.StartListening();
  for (const std::string method : {"GET", "HEAD"}) {
    const std::string answer = Exchange(method + " / HTTP/1.0\r\nContent-Length: 60000000\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.0 400 Bad Request\r\n", 0), 0u) << method;
  }
  const std::string shorter = Exchange("GET / HTTP/1.0\r\nContent-Length: 5\r\n\r\nhello");
  EXPECT_EQ(shorter.rfind("HTTP/1.0 501 Not Implemented\r\n", 0), 0u) << shorter;
  EXPECT_EQ(Only().Body, "hello");
}

// A body over MaxBodyInMemory that cannot be stored (its temporary
// directory is missing) gets the 503 page and reaches no action.
TEST_F(IntakeTest, LongBodyThatCannotBeStoredGetsServiceUnavailable) {
  server_.MaxBodyInMemory = 10;
  server_.BodySpoolDirectory = root_.Path() + "/missing";
  server_.StartListening();
  const std::string answer =
      Exchange("POST / HTTP/1.0\r\nContent-Length: 20\r\n\r\n" + std::string(20, 'b'));
  EXPECT_EQ(answer.rfind("HTTP/1.0 503 ", 0), 0u) << answer;
  EXPECT_EQ(done_, 0);
}

// A huge announced body with a short one allocates nothing up front (no
// machine holds 10^17 bytes): the thread goes on reading what arrives and
// ends when the client goes away.
TEST_F(IntakeTest, AnnouncedLengthIsNotAllocatedUpFront) {
  server_.MaxRequestBody = std::int64_t{1} << 60;
  server_.StartListening();
  const int port = server_.ServerPort();
  {
    LoopbackClient client(port);
    client.Send("POST / HTTP/1.0\r\nContent-Length: 100000000000000000\r\n\r\nshort body");
    ASSERT_TRUE(PumpUntil([&] { return requests_ == 1; }));
    ASSERT_TRUE(ServerReadEverything(port));
    client.Send("more body");
    EXPECT_TRUE(ServerReadEverything(port));
  }
  EXPECT_TRUE(AllThreadsGone());
  EXPECT_EQ(done_, 0);
}

// The life timer: Timeout 3 (5 or less) means 100 s, 30 means 30 s.
TEST_F(IntakeTest, LifeTimerIntervalFollowsTimeout) {
  server_.StartListening();
  for (const auto& [timeout, interval] : {std::pair{3, 100000u}, std::pair{30, 30000u}}) {
    ASSERT_TRUE(AllThreadsGone());
    server_.Timeout = timeout;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      intakes_.clear();
    }
    Exchange("GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(Only().LifeInterval, interval) << timeout;
  }
}

// An idle connection ends, without an answer, when the life timer fires.
TEST_F(IntakeTest, LifeTimerEndsAnIdleConnection) {
  server_.Timeout = 6;
  server_.StartListening();
  LoopbackClient client(server_.ServerPort());
  client.Send("GET / HTT");
  EXPECT_EQ(client.ReadAll(15000), "");
  EXPECT_TRUE(client.PeerClosed());
  EXPECT_TRUE(AllThreadsGone());
}

// Every accepted connection gets a thread of its own, whatever MaxThread.
TEST_F(IntakeTest, TwoHundredConnectionsGetTwoHundredThreads) {
  server_.StartListening();
  ASSERT_EQ(server_.MaxThread(), 100);
  std::vector<std::unique_ptr<LoopbackClient>> clients;
  // The listen backlog is short: each connection is accepted before the next.
  for (int i = 1; i <= 200; ++i) {
    clients.push_back(std::make_unique<LoopbackClient>(server_.ServerPort()));
    ASSERT_TRUE(PumpUntil([&] { return server_.ThreadCount() == i; })) << i;
  }
  for (auto& client : clients)
    client->Send("GET /index.htm HTTP/1.0\r\n\r\n");
  for (auto& client : clients) {
    EXPECT_NE(client->ReadAll(30000).find("<p>home</p>"), std::string::npos);
  }
  clients.clear();
  EXPECT_TRUE(AllThreadsGone());
  EXPECT_EQ(done_, 200);
}

// A client that resets the connection while a large answer is still queued
// ends its thread: the draining loop does not wait on a dead socket.
TEST_F(IntakeTest, FailedConnectionEndsThreadWithOutputQueued) {
  root_.Write("big.txt", std::string(8 * 1024 * 1024, 'x'));
  server_.StartListening();
  LoopbackClient client(server_.ServerPort());
  client.Send("GET /big.txt HTTP/1.0\r\n\r\n");
  ASSERT_TRUE(PumpUntil([&] { return done_ == 1; }));
  client.Reset();
  EXPECT_TRUE(AllThreadsGone());
}

// Synchronize runs the method on the main thread while the worker waits.
TEST_F(IntakeTest, SynchronizeRunsOnTheMainThread) {
  std::atomic<int> ran_on_main{0};
  server_.OnAfterProcess = [&](TObject*, TKorviRequest*, TKorviResponse*, TKorviThread* thread) {
    EXPECT_FALSE(IsMainThread());
    thread->Synchronize([&] { ran_on_main = IsMainThread() ? 1 : 2; });
  };
  server_.StartListening();
  Exchange("GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(ran_on_main, 1);
}

// System threads are reused for later connections, each connection still
// running as on a thread of its own: all its events on one thread, with a
// fresh queue (the previous connection's socket window takes no posts) and
// a fresh last socket error; Synchronize works from it, and every thread
// leaves the count.
TEST_F(IntakeTest, ReusedSystemThreadsServeEachConnectionAfresh) {
  constexpr int kConnections = 60;
  thread_local TKorviThread* tl_worker = nullptr;
  thread_local HWND tl_window = 0;
  std::mutex lock;
  std::vector<std::string> faults;
  std::vector<std::thread::id> system_threads;
  std::atomic<int> synchronized{0};
  const auto fault = [&](const std::string& what) {
    std::lock_guard<std::mutex> guard(lock);
    faults.push_back(what);
  };
  server_.OnRequest = [&](int, const std::string&, const std::string&) {
    TKorviThread* worker = TKorviThread::Current();
    if (worker == nullptr) fault("no worker");
    if (WSAGetLastError() != 0) fault("last error kept");
    if (tl_window != 0 && PostMessage(tl_window, WM_USER + 7, 0, 0)) fault("old window alive");
    tl_worker = worker;
  };
  server_.OnAfterProcess = [&](TObject*, TKorviRequest*, TKorviResponse*, TKorviThread* thread) {
    if (thread != tl_worker) fault("handler on another thread");
    tl_window = thread->Socket->WindowHandle();
    thread->Synchronize([&] { synchronized += IsMainThread() ? 1 : 0; });
  };
  server_.OnResponseDone = [&](int, std::int64_t) {
    if (TKorviThread::Current() != tl_worker) fault("done on another thread");
    WSASetLastError(WSAECONNRESET);  // left behind for the next connection
    std::lock_guard<std::mutex> guard(lock);
    system_threads.push_back(std::this_thread::get_id());
  };
  server_.StartListening();
  for (int i = 0; i < kConnections; ++i) {
    EXPECT_NE(Exchange("GET /index.htm HTTP/1.0\r\n\r\n").find("<p>home</p>"), std::string::npos);
    ASSERT_TRUE(AllThreadsGone());
  }
  EXPECT_EQ(faults, std::vector<std::string>{});
  EXPECT_EQ(synchronized, kConnections);
  ASSERT_EQ(system_threads.size(), static_cast<size_t>(kConnections));
  std::sort(system_threads.begin(), system_threads.end());
  const auto distinct = std::unique(system_threads.begin(), system_threads.end());
  EXPECT_LT(distinct - system_threads.begin(), kConnections);
}

// Workers run under the batch scheduling policy only when the server asks
// for it, on system threads of either kind reused in turn.
TEST_F(IntakeTest, WorkersTakeTheServersSchedulingPolicy) {
  std::atomic<int> policy{-1};
  server_.OnRequest = [&](int, const std::string&, const std::string&) {
    policy = sched_getscheduler(0);
  };
  server_.StartListening();
  for (const bool batch : {true, false, true, false}) {
    server_.BatchScheduling = batch;
    EXPECT_NE(Exchange("GET /index.htm HTTP/1.0\r\n\r\n").find("<p>home</p>"), std::string::npos);
    ASSERT_TRUE(AllThreadsGone());
    EXPECT_EQ(policy, batch ? SCHED_BATCH : SCHED_OTHER) << batch;
  }
}

// Line assembly keeps a line across buffers, skips CR and NUL, and refuses
// to grow a line past 8192 bytes.
TEST(KorviThreadLines, ReadLineAssemblesAcrossBuffers) {
  TKorviThread thread(-1);
  int position = 0;
  EXPECT_FALSE(thread.ReadLine("GE", 2, position));
  EXPECT_EQ(position, 2);
  position = 0;
  const std::string rest("T\r /\0x\nnext", 11);
  EXPECT_TRUE(thread.ReadLine(rest.data(), 11, position));
  EXPECT_EQ(thread.LineBuffer, "GET /x");
  EXPECT_EQ(position, 7);

  thread.LineBuffer.assign(KorviMaxLine, 'a');
  position = 0;
  EXPECT_FALSE(thread.ReadLine("b\n", 2, position));
  EXPECT_EQ(thread.LineBuffer.size(), static_cast<size_t>(KorviMaxLine));
}

// URLtoPath puts the root in front (or the default file for an empty
// path); PathToURL goes back. Without a root or a mapping nothing is mapped.
TEST(KorviThreadPaths, UrlAndPathMapping) {
  TKorvi server(nullptr);
  server.SetPort(8080);
  TKorviThread thread(-1);
  thread.Server = &server;
  thread.DefaultFileName = "index.htm";
  thread.SetThreadRoot("/srv/www");
  EXPECT_EQ(thread.ThreadRoot, "/srv/www/");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/docs/a.htm", "/srv/www/docs/a.htm"},
      {"", "/srv/www/index.htm"},
      {"/SRV/WWW/x.htm", "/srv/www/SRV/WWW/x.htm"},
      {"pictures", "/srv/www/pictures"},
      {"/a\\b.htm", "/srv/www/a/b.htm"},
  };
  for (auto [url, path] : cases) {
    EXPECT_TRUE(thread.URLtoPath(url));
    EXPECT_EQ(url, path);
  }
  std::string path = "/srv/www/docs/a.htm";
  thread.PathToURL(path);
  EXPECT_TRUE(path.starts_with("http://")) << path;
  EXPECT_TRUE(path.ends_with(":8080/docs/a.htm")) << path;

  thread.SetThreadRoot("");
  std::string unmapped = "/docs";
  EXPECT_FALSE(thread.URLtoPath(unmapped));
  EXPECT_EQ(unmapped, "");
  thread.Server = nullptr;  // the server never counted this thread
}

// Destroying the server ends the live connections and waits for their
// threads (one of them waiting in Synchronize for the main thread).
// A worker that leaves Execute through `raise` (from its socket's
// creation) and, while it is freed on its own thread, reports the worker
// that thread holds as the current one.
class LeavingWorker : public TKorviThread {
 public:
  LeavingWorker(TKorvi& server, std::function<void()> raise, std::promise<TKorviThread*>& seen)
      : TKorviThread(-1), raise_(std::move(raise)), seen_(seen) {
    Server = &server;
  }
  ~LeavingWorker() override {
    Server = nullptr;  // never counted by the server
    seen_.set_value(TKorviThread::Current());
  }

 protected:
  std::unique_ptr<TSSLKSocket> CreateKorviSocket() override {
    raise_();
    return nullptr;
  }

 private:
  std::function<void()> raise_;
  std::promise<TKorviThread*>& seen_;
};

// No worker stays current on its system thread once Execute is left, also
// through the unwinding of an abandoned thread or a non-standard exception.
TEST(KorviThreadCurrent, IsResetWhicheverWayExecuteIsLeft) {
  TKorvi server(nullptr);
  const std::vector<std::function<void()>> raises = {[] { throw EThreadAbandoned{}; },
                                                     [] { throw 42; }};
  for (const auto& raise : raises) {
    std::promise<TKorviThread*> seen;
    std::future<TKorviThread*> current = seen.get_future();
    (new LeavingWorker(server, raise, seen))->Resume();
    ASSERT_EQ(current.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(current.get(), nullptr);
  }
}

TEST(KorviShutdown, DestroyingTheServerStopsItsThreads) {
  auto server = std::make_unique<TKorvi>(nullptr);
  server->SetPort(test::FreePort());
  std::atomic<bool> in_handler{false};
  std::atomic<bool> go{false};
  std::atomic<bool> synchronized{false};
  server->OnRequest = [&](int, const std::string&, const std::string&) {
    in_handler = true;
    go.wait(false);
    TThread::Synchronize([&] { synchronized = true; });
  };
  server->StartListening();
  LoopbackClient idle(server->ServerPort());
  LoopbackClient busy(server->ServerPort());
  busy.Send("GET / HTTP/1.0\r\n");
  ASSERT_TRUE(PumpUntil([&] { return server->ThreadCount() == 2 && in_handler; }));
  go = true;
  go.notify_all();
  server.reset();
  EXPECT_TRUE(synchronized);
  EXPECT_EQ(idle.ReadAll(), "");
  EXPECT_TRUE(idle.PeerClosed());
  busy.ReadAll();
  EXPECT_TRUE(busy.PeerClosed());
}

// Ends the process with a message when a test is not done in time (a hang
// cannot be turned into an ordinary failure).
class HangGuard {
 public:
  explicit HangGuard(int seconds)
      : thread_([this, seconds] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!done_changed_.wait_for(lock, std::chrono::seconds(seconds),
                                      [this] { return done_; })) {
            std::fputs("test hung: ended by its guard\n", stderr);
            std::_Exit(1);
          }
        }) {}
  ~HangGuard() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    done_changed_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_changed_;
  bool done_ = false;
  std::thread thread_;
};

// Destroying the server from a method that one of its own workers runs
// through Synchronize does not wait for that worker (which waits for the
// method): the destruction finishes, and the worker ends without running
// its handler any further or touching the server, closing its connection.
// Both before the answer (OnRequest) and while it starts (OnResponse).
TEST(KorviShutdown, DestroyedFromItsOwnWorkersSynchronize) {
  HangGuard guard(60);
  for (const bool in_response : {false, true}) {
    auto* server = new TKorvi(nullptr);
    server->SetPort(test::FreePort());
    std::atomic<bool> destroyed{false};
    std::atomic<bool> handler_went_on{false};
    const auto destroy = [&] {
      TThread::Synchronize([&] {
        delete server;
        destroyed = true;
      });
      handler_went_on = true;
    };
    if (in_response) {
      server->OnResponse = [&](int, std::int64_t) { destroy(); };
      server->OnResponseDone = [&](int, std::int64_t) { handler_went_on = true; };
    } else {
      server->OnRequest = [&](int, const std::string&, const std::string&) { destroy(); };
    }
    server->StartListening();
    LoopbackClient client(server->ServerPort());
    client.Send("GET / HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(PumpUntil([&] { return destroyed.load(); }, 20000)) << in_response;
    EXPECT_EQ(client.ReadAll(), "") << in_response;
    EXPECT_TRUE(client.PeerClosed()) << in_response;
    EXPECT_FALSE(handler_went_on) << in_response;
  }
}

}  // namespace
}  // namespace korvi
