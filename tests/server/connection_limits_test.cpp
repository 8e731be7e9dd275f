// Connections the server refuses (caps, a thread that cannot start), the
// refusal event and counters, live settings changed under load, and
// stopping that takes longer than its grace period.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "korvi/host/thread.h"
#include "korvi/server/korvi.h"
#include "korvi/web/action_item.h"
#include "korvi/web/korvi_response.h"
#include "tests/support/loopback_client.h"
#include "tests/support/pump.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_certificate.h"

namespace korvi {
namespace {

using test::LoopbackClient;
using test::PumpUntil;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

struct TRefusal {
  TKorviRefusal reason;
  std::string address;
};

class ConnectionLimits : public ::testing::Test {
 protected:
  ConnectionLimits() {
    dir_.Write("index.htm", "home");
    server_.SetRoot(dir_.Path());
    server_.SetPort(test::FreePort());
    server_.OnRefused = [this](TObject*, TKorviRefusal reason, const std::string& address) {
      refusals_.push_back({reason, address});
    };
  }

  // The answer to a request on a new connection; the server accepts it with
  // the request already waiting.
  std::string Ask() {
    LoopbackClient client(server_.ServerPort());
    client.Send("GET /index.htm HTTP/1.0\r\n\r\n");
    std::string answer = client.ReadAll();
    EXPECT_TRUE(client.PeerClosed());
    return answer;
  }

  test::TempDir dir_;
  TKorvi server_{nullptr};
  std::vector<TRefusal> refusals_;
};

// A connection over a cap gets the 503 page at once (over TLS: nothing, no
// handshake), the application hears why and from where, the counters agree,
// and the next connection after one ended is served again.
TEST_F(ConnectionLimits, ConnectionsOverACapAreRefused) {
  struct Case {
    int max_connections;
    int per_address;
    bool tls;
    TKorviRefusal reason;
  };
  const Case cases[] = {
      {1, 0, false, rfMaxConnections},
      {0, 1, false, rfMaxConnectionsPerAddress},
      {1, 0, true, rfMaxConnections},
  };
  test::TestCertificate certificate;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason + (c.tls ? 10 : 0));
    TKorvi server(nullptr);
    server.SetRoot(dir_.Path());
    server.SetPort(test::FreePort());
    server.MaxConnections = c.max_connections;
    server.MaxConnectionsPerAddress = c.per_address;
    server.TlsEnabled = c.tls;
    server.TlsCertificateFile = certificate.CertificateFile();
    server.TlsKeyFile = certificate.KeyFile();
    std::vector<TRefusal> refusals;
    server.OnRefused = [&](TObject*, TKorviRefusal reason, const std::string& address) {
      refusals.push_back({reason, address});
    };
    server.StartListening();
    auto held = std::make_unique<LoopbackClient>(server.ServerPort());
    ASSERT_TRUE(PumpUntil([&] { return server.ThreadCount() == 1; }));

    LoopbackClient refused(server.ServerPort());
    refused.Send("GET /index.htm HTTP/1.0\r\n\r\n");
    const std::string answer = refused.ReadAll();
    EXPECT_TRUE(refused.PeerClosed());
    if (c.tls) {
      EXPECT_EQ(answer, "");
    } else {
      EXPECT_TRUE(answer.starts_with("HTTP/1.0 503 ")) << answer;
      EXPECT_TRUE(Has(answer, "ERROR : 503")) << answer;
    }
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_EQ(refusals[0].reason, c.reason);
    EXPECT_EQ(refusals[0].address, "127.0.0.1");
    EXPECT_EQ(server.AcceptedConnections(), 1);
    EXPECT_EQ(server.RefusedConnections(), 1);

    held.reset();
    ASSERT_TRUE(PumpUntil([&] { return server.ThreadCount() == 0; }));
    LoopbackClient next(server.ServerPort());
    ASSERT_TRUE(PumpUntil([&] { return server.ThreadCount() == 1; }));
    EXPECT_EQ(server.AcceptedConnections(), 2);
    EXPECT_EQ(server.RefusedConnections(), 1);
  }
}

// A connection whose thread cannot be started gets the 503 page, and the
// application hears of it; the next connection is served.
TEST_F(ConnectionLimits, AFailedThreadStartAnswers503) {
  server_.StartListening();
  FailNextThreadStarts(1);
  const std::string answer = Ask();
  EXPECT_TRUE(answer.starts_with("HTTP/1.0 503 ")) << answer;
  EXPECT_TRUE(Has(answer, "ERROR : 503")) << answer;
  ASSERT_EQ(refusals_.size(), 1u);
  EXPECT_EQ(refusals_[0].reason, rfThread);
  EXPECT_EQ(refusals_[0].address, "127.0.0.1");
  EXPECT_EQ(server_.RefusedConnections(), 1);
  EXPECT_EQ(server_.ThreadCount(), 0);

  EXPECT_TRUE(Ask().ends_with("\r\n\r\nhome"));
  EXPECT_EQ(server_.AcceptedConnections(), 1);
}

// The main thread changes every live setting again and again while clients
// ask for files and listings: each request reads one consistent snapshot
// (ThreadSanitizer watches the reads) and every answer is whole.
TEST_F(ConnectionLimits, LiveSettingsChangeUnderLoad) {
  dir_.Write("sub/a.txt", "aaa");
  server_.StartListening();
  const int port = server_.ServerPort();
  constexpr int kRequests = 60;
  std::atomic<int> answered{0};
  std::atomic<int> broken{0};
  std::thread clients([&] {
    const char* const paths[] = {"/index.htm", "/sub/", "/sub/a.txt"};
    for (int i = 0; i < kRequests; ++i, ++answered) {
      std::string answer;
      try {
        LoopbackClient client(port);
        client.Send(std::string("GET ") + paths[i % 3] + " HTTP/1.0\r\n\r\n");
        client.ReadBlocking(answer, SIZE_MAX, 10000);
      } catch (const std::runtime_error&) {
        // Counted below.
      }
      if (!answer.starts_with("HTTP/1.0 ") || !Has(answer, "\r\n\r\n")) ++broken;
    }
  });
  std::atomic<int> events{0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (int round = 0; answered < kRequests && std::chrono::steady_clock::now() < deadline;
       ++round) {
    const bool odd = round % 2 == 1;
    server_.DirectoryListing = !odd;
    server_.DirectoryMask = odd ? std::string("*.txt") : std::string(100, '*');
    server_.Timeout = odd ? 30 : 40;
    server_.MaxRequestBody = odd ? 1000 : 2000;
    server_.SetFile(odd ? "index.htm" : "a.txt");
    server_.SetRoot(dir_.Path());
    auto count = [&events](auto&&...) { ++events; };
    server_.OnRequest = count;
    server_.OnRequestDone = count;
    server_.OnResponse = count;
    server_.OnResponseDone = count;
    server_.OnBeforeProcess = count;
    server_.OnAfterProcess = count;
    server_.OnGetMimeType = count;
    server_.OnException = count;
    PumpUntil([] { return false; }, 2);
  }
  clients.join();
  EXPECT_EQ(answered, kRequests);
  EXPECT_EQ(broken, 0);
  EXPECT_GT(events, 0);
  EXPECT_TRUE(PumpUntil([&] { return server_.ThreadCount() == 0; }));
}

// Stopping that outlasts StopGracePeriod names the workers still running
// (client address and request line), and goes on waiting for them.
TEST(KorviStopping, OverdueWorkersAreReported) {
  test::TempDir dir;
  auto server = std::make_unique<TKorvi>(nullptr);
  server->SetRoot(dir.Path());
  server->SetPort(test::FreePort());
  server->StopGracePeriod = 1;
  std::mutex lock;
  std::condition_variable changed;
  bool entered = false;
  bool released = false;
  TKActionItem* action = server->Actions()->Add();
  action->SetPathInfo("/block");
  action->SetOnAction([&](TObject*, TKorviRequest*, TKorviResponse* response, bool& handled) {
    std::unique_lock<std::mutex> held(lock);
    entered = true;
    changed.notify_all();
    // Bounded: a server that never reports still ends the test.
    changed.wait_for(held, std::chrono::seconds(20), [&] { return released; });
    response->SetContent("done");
    handled = true;
  });
  std::vector<TKorviRunningWorker> reported;
  server->OnStopOverdue = [&](TObject*, const std::vector<TKorviRunningWorker>& workers) {
    reported = workers;
    std::lock_guard<std::mutex> held(lock);
    released = true;
    changed.notify_all();
  };
  server->StartListening();
  LoopbackClient client(server->ServerPort());
  client.Send("GET /block HTTP/1.0\r\n\r\n");
  ASSERT_TRUE(PumpUntil([&] {
    std::lock_guard<std::mutex> held(lock);
    return entered;
  }));
  server.reset();
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].RemoteAddress, "127.0.0.1");
  EXPECT_EQ(reported[0].RequestLine, "GET /block HTTP/1.0");
}

}  // namespace
}  // namespace korvi
