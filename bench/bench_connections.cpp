// bench_connections: the cost of idle connections to an in-process TKorvi.
// It opens N connections to 127.0.0.1 that each send part of a request line
// (so every worker thread waits inside its request), measures the process's
// resident memory and thread count before and after, prints the bytes per
// connection, then closes them and waits, bounded, until the worker threads
// have ended. Repeated cycles show whether memory comes back. Before the
// connections open and while they are open, it times requests served one
// after another, which shows what idle connections cost everyone else. It
// stops by itself.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench_options.h"
#include "bench_runner.h"
#include "document_tree.h"
#include "korvi/host/file_descriptor.h"
#include "loopback_client.h"
#include "process_status.h"

namespace korvi::bench {
namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::duration<double, std::milli>;

// Descriptors one connection costs: the client's socket, and the worker's
// socket, epoll set and eventfd.
constexpr int kDescriptorsPerConnection = 4;
// Descriptors kept free for everything else.
constexpr int kSpareDescriptors = 64;
// What every connection sends: a request line that never ends.
constexpr const char* kPartialRequest = "GET /index.htm HT";
// The request timed beside them, and the size of the page it asks for.
constexpr const char* kTimedRequest = "GET /small.htm HTTP/1.0\r\n\r\n";
constexpr std::size_t kSmallBytes = 1024;
// Time the workers get to take their first bytes before memory is read.
constexpr std::chrono::milliseconds kFirstReadPause(200);
// A connect that took this long waited for the kernel to retry it.
constexpr double kRetriedConnectMs = 1000;

struct TSettings {
  int Connections;
  int Window;                       // connections that may wait for the server's accept at once
  std::chrono::milliseconds Limit;  // of every wait
  std::int64_t Descriptors;         // the open-file limit in force
  int Requests;                     // timed one after another, each on its own connection
};

double Mib(std::int64_t bytes) {
  return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

// Waits, polling every millisecond, until `done()` holds; false when
// `limit` passed first.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void PrintStatus(const char* label, const TProcessStatus& status, int workers) {
  std::printf("  %-18s RSS %8.1f MiB  VmSize %9.1f MiB  threads %5d  workers %5d\n", label,
              Mib(status.ResidentBytes), Mib(status.VirtualBytes), status.Threads, workers);
}

// Times `settings.Requests` requests for the small page, one after
// another, each on a connection of its own, and prints the median and p90.
// False when one failed.
bool TimeRequests(TKorvi& server, const TSettings& settings, const char* label) {
  std::vector<double> times;
  times.reserve(static_cast<std::size_t>(settings.Requests));
  const Clock::time_point start = Clock::now();
  for (int request = 0; request < settings.Requests; ++request) {
    const Clock::time_point sent = Clock::now();
    TLoopbackConnection connection(server.ServerPort(), static_cast<int>(settings.Limit.count()));
    connection.Send(kTimedRequest);
    if (!IsCompleteOk(connection.ReadAnswer())) {
      std::printf("  request %d %s failed\n", request + 1, label);
      return false;
    }
    times.push_back(Milliseconds(Clock::now() - sent).count());
  }
  const std::chrono::duration<double> elapsed = Clock::now() - start;
  std::sort(times.begin(), times.end());
  std::printf("  %d requests %-16s median %.3f ms  p90 %.3f ms  (%.0f requests/s)\n",
              settings.Requests, label, Percentile(times, 0.5), Percentile(times, 0.9),
              settings.Requests / elapsed.count());
  return true;
}

// Opens the connections, keeping at most `Window` of them waiting in the
// listener's queue for the main thread to accept them, and waits until
// every one has its worker thread. False when a connection failed or the
// server fell behind by more than the limit.
bool OpenConnections(TKorvi& server, const TSettings& settings, int base_threads,
                     std::vector<TLoopbackConnection>& connections) {
  const std::int64_t overflows_before = ReadListenOverflows();
  const Clock::time_point start = Clock::now();
  const int limit_ms = static_cast<int>(settings.Limit.count());
  double slowest_ms = 0;
  int retried = 0;
  bool sound = true;
  while (sound && static_cast<int>(connections.size()) < settings.Connections) {
    const Clock::time_point connect_start = Clock::now();
    try {
      connections.emplace_back(server.ServerPort(), limit_ms);
      connections.back().Send(kPartialRequest);
    } catch (const std::exception& e) {
      std::printf("  connection %zu failed: %s\n", connections.size() + 1, e.what());
      sound = false;
      break;
    }
    const double connect_ms = Milliseconds(Clock::now() - connect_start).count();
    slowest_ms = std::max(slowest_ms, connect_ms);
    if (connect_ms >= kRetriedConnectMs) ++retried;
    const int opened = static_cast<int>(connections.size());
    sound =
        WaitFor([&] { return server.ThreadCount() >= opened - settings.Window; }, settings.Limit);
  }
  const int opened = static_cast<int>(connections.size());
  sound =
      sound && WaitFor([&] { return server.ThreadCount() >= opened; }, settings.Limit) &&
      WaitFor([&] { return ReadProcessStatus().Threads >= base_threads + opened; }, settings.Limit);
  const std::chrono::duration<double> elapsed = Clock::now() - start;
  if (!sound) {
    std::printf("  the server gave %d of %d connections a worker within %d ms\n",
                server.ThreadCount(), opened, limit_ms);
  }
  std::printf(
      "  opened %d in %.2f s (%.0f/s); slowest connect %.1f ms, %d took >= 1 s; "
      "listen overflows %lld (system-wide)\n",
      opened, elapsed.count(), opened / elapsed.count(), slowest_ms, retried,
      static_cast<long long>(ReadListenOverflows() - overflows_before));
  return sound;
}

// Closes the client side, which ends every worker through the peer's close,
// and waits for the threads to go. False when they did not within the limit.
bool CloseConnections(TKorvi& server, const TSettings& settings, int base_threads,
                      std::vector<TLoopbackConnection>& connections) {
  const Clock::time_point start = Clock::now();
  connections.clear();
  const bool drained = WaitFor([&] { return server.ThreadCount() == 0; }, settings.Limit);
  const std::chrono::duration<double> elapsed = Clock::now() - start;
  // The system threads of ended workers stay parked for a while, for later
  // connections; they go by themselves once they have waited long enough.
  const bool unparked =
      drained &&
      WaitFor([&] { return ReadProcessStatus().Threads <= base_threads; }, settings.Limit);
  const std::chrono::duration<double> gone = Clock::now() - start;
  if (drained) {
    std::printf(
        "  all workers ended %.2f s after the clients closed; their system threads %s %.2f s\n",
        elapsed.count(), unparked ? "were gone after" : "were still parked after", gone.count());
  } else {
    std::printf("  %d workers still live %lld ms after the clients closed\n", server.ThreadCount(),
                static_cast<long long>(settings.Limit.count()));
  }
  return drained;
}

int Measure(TKorvi& server, const TSettings& settings, int cycles) {
  std::printf(
      "bench_connections: %d connections, window %d, %d cycle(s), server on "
      "127.0.0.1:%d, open-file limit %lld\n",
      settings.Connections, settings.Window, cycles, server.ServerPort(),
      static_cast<long long>(settings.Descriptors));
  const TProcessStatus before = ReadProcessStatus();
  PrintStatus("before", before, server.ThreadCount());
  for (int cycle = 1; cycle <= cycles; ++cycle) {
    std::printf("cycle %d\n", cycle);
    if (!TimeRequests(server, settings, "alone")) return 1;
    std::vector<TLoopbackConnection> connections;
    connections.reserve(static_cast<std::size_t>(settings.Connections));
    const bool opened = OpenConnections(server, settings, before.Threads, connections);
    std::this_thread::sleep_for(kFirstReadPause);
    const bool served = TimeRequests(server, settings, "beside them");
    const TProcessStatus during = ReadProcessStatus();
    PrintStatus("with connections", during, server.ThreadCount());
    if (!connections.empty()) {
      const double count = static_cast<double>(connections.size());
      std::printf("  per connection: RSS %.1f KiB, VmSize %.1f KiB, threads %.2f\n",
                  static_cast<double>(during.ResidentBytes - before.ResidentBytes) / count / 1024,
                  static_cast<double>(during.VirtualBytes - before.VirtualBytes) / count / 1024,
                  (during.Threads - before.Threads) / count);
    }
    const bool closed = CloseConnections(server, settings, before.Threads, connections);
    PrintStatus("after closing", ReadProcessStatus(), server.ThreadCount());
    if (!opened || !served || !closed) return 1;
  }
  return 0;
}

int Main(int argc, char** argv) {
  TBenchOptions options(
      "bench_connections",
      "Opens idle connections (each sends part of a request line) to an\n"
      "in-process server on 127.0.0.1; prints memory and threads per connection,\n"
      "times requests served before and beside them, then closes them and\n"
      "waits for the worker threads to end.",
      {{"connections", 2000, "idle connections to open"},
       {"window", 4, "connections that may wait for the server's accept at once"},
       {"cycles", 1, "times to open and close the connections"},
       {"requests", 3000, "requests timed before the connections open and while they are open"},
       {"limit-ms", 30000, "limit of every wait (connect, accept, threads ending)"}});
  if (const auto exit_code = options.Parse(argc, argv)) return *exit_code;
  TSettings settings{static_cast<int>(options.Get("connections")),
                     static_cast<int>(options.Get("window")),
                     std::chrono::milliseconds(std::max(1LL, options.Get("limit-ms"))), 0,
                     static_cast<int>(std::max(1LL, options.Get("requests")))};
  const int cycles = static_cast<int>(options.Get("cycles"));

  settings.Descriptors = RaiseDescriptorLimit(static_cast<std::int64_t>(settings.Connections) *
                                                  kDescriptorsPerConnection +
                                              kSpareDescriptors);
  const int affordable =
      static_cast<int>((settings.Descriptors - kSpareDescriptors) / kDescriptorsPerConnection);
  if (affordable < settings.Connections) {
    std::printf("open-file limit %lld allows %d connections, not %d\n",
                static_cast<long long>(settings.Descriptors), affordable, settings.Connections);
    settings.Connections = std::max(0, affordable);
  }
  // Every step waits at most the limit; connects the kernel retries add
  // seconds each. The watchdog ends anything longer.
  const TWatchdog watchdog(options.Program(), std::chrono::seconds(300) +
                                                  std::chrono::duration_cast<std::chrono::seconds>(
                                                      (4 * cycles + 1) * settings.Limit));
  const TDocumentTree tree;
  tree.Write("small.htm", kSmallBytes);
  return RunWithServer(options.Program(), tree.Root(),
                       [&](TKorvi& server) { return Measure(server, settings, cycles); });
}

}  // namespace
}  // namespace korvi::bench

int main(int argc, char** argv) {
  return korvi::bench::GuardedMain("bench_connections", korvi::bench::Main, argc, argv);
}
