// bench_sessions: how long a StartSession waits while the expiry scan walks
// a large session store. Before each of --scans rounds the store is filled
// anew with --sessions sessions, of which --expired-percent are already
// expired. Then one thread calls StartSession back to back for a returning
// client (a request with the cookie of a live session), timing each call,
// while the main thread runs the expiry scan the store's timer runs once a
// minute. For comparison, the same thread then times its calls for as long
// again without a scan: on a busy machine its longest wait shows what the
// scheduler alone costs.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench_options.h"
#include "bench_runner.h"
#include "korvi/host/sysutils.h"
#include "korvi/server/korvi_thread.h"
#include "korvi/session/korvi_sessions.h"
#include "korvi/web/korvi_request.h"
#include "korvi/web/korvi_response.h"

namespace korvi::bench {
namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::duration<double, std::milli>;

constexpr TDateTime kMinute = 1.0 / 1440;

// A request from one client, carrying `cookie` when not empty.
class Visit {
 public:
  explicit Visit(const std::string& cookie = "") : thread_(-1), request_(&thread_) {
    thread_.HeaderLines.Add("remote-address=127.0.0.1");
    if (!cookie.empty()) thread_.HeaderLines.Add("cookie=" + cookie);
  }
  // Starts (or restarts) the request's session, expiring `expiration`;
  // returns the session cookie "name=ID".
  std::string Start(TKorviSessions& store, TDateTime expiration) {
    TKorviResponse response(&request_);
    store.StartSession(request_, response, expiration);
    return store.CookieName() + "=" + response.GetCookieValue(store.CookieName());
  }

 private:
  TKorviThread thread_;
  TKorviRequest request_;
};

// Empties the store and fills it with `count` new sessions,
// `expired_percent` of them expired. Returns the cookie of a live one.
std::string Fill(TKorviSessions& store, int count, int expired_percent) {
  store.CloseAllSessions();
  Visit visit;
  const TDateTime now = Now();
  for (int i = 0; i < count; ++i)
    visit.Start(store, i % 100 < expired_percent ? now - kMinute : now + 60 * kMinute);
  return visit.Start(store, now + 60 * kMinute);
}

// Milliseconds of each StartSession call `client` makes, back to back,
// until `stop` is set; `ready` is set before the first.
std::vector<double> TimeStarts(TKorviSessions& store, const std::string& client,
                               std::atomic<bool>& stop, std::atomic<bool>& ready) {
  Visit visit(client);
  std::vector<double> waits;
  ready = true;
  while (!stop) {
    const Clock::time_point start = Clock::now();
    visit.Start(store, Now() + 60 * kMinute);
    waits.push_back(Millis(Clock::now() - start).count());
  }
  std::sort(waits.begin(), waits.end());
  return waits;
}

struct TRoundFigures {
  double ScanMs = 0;
  int Dropped = 0;
  std::vector<double> ScanWaits;   // ms, sorted: StartSession calls during the scan
  std::vector<double> QuietWaits;  // ms, sorted: as many ms afterwards, no scan
};

// One round: the scan on this thread while `client` restarts its session on
// another, then the client alone for as long.
TRoundFigures MeasureRound(TKorviSessions& store, const std::string& client) {
  TRoundFigures figures;
  std::atomic<bool> stop{false}, ready{false};
  std::thread during([&] { figures.ScanWaits = TimeStarts(store, client, stop, ready); });
  while (!ready)
    std::this_thread::yield();
  const int before = store.GetSessionCount();
  const Clock::time_point start = Clock::now();
  store.RemoveExpired(Now());
  const Clock::duration scan = Clock::now() - start;
  figures.ScanMs = Millis(scan).count();
  stop = true;
  during.join();
  figures.Dropped = before - store.GetSessionCount();

  stop = false;
  ready = false;
  std::thread after([&] { figures.QuietWaits = TimeStarts(store, client, stop, ready); });
  while (!ready)
    std::this_thread::yield();
  std::this_thread::sleep_for(scan);
  stop = true;
  after.join();
  return figures;
}

// The count, median, 99th percentile and maximum of sorted `waits`.
void PrintWaits(const std::vector<double>& waits) {
  if (waits.empty()) {
    std::printf(" %8d %10s %10s %10s", 0, "-", "-", "-");
    return;
  }
  std::printf(" %8zu %10.4f %10.4f %10.3f", waits.size(), waits[waits.size() / 2],
              waits[waits.size() * 99 / 100], waits.back());
}

int Main(int argc, char** argv) {
  TBenchOptions options(
      "bench_sessions",
      "The longest wait of a StartSession while the expiry scan walks a large store.",
      {{"sessions", 100000, "sessions in the store when a scan begins"},
       {"expired-percent", 50, "share of them already expired"},
       {"scans", 5, "scans measured"},
       {"target-ms", 10, "exit code 1 when the longest wait is longer"}});
  if (const auto exit_code = options.Parse(argc, argv)) return *exit_code;
  const int sessions = static_cast<int>(std::max(1LL, options.Get("sessions")));
  const int expired_percent =
      static_cast<int>(std::clamp(options.Get("expired-percent"), 0LL, 100LL));
  const int scans = static_cast<int>(std::max(1LL, options.Get("scans")));
  TWatchdog watchdog("bench_sessions", std::chrono::seconds(600));

  TKorviSessions store(nullptr);
  std::printf("bench_sessions: %d sessions, %d %% expired, %d scans; waits in ms\n", sessions,
              expired_percent, scans);
  std::printf("%4s %9s %8s | %8s %10s %10s %10s | %8s %10s %10s %10s\n", "scan", "scan ms",
              "dropped", "calls", "p50", "p99", "max", "quiet", "p50", "p99", "max");
  double longest = 0;
  for (int scan = 1; scan <= scans; ++scan) {
    const std::string client = Fill(store, sessions, expired_percent);
    const TRoundFigures figures = MeasureRound(store, client);
    if (!figures.ScanWaits.empty()) longest = std::max(longest, figures.ScanWaits.back());
    std::printf("%4d %9.1f %8d |", scan, figures.ScanMs, figures.Dropped);
    PrintWaits(figures.ScanWaits);
    std::printf(" |");
    PrintWaits(figures.QuietWaits);
    std::printf("\n");
    std::fflush(stdout);
  }
  const double target = static_cast<double>(options.Get("target-ms"));
  std::printf("longest wait %.3f ms (target under %.0f ms)\n", longest, target);
  return longest < target ? 0 : 1;
}

}  // namespace
}  // namespace korvi::bench

int main(int argc, char** argv) {
  return korvi::bench::GuardedMain("bench_sessions", korvi::bench::Main, argc, argv);
}
