// bench_requests: request throughput and latency of an in-process TKorvi.
// Client threads fetch a small file, then (in a second phase of the same
// length) a 1 MiB file, each with sequential HTTP/1.0 GET requests over
// 127.0.0.1, and the program prints requests/s, MiB/s and latency
// percentiles per file, with the answers that took a second or more and the
// kernel's listen-queue overflows (system-wide) during the phase. It stops
// by itself after the two phases.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_options.h"
#include "bench_runner.h"
#include "document_tree.h"
#include "loopback_client.h"
#include "process_status.h"

namespace korvi::bench {
namespace {

using Clock = std::chrono::steady_clock;

// What the clients of one phase measured together.
struct TPhaseResult {
  std::int64_t Requests = 0;  // answered completely with 200 OK
  std::int64_t Errors = 0;    // refused, timed out, short or not 200
  std::int64_t Bytes = 0;     // received in complete answers, head included
  double Seconds = 0;
  std::vector<double> LatencyMs;  // per complete answer: connect to close
  std::string FirstError;
  std::int64_t ListenOverflows = 0;  // full accept queues met, system-wide
};

// Collects the clients' figures as they finish.
class TPhaseCollector {
 public:
  void Add(const TPhaseResult& client) {
    std::lock_guard<std::mutex> lock(lock_);
    total_.Requests += client.Requests;
    total_.Errors += client.Errors;
    total_.Bytes += client.Bytes;
    total_.LatencyMs.insert(total_.LatencyMs.end(), client.LatencyMs.begin(),
                            client.LatencyMs.end());
    if (total_.FirstError.empty()) total_.FirstError = client.FirstError;
  }
  TPhaseResult Take(double seconds) {
    std::lock_guard<std::mutex> lock(lock_);
    total_.Seconds = seconds;
    std::sort(total_.LatencyMs.begin(), total_.LatencyMs.end());
    return std::move(total_);
  }

 private:
  std::mutex lock_;
  TPhaseResult total_;
};

// One client: sequential requests for `path` until `deadline`.
TPhaseResult RunClient(int port, const std::string& path, Clock::time_point deadline,
                       int timeout_ms) {
  const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  TPhaseResult result;
  while (Clock::now() < deadline) {
    const Clock::time_point start = Clock::now();
    try {
      TLoopbackConnection connection(port, timeout_ms);
      connection.Send(request);
      const THttpAnswer answer = connection.ReadAnswer();
      if (!IsCompleteOk(answer)) {
        throw std::runtime_error("incomplete or failed answer: " +
                                 answer.Head.substr(0, answer.Head.find('\r')));
      }
      const std::chrono::duration<double, std::milli> latency = Clock::now() - start;
      result.LatencyMs.push_back(latency.count());
      result.Bytes += answer.TotalBytes;
      ++result.Requests;
    } catch (const std::exception& e) {
      ++result.Errors;
      if (result.FirstError.empty()) result.FirstError = e.what();
    }
  }
  return result;
}

TPhaseResult RunPhase(int port, const std::string& path, int clients, std::chrono::seconds length,
                      int timeout_ms) {
  TPhaseCollector collector;
  const std::int64_t overflows_before = ReadListenOverflows();
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + length;
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&] { collector.Add(RunClient(port, path, deadline, timeout_ms)); });
  }
  for (std::thread& thread : threads)
    thread.join();
  const std::chrono::duration<double> elapsed = Clock::now() - start;
  TPhaseResult total = collector.Take(elapsed.count());
  total.ListenOverflows = ReadListenOverflows() - overflows_before;
  return total;
}

void PrintPhase(const std::string& label, const TPhaseResult& phase) {
  const double mib = static_cast<double>(phase.Bytes) / (1024.0 * 1024.0);
  // Answers that took a second or more waited for the kernel to retry the
  // connection: the listener's backlog was full.
  const auto slow = phase.LatencyMs.end() -
                    std::lower_bound(phase.LatencyMs.begin(), phase.LatencyMs.end(), 1000.0);
  std::printf("%-22s %9lld %7lld %10.1f %9.1f %8.2f %8.2f %8.2f %6lld %9lld\n", label.c_str(),
              static_cast<long long>(phase.Requests), static_cast<long long>(phase.Errors),
              static_cast<double>(phase.Requests) / phase.Seconds, mib / phase.Seconds,
              Percentile(phase.LatencyMs, 0.50), Percentile(phase.LatencyMs, 0.99),
              phase.LatencyMs.empty() ? 0.0 : phase.LatencyMs.back(), static_cast<long long>(slow),
              static_cast<long long>(phase.ListenOverflows));
  if (!phase.FirstError.empty()) std::printf("  first error: %s\n", phase.FirstError.c_str());
}

struct TSettings {
  int Clients;
  std::chrono::seconds Length;  // of each phase
  int TimeoutMs;                // limit of every client wait
  long long SmallBytes;
  long long LargeBytes;
};

// Both phases against `server`; 1 when any request failed.
int RunPhases(TKorvi& server, const TSettings& settings) {
  std::printf("bench_requests: %d clients, %lld s per phase, server on 127.0.0.1:%d\n",
              settings.Clients, static_cast<long long>(settings.Length.count()),
              server.ServerPort());
  std::printf("%-22s %9s %7s %10s %9s %8s %8s %8s %6s %9s\n", "file", "requests", "errors", "req/s",
              "MiB/s", "p50 ms", "p99 ms", "max ms", ">=1 s", "overflows");
  const struct {
    const char* path;
    const char* label;
    long long bytes;
  } phases[] = {{"/small.htm", "small.htm", settings.SmallBytes},
                {"/large.bin", "large.bin", settings.LargeBytes}};
  bool failed = false;
  for (const auto& phase : phases) {
    const TPhaseResult measured = RunPhase(server.ServerPort(), phase.path, settings.Clients,
                                           settings.Length, settings.TimeoutMs);
    PrintPhase(std::string(phase.label) + " (" + std::to_string(phase.bytes) + " B)", measured);
    std::fflush(stdout);
    failed = failed || measured.Errors > 0;
  }
  return failed ? 1 : 0;
}

int Main(int argc, char** argv) {
  TBenchOptions options(
      "bench_requests",
      "Sequential HTTP/1.0 GETs of a small and a large file from an in-process\n"
      "server on 127.0.0.1, one phase per file; prints requests/s, MiB/s and\n"
      "latency (connect to close) percentiles.",
      {{"clients", 8, "client threads"},
       {"seconds", 5, "length of each phase"},
       {"small-bytes", 1024, "size of the small file"},
       {"large-bytes", 1024 * 1024, "size of the large file"},
       {"timeout-ms", 10000, "limit of every client wait (connect, send, each read)"}});
  if (const auto exit_code = options.Parse(argc, argv)) return *exit_code;
  const TSettings settings{static_cast<int>(std::max(1LL, options.Get("clients"))),
                           std::chrono::seconds(options.Get("seconds")),
                           static_cast<int>(std::max(1LL, options.Get("timeout-ms"))),
                           options.Get("small-bytes"), options.Get("large-bytes")};

  const TDocumentTree tree;
  tree.Write("small.htm", static_cast<std::size_t>(settings.SmallBytes));
  tree.Write("large.bin", static_cast<std::size_t>(settings.LargeBytes));
  // The longest a sound run can take: both phases plus the last waits.
  const TWatchdog watchdog(
      options.Program(),
      2 * settings.Length + std::chrono::seconds(2 * settings.TimeoutMs / 1000 + 30));
  return RunWithServer(options.Program(), tree.Root(),
                       [&](TKorvi& server) { return RunPhases(server, settings); });
}

}  // namespace
}  // namespace korvi::bench

int main(int argc, char** argv) {
  return korvi::bench::GuardedMain("bench_requests", korvi::bench::Main, argc, argv);
}
