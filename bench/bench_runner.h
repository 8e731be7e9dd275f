// The frame every load benchmark runs in: a TKorvi that listens on
// 127.0.0.1 only, a driver function on a thread of its own while the main
// thread runs the application's message loop (the listener accepts there),
// and a watchdog that ends the process when a run does not finish in time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "korvi/server/korvi.h"

namespace korvi::bench {

// Ends the process with exit code 3 and a message on standard error when it
// is not disarmed (destroyed) within the given time.
class TWatchdog {
 public:
  TWatchdog(std::string program, std::chrono::seconds limit);
  ~TWatchdog();
  TWatchdog(const TWatchdog&) = delete;
  TWatchdog& operator=(const TWatchdog&) = delete;

 private:
  std::mutex lock_;
  std::condition_variable disarmed_changed_;
  bool disarmed_ = false;
  std::thread thread_;
};

// Starts a TKorvi over `root` that listens on 127.0.0.1 only, on a port the
// system picks (`setup`, when given, shapes it first, for example with
// actions); runs
// `driver` with it on a new thread while the calling thread, which must be
// the main thread, runs Application().Run(), and destroys the server (which
// waits for its worker threads) when the driver has returned. Returns the
// driver's result, or 1 when it raised (the message goes to standard error
// prefixed with `program`). Raises std::runtime_error when the server does
// not listen.
int RunWithServer(const std::string& program, const std::string& root,
                  const std::function<int(TKorvi& server)>& driver,
                  const std::function<void(TKorvi& server)>& setup = {});

// Runs a benchmark program's body; an exception it raises is printed with
// `program` on standard error and gives exit code 1.
int GuardedMain(const char* program, int (*body)(int, char**), int argc, char** argv);

}  // namespace korvi::bench
