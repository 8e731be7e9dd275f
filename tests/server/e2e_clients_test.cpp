// End to end with the clients people use: curl (failing on error statuses,
// rate-limited, half-closing), raw sockets that half-close or send more than
// the request, and links followed from a listing, against a real TKorvi over
// a temporary document tree.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "server/korvi.h"
#include "server/korvi_thread.h"
#include "socket/ssl_ksocket.h"
#include "support/curl.h"
#include "support/loopback_client.h"
#include "support/pump.h"
#include "support/temp_dir.h"
#include "web/action_item.h"
#include "web/korvi_response.h"

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

  // Records the announced and the reported size of every answer.
  void RecordSizes() {
    server_.OnResponse = [this](int, std::int64_t bytes) {
      std::lock_guard<std::mutex> lock(mutex_);
      to_send_.push_back(bytes);
    };
    server_.OnResponseDone = [this](int, std::int64_t bytes) {
      std::lock_guard<std::mutex> lock(mutex_);
      sent_.push_back(bytes);
    };
  }

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
  std::mutex mutex_;
  std::vector<std::int64_t> to_send_;
  std::vector<std::int64_t> sent_;
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

}  // namespace
}  // namespace korvi
