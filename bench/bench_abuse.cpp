// bench_abuse: an in-process TKorvi under abuse, each scenario bounded and on
// 127.0.0.1 only.
//   1. Slow clients: --slow connections each send their request one byte a
//      second while --normal client threads fetch a small file over and
//      over; prints the normal clients' latency and whether every answer,
//      slow or normal, came whole.
//   2. Life timer: a client that connects and never sends, and one that asks
//      for a large file and never reads it; prints when the life timer
//      (--life seconds) ended each.
//   3. Descriptors: with the open-file limit lowered to leave --room free
//      descriptors, --crowd silent clients connect; prints how many the
//      server kept and how many it refused at once, how long it took to give
//      every descriptor back after they left, and whether it then serves
//      every request again.
//   4. Connection caps: with MaxConnections (then MaxConnectionsPerAddress)
//      at --cap, --crowd silent clients connect; prints how many a worker
//      kept and how many got the 503 page, and whether the refusal event and
//      the server's counters agree with what the clients saw.
//   5. Idle kept connections: in the HTTP/1.1 profile, --idle clients each
//      make one request on a kept connection and then stay silent while
//      --normal client threads fetch the small file over and over; prints
//      when the server closed the idle ones (KeepAliveTimeout is
//      --keep-alive seconds) and the normal clients' latency.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <stdexcept>
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

const std::string kSmallRequest = "GET /small.htm HTTP/1.0\r\n\r\n";
const std::string kLargeRequest = "GET /large.bin HTTP/1.0\r\n\r\n";
const std::string kKeptRequest = "GET /small.htm HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
// Limit of every client wait that should end quickly.
constexpr int kTimeoutMs = 10000;

struct TSettings {
  int Slow;
  int Normal;
  int LifeSeconds;
  int Room;
  int Crowd;
  int Cap;
  long long LargeBytes;
  int Idle;
  int KeepAliveSeconds;
};

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Waits (polling every 10 ms) until `done()` or `limit` passed; false then.
template <typename Done>
bool WaitUntil(Done done, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

int OpenDescriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

double Mib(std::int64_t bytes) {
  return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

// ---- 1. Slow clients ----------------------------------------------------

// One slow connection: a plain socket fed one byte at a time.
struct TSlowClient {
  TFileDescriptor Socket;
  std::size_t Sent = 0;
  std::string Answer;
  bool Ended = false;
};

TFileDescriptor ConnectNonBlocking(int port) {
  TLoopbackConnection connection(port, kTimeoutMs);
  TFileDescriptor socket(dup(connection.Handle()));
  if (socket.Valid()) fcntl(socket.Get(), F_SETFL, O_NONBLOCK);
  return socket;
}

// Reads what each client can read now; true once every one has ended.
bool ReadSlowAnswers(std::vector<TSlowClient>& clients) {
  bool all_ended = true;
  for (TSlowClient& client : clients) {
    char buffer[16384];
    while (!client.Ended) {
      const ssize_t got = recv(client.Socket.Get(), buffer, sizeof buffer, 0);
      if (got > 0) {
        client.Answer.append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EAGAIN) {
        client.Ended = true;
      } else {
        break;
      }
    }
    all_ended = all_ended && client.Ended;
  }
  return all_ended;
}

// The normal clients' figures.
struct TNormalResult {
  std::mutex Lock;
  std::vector<double> LatencyMs;
  std::int64_t Errors = 0;
  std::string FirstError;
};

void RunNormalClient(int port, std::int64_t expected_bytes, const std::atomic<bool>& stop,
                     TNormalResult& result) {
  while (!stop) {
    const Clock::time_point start = Clock::now();
    std::string error;
    try {
      TLoopbackConnection connection(port, kTimeoutMs);
      connection.Send(kSmallRequest);
      const THttpAnswer answer = connection.ReadAnswer();
      if (!IsCompleteOk(answer) || answer.TotalBytes != expected_bytes) error = "incomplete answer";
    } catch (const std::exception& e) {
      error = e.what();
    }
    const double ms = SecondsSince(start) * 1000.0;
    std::lock_guard<std::mutex> lock(result.Lock);
    if (error.empty()) {
      result.LatencyMs.push_back(ms);
    } else if (result.Errors++ == 0) {
      result.FirstError = error;
    }
  }
}

// Prints the normal clients' answers, errors and latency (sorting it).
void PrintNormalResult(int threads, TNormalResult& normal) {
  std::sort(normal.LatencyMs.begin(), normal.LatencyMs.end());
  std::printf(
      "   normal clients: %d threads, %zu answers, %lld errors, p50 %.2f ms, p99 %.2f ms,"
      " max %.2f ms\n",
      threads, normal.LatencyMs.size(), static_cast<long long>(normal.Errors),
      Percentile(normal.LatencyMs, 0.5), Percentile(normal.LatencyMs, 0.99),
      normal.LatencyMs.empty() ? 0.0 : normal.LatencyMs.back());
  if (normal.Errors > 0) std::printf("   first error: %s\n", normal.FirstError.c_str());
}

// The size of the whole answer to kSmallRequest, once the server has
// ended the probe's connection.
std::int64_t SmallAnswerBytes(TKorvi& server) {
  TLoopbackConnection probe(server.ServerPort(), kTimeoutMs);
  probe.Send(kSmallRequest);
  const std::int64_t answer_bytes = probe.ReadAnswer().TotalBytes;
  probe.Close();
  WaitUntil([&] { return server.ThreadCount() == 0; }, std::chrono::seconds(10));
  return answer_bytes;
}

// --normal threads running RunNormalClient until destroyed.
class TNormalClients {
 public:
  TNormalClients(int port, int count, std::int64_t answer_bytes) {
    for (int i = 0; i < count; ++i)
      threads_.emplace_back(
          [this, port, answer_bytes] { RunNormalClient(port, answer_bytes, stop_, result_); });
  }
  ~TNormalClients() { Stop(); }
  TNormalClients(const TNormalClients&) = delete;
  TNormalClients& operator=(const TNormalClients&) = delete;
  // Stops the clients and returns their figures.
  TNormalResult& Stop() {
    stop_ = true;
    for (std::thread& thread : threads_)
      thread.join();
    threads_.clear();
    return result_;
  }

 private:
  std::atomic<bool> stop_{false};
  TNormalResult result_;
  std::vector<std::thread> threads_;
};

bool RunSlowClients(TKorvi& server, const TSettings& settings) {
  const int port = server.ServerPort();
  const std::int64_t answer_bytes = SmallAnswerBytes(server);

  const TProcessStatus before = ReadProcessStatus();
  const Clock::time_point open_start = Clock::now();
  std::vector<TSlowClient> slow(static_cast<std::size_t>(settings.Slow));
  int refused = 0;
  for (TSlowClient& client : slow) {
    try {
      client.Socket = ConnectNonBlocking(port);
    } catch (const std::exception&) {
      ++refused;
      client.Ended = true;
    }
  }
  const int connected = settings.Slow - refused;
  WaitUntil([&] { return server.ThreadCount() >= connected; }, std::chrono::seconds(60));
  std::printf("1. slow clients: %d connected in %.2f s (%d failed), %d worker threads\n", connected,
              SecondsSince(open_start), refused, server.ThreadCount());

  TNormalClients normal_clients(port, settings.Normal, answer_bytes);
  // One byte a second to every slow client, until every request is out.
  const Clock::time_point send_start = Clock::now();
  int peak_threads = 0;
  std::int64_t peak_rss = 0;
  for (std::size_t byte = 0; byte < kSmallRequest.size(); ++byte) {
    for (TSlowClient& client : slow) {
      if (client.Ended) continue;
      if (send(client.Socket.Get(), kSmallRequest.data() + byte, 1, MSG_NOSIGNAL) == 1) {
        ++client.Sent;
      } else {
        client.Ended = true;
      }
    }
    peak_threads = std::max(peak_threads, server.ThreadCount());
    peak_rss = std::max(peak_rss, ReadProcessStatus().ResidentBytes);
    std::this_thread::sleep_until(send_start + std::chrono::seconds(byte + 1));
  }
  const bool all_ended = WaitUntil([&] { return ReadSlowAnswers(slow); }, std::chrono::seconds(30));
  TNormalResult& normal = normal_clients.Stop();

  int complete = 0;
  for (const TSlowClient& client : slow) {
    if (client.Sent == kSmallRequest.size() && client.Answer.starts_with("HTTP/1.0 200 OK\r\n") &&
        static_cast<std::int64_t>(client.Answer.size()) == answer_bytes) {
      ++complete;
    }
  }
  std::printf("   slow requests: %zu bytes each over %.1f s; %d of %d answers complete%s\n",
              kSmallRequest.size(), SecondsSince(send_start), complete, settings.Slow,
              all_ended ? "" : " (some never ended)");
  PrintNormalResult(settings.Normal, normal);
  std::printf("   peak: %d worker threads, RSS %.1f MiB (%.1f MiB before)\n", peak_threads,
              Mib(peak_rss), Mib(before.ResidentBytes));
  slow.clear();
  WaitUntil([&] { return server.ThreadCount() == 0; }, std::chrono::seconds(30));
  return complete == settings.Slow && normal.Errors == 0;
}

// ---- 2. Life timer ------------------------------------------------------

bool RunLifeTimer(TKorvi& server, const TSettings& settings) {
  const int port = server.ServerPort();
  const int saved_timeout = server.Timeout;
  server.Timeout = settings.LifeSeconds;
  const int limit_ms = (3 * settings.LifeSeconds + 10) * 1000;
  std::printf("2. life timer of %d s\n", settings.LifeSeconds);

  Clock::time_point start = Clock::now();
  TLoopbackConnection silent(port, limit_ms);
  const std::int64_t silent_bytes = silent.ReadAnswer().TotalBytes;
  const double silent_seconds = SecondsSince(start);
  std::printf("   silent client: closed by the server after %.2f s, %lld bytes received\n",
              silent_seconds, static_cast<long long>(silent_bytes));
  silent.Close();
  WaitUntil([&] { return server.ThreadCount() == 0; }, std::chrono::seconds(10));

  TLoopbackConnection idle(port, limit_ms);
  const int small_buffer = 4096;
  setsockopt(idle.Handle(), SOL_SOCKET, SO_RCVBUF, &small_buffer, sizeof small_buffer);
  start = Clock::now();
  idle.Send(kLargeRequest);
  WaitUntil([&] { return server.ThreadCount() == 1; }, std::chrono::seconds(10));
  const bool ended =
      WaitUntil([&] { return server.ThreadCount() == 0; }, std::chrono::milliseconds(limit_ms));
  const double idle_seconds = SecondsSince(start);
  std::int64_t idle_bytes = 0;
  try {
    idle_bytes = idle.ReadAnswer().TotalBytes;
  } catch (const std::exception&) {
    // A reset after the unread answer: what came before it is not counted.
  }
  std::printf(
      "   non-reading client (%.0f MiB file): worker %s after %.2f s; the client then"
      " read %lld bytes\n",
      Mib(settings.LargeBytes), ended ? "ended" : "still running", idle_seconds,
      static_cast<long long>(idle_bytes));
  server.Timeout = saved_timeout;
  const double life = settings.LifeSeconds;
  return silent_bytes == 0 && silent_seconds >= life - 0.5 && ended;
}

// ---- 3. Descriptor exhaustion --------------------------------------------

bool RunDescriptorPressure(TKorvi& server, const TSettings& settings) {
  const int port = server.ServerPort();
  const int idle_descriptors = OpenDescriptors();
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  // The limit that leaves exactly `Room` free descriptor numbers below it.
  rlim_t limit = 0;
  for (int free_numbers = 0; free_numbers < settings.Room; ++limit) {
    if (fcntl(static_cast<int>(limit), F_GETFD) == -1) ++free_numbers;
  }
  rlimit squeezed = saved;
  squeezed.rlim_cur = limit;
  setrlimit(RLIMIT_NOFILE, &squeezed);
  std::printf("3. descriptors: limit %llu (%d open, room for %d more); %d silent clients\n",
              static_cast<unsigned long long>(squeezed.rlim_cur), idle_descriptors, settings.Room,
              settings.Crowd);

  std::vector<TLoopbackConnection> crowd;
  int client_failures = 0;
  for (int i = 0; i < settings.Crowd; ++i) {
    try {
      crowd.emplace_back(port, kTimeoutMs);
    } catch (const std::exception&) {
      ++client_failures;  // the client side itself found no descriptor
    }
  }
  std::vector<bool> refused(crowd.size(), false);
  int refusals = 0;
  const auto count_refusals = [&] {
    for (std::size_t i = 0; i < crowd.size(); ++i) {
      pollfd watch{crowd[i].Handle(), POLLIN, 0};
      char byte;
      if (!refused[i] && poll(&watch, 1, 0) == 1 &&
          recv(crowd[i].Handle(), &byte, 1, MSG_DONTWAIT) <= 0) {
        refused[i] = true;
        ++refusals;
      }
    }
  };
  // Settled: every client is either refused or kept by a worker, and stays
  // so for 200 ms (a worker that is failing still counts for a moment).
  const Clock::time_point start = Clock::now();
  bool sorted = false;
  while (!sorted && SecondsSince(start) < 15) {
    WaitUntil(
        [&] {
          count_refusals();
          return refusals + server.ThreadCount() == static_cast<int>(crowd.size());
        },
        std::chrono::seconds(15));
    const int seen_refusals = refusals;
    const int seen_threads = server.ThreadCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    count_refusals();
    sorted = refusals == seen_refusals && server.ThreadCount() == seen_threads &&
             refusals + seen_threads == static_cast<int>(crowd.size());
  }
  std::printf(
      "   %s after %.2f s: %d kept by a worker, %d refused by the server, %d clients"
      " could not open a socket\n",
      sorted ? "settled" : "NOT settled", SecondsSince(start), server.ThreadCount(), refusals,
      client_failures);

  crowd.clear();
  const Clock::time_point left = Clock::now();
  const bool recovered =
      WaitUntil([&] { return server.ThreadCount() == 0 && OpenDescriptors() == idle_descriptors; },
                std::chrono::seconds(15));
  std::printf("   clients gone: every descriptor %s after %.2f s (%d open, %d before)\n",
              recovered ? "back" : "NOT back", SecondsSince(left), OpenDescriptors(),
              idle_descriptors);
  setrlimit(RLIMIT_NOFILE, &saved);

  int served = 0;
  constexpr int kAfter = 200;
  for (int i = 0; i < kAfter; ++i) {
    try {
      TLoopbackConnection connection(port, kTimeoutMs);
      connection.Send(kSmallRequest);
      if (IsCompleteOk(connection.ReadAnswer())) ++served;
    } catch (const std::exception&) {
    }
  }
  std::printf("   afterwards: %d of %d requests served\n", served, kAfter);
  return sorted && recovered && served == kAfter && refusals > 0;
}

// True once `connection` got the 503 page and was closed.
bool GotRefusal(const TLoopbackConnection& connection, std::string& received) {
  char buffer[4096];
  ssize_t count = 0;
  while ((count = recv(connection.Handle(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
    received.append(buffer, static_cast<std::size_t>(count));
  }
  return count == 0 && received.starts_with("HTTP/1.0 503 ");
}

bool RunCap(TKorvi& server, const TSettings& settings, bool per_address) {
  std::atomic<int> events{0};
  server.OnRefused = [&events](TObject*, TKorviRefusal, const std::string&) { ++events; };
  server.MaxConnections = per_address ? 0 : settings.Cap;
  server.MaxConnectionsPerAddress = per_address ? settings.Cap : 0;
  const std::int64_t accepted_before = server.AcceptedConnections();
  const std::int64_t refused_before = server.RefusedConnections();
  std::vector<TLoopbackConnection> crowd;
  for (int i = 0; i < settings.Crowd; ++i)
    crowd.emplace_back(server.ServerPort(), kTimeoutMs);
  std::vector<std::string> received(crowd.size());
  int refusals = 0;
  const int expected = std::max(0, settings.Crowd - settings.Cap);
  WaitUntil(
      [&] {
        refusals = 0;
        for (std::size_t i = 0; i < crowd.size(); ++i)
          refusals += GotRefusal(crowd[i], received[i]);
        return refusals >= expected && server.ThreadCount() + refusals == settings.Crowd;
      },
      std::chrono::seconds(15));
  const std::int64_t accepted = server.AcceptedConnections() - accepted_before;
  const std::int64_t refused = server.RefusedConnections() - refused_before;
  std::printf(
      "4. %s %d, %d silent clients: %d kept by a worker, %d got the 503 page;"
      " server counted %lld accepted, %lld refused, %d refusal events\n",
      per_address ? "MaxConnectionsPerAddress" : "MaxConnections", settings.Cap, settings.Crowd,
      server.ThreadCount(), refusals, static_cast<long long>(accepted),
      static_cast<long long>(refused), events.load());
  const bool agree = server.ThreadCount() == std::min(settings.Cap, settings.Crowd) &&
                     refusals == expected && refused == refusals && events == refusals &&
                     accepted == server.ThreadCount();
  crowd.clear();
  WaitUntil([&] { return server.ThreadCount() == 0; }, std::chrono::seconds(15));
  server.MaxConnections = 0;
  server.MaxConnectionsPerAddress = 0;
  server.OnRefused = nullptr;
  return agree;
}

bool RunConnectionCaps(TKorvi& server, const TSettings& settings) {
  const bool total = RunCap(server, settings, false);
  return RunCap(server, settings, true) && total;
}

// ---- 5. Idle kept connections --------------------------------------------

// One kept connection: when its answer was in, and when the server closed it.
struct TIdleClient {
  TLoopbackConnection Connection;
  Clock::time_point Answered;
  double ClosedAfter = -1;  // seconds after Answered; -1 while open
};

// Opens `count` kept connections, each with one answered request; those
// whose answer is not a complete "200 OK" that keeps the connection are
// left out.
std::vector<TIdleClient> OpenIdleClients(int port, int count) {
  std::vector<TIdleClient> clients;
  clients.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    try {
      TLoopbackConnection connection(port, kTimeoutMs);
      connection.Send(kKeptRequest);
      const THttpAnswer answer = connection.ReadKeptAnswer();
      if (IsCompleteOk(answer) && answer.Head.find("Connection: close") == std::string::npos) {
        clients.push_back({std::move(connection), Clock::now()});
      }
    } catch (const std::exception&) {
    }
  }
  return clients;
}

// Waits up to `limit` for the server to close every client, noting when
// it closed each; returns how many it closed.
int WatchIdleClients(std::vector<TIdleClient>& clients, std::chrono::milliseconds limit) {
  std::vector<pollfd> watch;
  for (const TIdleClient& client : clients)
    watch.push_back({client.Connection.Handle(), POLLIN, 0});
  const Clock::time_point deadline = Clock::now() + limit;
  int closed = 0;
  while (closed < static_cast<int>(clients.size()) && Clock::now() < deadline) {
    if (poll(watch.data(), watch.size(), 10) <= 0) continue;
    for (std::size_t i = 0; i < watch.size(); ++i) {
      char byte;
      if (watch[i].revents == 0 || recv(watch[i].fd, &byte, 1, MSG_DONTWAIT) > 0) continue;
      clients[i].ClosedAfter = SecondsSince(clients[i].Answered);
      watch[i].fd = -1;  // poll skips it from now on
      ++closed;
    }
  }
  return closed;
}

bool RunIdleKeptConnections(TKorvi& server, const TSettings& settings) {
  const int port = server.ServerPort();
  server.HTTP11 = true;
  server.KeepAliveTimeout = settings.KeepAliveSeconds;
  const std::int64_t answer_bytes = SmallAnswerBytes(server);
  std::printf("5. idle kept connections: HTTP/1.1 profile, KeepAliveTimeout %d s, %d clients\n",
              settings.KeepAliveSeconds, settings.Idle);

  TNormalClients normal_clients(port, settings.Normal, answer_bytes);
  const Clock::time_point open_start = Clock::now();
  std::vector<TIdleClient> idle = OpenIdleClients(port, settings.Idle);
  const int kept = static_cast<int>(idle.size());
  std::printf("   %d of %d answered and kept in %.2f s; server: %d idle, %d worker threads\n", kept,
              settings.Idle, SecondsSince(open_start), server.IdleConnections(),
              server.ThreadCount());
  const double limit = settings.KeepAliveSeconds;
  const double bound = 1.0;
  const int closed =
      WatchIdleClients(idle, std::chrono::milliseconds(static_cast<int>((2 * limit + 10) * 1000)));
  TNormalResult& normal = normal_clients.Stop();

  int in_time = 0;
  double earliest = limit * 10;
  double latest = 0;
  for (const TIdleClient& client : idle) {
    if (client.ClosedAfter < 0) continue;
    earliest = std::min(earliest, client.ClosedAfter);
    latest = std::max(latest, client.ClosedAfter);
    if (client.ClosedAfter >= limit - 0.05 && client.ClosedAfter <= limit + bound) ++in_time;
  }
  std::printf(
      "   closed by the server: %d of %d, after %.2f to %.2f s; %d within %.0f s + %.1f s\n",
      closed, kept, closed > 0 ? earliest : 0.0, latest, in_time, limit, bound);
  PrintNormalResult(settings.Normal, normal);
  idle.clear();
  WaitUntil([&] { return server.ThreadCount() == 0; }, std::chrono::seconds(15));
  server.HTTP11 = false;
  return kept == settings.Idle && in_time == kept && normal.Errors == 0;
}

int Main(int argc, char** argv) {
  TBenchOptions options(
      "bench_abuse",
      "The server under abuse on 127.0.0.1: slow clients beside normal ones,\n"
      "clients ended by the life timer, descriptor exhaustion and recovery,\n"
      "connection caps, and idle kept connections closed after their limit.",
      {{"only", 0, "run only this scenario (1 to 5; 0: all)"},
       {"slow", 2000, "slow clients, each sending one byte a second"},
       {"normal", 16, "normal client threads beside them"},
       {"life", 6, "life timer of the connections in scenario 2, seconds (over 5)"},
       {"large-bytes", 64 * 1024 * 1024, "size of the file the non-reading client asks for"},
       {"room", 100, "free descriptors left in scenario 3"},
       {"crowd", 60, "silent clients in scenarios 3 and 4"},
       {"cap", 40, "connection cap in scenario 4"},
       {"idle", 2000, "idle kept connections in scenario 5"},
       {"keep-alive", 5, "KeepAliveTimeout in scenario 5, seconds"},
       {"batch", 0, "1: workers under the batch scheduling policy, as korvi-serve runs them"}});
  if (const auto exit_code = options.Parse(argc, argv)) return *exit_code;
  const TSettings settings{static_cast<int>(options.Get("slow")),
                           static_cast<int>(options.Get("normal")),
                           static_cast<int>(std::max(6LL, options.Get("life"))),
                           static_cast<int>(options.Get("room")),
                           static_cast<int>(options.Get("crowd")),
                           static_cast<int>(options.Get("cap")),
                           options.Get("large-bytes"),
                           static_cast<int>(options.Get("idle")),
                           static_cast<int>(std::max(1LL, options.Get("keep-alive")))};
  const long long only = options.Get("only");
  const bool batch = options.Get("batch") != 0;
  // Each slow or idle client costs four descriptors: its own socket and
  // the worker's socket, epoll set and eventfd.
  const std::int64_t needed =
      4LL * (std::max(settings.Slow, settings.Idle) + settings.Normal) + 200;
  const std::int64_t limit = RaiseDescriptorLimit(needed);
  if (limit < needed) {
    std::printf("open-file limit %lld is too low for %d slow or idle clients\n",
                static_cast<long long>(limit), std::max(settings.Slow, settings.Idle));
    return 1;
  }
  const TDocumentTree tree;
  tree.Write("small.htm", 1024);
  tree.Write("large.bin", static_cast<std::size_t>(settings.LargeBytes));
  const TWatchdog watchdog(
      options.Program(),
      std::chrono::seconds(300 + 4 * (settings.LifeSeconds + settings.KeepAliveSeconds)));
  return RunWithServer(
      options.Program(), tree.Root(),
      [&](TKorvi& server) {
        bool sound = true;
        if (only == 0 || only == 1) sound = RunSlowClients(server, settings) && sound;
        if (only == 0 || only == 2) sound = RunLifeTimer(server, settings) && sound;
        if (only == 0 || only == 3) sound = RunDescriptorPressure(server, settings) && sound;
        if (only == 0 || only == 4) sound = RunConnectionCaps(server, settings) && sound;
        if (only == 0 || only == 5) sound = RunIdleKeptConnections(server, settings) && sound;
        std::fflush(stdout);
        return sound ? 0 : 1;
      },
      [batch](TKorvi& server) { server.BatchScheduling = batch; });
}

}  // namespace
}  // namespace korvi::bench

int main(int argc, char** argv) {
  return korvi::bench::GuardedMain("bench_abuse", korvi::bench::Main, argc, argv);
}
