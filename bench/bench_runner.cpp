// Loopback server, watchdog and main-loop runner shared by the load
// benchmarks.
#include "bench_runner.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <stdexcept>

#include "korvi/host/application.h"
#include "korvi/socket/ssl_ksocket.h"

namespace korvi::bench {

namespace {

// A listening socket that binds the loopback address whatever it was given.
class TLoopbackListenSocket : public TSSLKSocket {
 public:
  using TSSLKSocket::TSSLKSocket;
  int Listen() override {
    SetAddr("127.0.0.1");
    return TSSLKSocket::Listen();
  }
};

// A TKorvi whose listener binds 127.0.0.1 instead of every interface.
class TLoopbackKorvi : public TKorvi {
 public:
  TLoopbackKorvi() : TKorvi(nullptr) {}

 protected:
  std::unique_ptr<TSSLKSocket> CreateKorviSocket() override {
    return std::make_unique<TLoopbackListenSocket>(nullptr);
  }
};

// Life limit of a connection: longer than any benchmark run.
constexpr int kConnectionLifeSeconds = 600;

}  // namespace

int RunWithServer(const std::string& program, const std::string& root,
                  const std::function<int(TKorvi& server)>& driver,
                  const std::function<void(TKorvi& server)>& setup) {
  auto server = std::make_unique<TLoopbackKorvi>();
  server->SetRoot(root);
  server->Timeout = kConnectionLifeSeconds;
  server->SetPort(0);
  if (setup) setup(*server);
  server->StartListening();
  if (server->ListenSocket() == nullptr || server->ListenSocket()->State() != wsListening) {
    throw std::runtime_error("the server does not listen");
  }
  int result = 1;
  std::thread driver_thread([&] {
    try {
      result = driver(*server);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s: %s\n", program.c_str(), e.what());
      result = 1;
    }
    Application().Terminate();
  });
  Application().Run();
  driver_thread.join();
  server.reset();
  return result;
}

TWatchdog::TWatchdog(std::string program, std::chrono::seconds limit) {
  thread_ = std::thread([this, program = std::move(program), limit] {
    std::unique_lock<std::mutex> lock(lock_);
    if (!disarmed_changed_.wait_for(lock, limit, [this] { return disarmed_; })) {
      std::fprintf(stderr, "%s: did not finish within %lld s; stopping\n", program.c_str(),
                   static_cast<long long>(limit.count()));
      std::_Exit(3);
    }
  });
}

TWatchdog::~TWatchdog() {
  {
    std::lock_guard<std::mutex> lock(lock_);
    disarmed_ = true;
  }
  disarmed_changed_.notify_all();
  thread_.join();
}

int GuardedMain(const char* program, int (*body)(int, char**), int argc, char** argv) {
  try {
    return body(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", program, e.what());
    return 1;
  }
}

}  // namespace korvi::bench
