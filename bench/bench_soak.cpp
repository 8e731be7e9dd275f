// bench_soak: a long run of mixed requests against an in-process TKorvi on
// 127.0.0.1: files small and large, a directory listing, error pages (404,
// 400, 501), a HEAD, an action with a query, multipart uploads to an action
// (a small one, and one kept in a temporary file), a GET announcing a body
// too long to read, an action that keeps a visit count in each client's
// session, and a dynamic page that runs a named query on SQLite. Every answer must come whole and
// as long as the first answer of its kind (the pages do not change during the run). Prints, per
// report period, the requests and failures so far, the resident memory and the thread count, so a
// leak shows as memory that keeps growing after warm-up. Stops by itself after --seconds.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_options.h"
#include "bench_runner.h"
#include "document_tree.h"
#include "korvi/data/data_module.h"
#include "korvi/data/param.h"
#include "korvi/data/query.h"
#include "korvi/dynamic/korvi_processor.h"
#include "korvi/host/datetime.h"
#include "korvi/host/streams.h"
#include "korvi/session/korvi_session.h"
#include "korvi/session/korvi_sessions.h"
#include "korvi/web/action_item.h"
#include "korvi/web/korvi_request.h"
#include "korvi/web/korvi_response.h"
#include "loopback_client.h"
#include "process_status.h"

namespace korvi::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTimeoutMs = 10000;

// A multipart body with one file of `size` bytes.
std::string UploadRequest(std::size_t size) {
  const std::string file(size, 'u');
  const std::string body =
      "--soak\r\nContent-Disposition: form-data; name=\"file\"; "
      "filename=\"u.bin\"\r\n\r\n" +
      file + "\r\n--soak--\r\n";
  return "POST /upload HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=soak\r\n"
         "Content-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The mix, one request of each kind in turn.
const std::array<std::string, 13> kMix = {
    "GET /small.htm HTTP/1.0\r\n\r\n",
    "GET /large.bin HTTP/1.0\r\n\r\n",
    "GET /docs/ HTTP/1.0\r\n\r\n",
    "GET /missing.htm HTTP/1.0\r\n\r\n",
    "GET /small.htm?x=1 HTTP/1.0\r\n\r\n",
    "DELETE / HTTP/1.0\r\n\r\n",
    "HEAD /small.htm HTTP/1.0\r\n\r\n",
    "GET /act?name=soak HTTP/1.0\r\nCookie: sid=1\r\n\r\n",
    UploadRequest(10240),
    "GET /session HTTP/1.0\r\n\r\n",
    "GET /tea?kind=green HTTP/1.0\r\n\r\n",
    // Over the server's MaxBodyInMemory: the body goes to a temporary file.
    UploadRequest(2 * 1024 * 1024),
    // A GET announcing a long body is refused before the body is read.
    "GET /small.htm HTTP/1.0\r\nContent-Length: 60000000\r\n\r\n",
};
// The kind that carries the client's session cookie.
constexpr std::size_t kSessionKind = 9;

// `request` with the header "Cookie: `cookie`" added.
std::string WithCookie(const std::string& request, const std::string& cookie) {
  return request.substr(0, request.size() - 2) + "Cookie: " + cookie + "\r\n\r\n";
}

// The "name=value" of the first Set-Cookie header of `head`, or "".
std::string SetCookie(const std::string& head) {
  const std::string header = "\r\nSet-Cookie: ";
  const std::size_t start = head.find(header);
  if (start == std::string::npos) return "";
  const std::size_t from = start + header.size();
  return head.substr(from, head.find_first_of(";\r", from) - from);
}

// Totals shared by the client threads.
struct TSoak {
  std::atomic<std::int64_t> Requests{0};
  std::atomic<std::int64_t> Failures{0};
  std::mutex Lock;
  std::array<std::int64_t, kMix.size()> ExpectedBytes{};  // 0 until the first answer
  std::array<std::string, kMix.size()> ExpectedStatus{};  // the first answer's status line
  std::string FirstFailure;

  // Records one answer of kind `kind`; its status line and length must match
  // the first answer of its kind.
  void Record(std::size_t kind, const THttpAnswer& answer, const std::string& error) {
    ++Requests;
    std::lock_guard<std::mutex> lock(Lock);
    std::string problem = error;
    const std::string status = answer.Head.substr(0, answer.Head.find('\r'));
    if (problem.empty() && ExpectedBytes[kind] == 0) {
      ExpectedBytes[kind] = answer.TotalBytes;
      ExpectedStatus[kind] = status;
    }
    if (problem.empty() && status != ExpectedStatus[kind]) {
      problem = "\"" + status + "\" instead of \"" + ExpectedStatus[kind] + "\"";
    }
    if (problem.empty() && answer.TotalBytes != ExpectedBytes[kind]) {
      problem = std::to_string(answer.TotalBytes) + " bytes instead of " +
                std::to_string(ExpectedBytes[kind]);
    }
    if (problem.empty()) return;
    ++Failures;
    if (FirstFailure.empty())
      FirstFailure = kMix[kind].substr(0, kMix[kind].find('\r')) + ": " + problem;
  }
};

THttpAnswer Fetch(int port, const std::string& request) {
  TLoopbackConnection connection(port, kTimeoutMs);
  connection.Send(request);
  return connection.ReadAnswer();
}

void RunClient(int port, std::size_t first, const std::atomic<bool>& stop, TSoak& soak) {
  // The client's session, started once; every later visit must find it.
  const std::string cookie = SetCookie(Fetch(port, kMix[kSessionKind]).Head);
  for (std::size_t kind = first; !stop; kind = (kind + 1) % kMix.size()) {
    THttpAnswer answer;
    std::string error;
    try {
      answer = Fetch(port, kind == kSessionKind ? WithCookie(kMix[kind], cookie) : kMix[kind]);
    } catch (const std::exception& e) {
      error = e.what();
    }
    soak.Record(kind, answer, error);
  }
}

// What the session and page kinds need: the session store, and the page
// processor with a tea table and a named query over it.
struct TSoakPages {
  explicit TSoakPages(const std::string& root) : page(root + "/tea.htm") {
    const std::string db = root + "/soak.db";
    TQuery setup(nullptr);
    setup.SetDatabaseName(db);
    setup.SetSQL(
        "begin; create table tea(name text, kind text, price integer);"
        "insert into tea values('Sencha', 'green', 12); insert into tea values('Gyokuro', "
        "'green', 30); insert into tea values('Assam', 'black', 9); commit;");
    setup.ExecSQL();
    auto* query = new TQuery(&module);
    query->SetName("qTea");
    query->SetDatabaseName(db);
    query->SetSQL("select name, price from tea where kind = :kind order by name");
    query->Params()[0].SetDataType(ftString);
  }
  TKorviSessions sessions{nullptr};
  TDataModule module{nullptr};
  TKorviProcessor processor{nullptr};
  std::string page;
};

void AddActions(TKorvi& server, TSoakPages& pages) {
  TKActionItem* act = server.Actions()->Add();
  act->SetPathInfo("/act");
  act->SetOnAction([](TObject*, TKorviRequest* request, TKorviResponse* response, bool& handled) {
    response->SetContent("<p>" + request->GetFieldValue("name", "?") + "</p>");
    handled = true;
  });
  TKActionItem* upload = server.Actions()->Add();
  upload->SetPathInfo("/upload");
  upload->SetOnAction(
      [](TObject*, TKorviRequest* request, TKorviResponse* response, bool& handled) {
        const auto file = request->GetFileStream("file");
        response->SetContent("<p>" + std::to_string(file ? file->Size() : -1) + "</p>");
        handled = true;
      });
  TKActionItem* session = server.Actions()->Add();
  session->SetPathInfo("/session");
  session->SetOnAction(
      [&pages](TObject*, TKorviRequest* request, TKorviResponse* response, bool& handled) {
        if (const auto found = pages.sessions.GetSession(*request, *response)) {
          found->SetVariant("visits", Variant(found->GetVariant("visits").AsInteger() + 1));
          response->SetContent("<p>known</p>");
        } else {
          pages.sessions.StartSession(*request, *response, Now() + 1.0 / 24)
              ->SetVariant("visits", Variant(1));
          response->SetContent("<p>new</p>");
        }
        handled = true;
      });
  TKActionItem* tea = server.Actions()->Add();
  tea->SetPathInfo("/tea");
  tea->SetOnAction([&pages, &server](TObject*, TKorviRequest* request, TKorviResponse* response,
                                     bool& handled) {
    pages.processor.ProcessHtmlFile(&server, request, response, pages.page, {}, {&pages.module});
    handled = true;
  });
}

int Main(int argc, char** argv) {
  TBenchOptions options("bench_soak",
                        "Mixed requests against an in-process server on 127.0.0.1 for a\n"
                        "while; prints requests, failures, resident memory and threads per\n"
                        "period.",
                        {{"seconds", 600, "length of the run"},
                         {"report", 60, "seconds between two reports"},
                         {"clients", 8, "client threads"}});
  if (const auto exit_code = options.Parse(argc, argv)) return *exit_code;
  const auto length = std::chrono::seconds(std::max(1LL, options.Get("seconds")));
  const auto period = std::chrono::seconds(std::max(1LL, options.Get("report")));
  const int clients = static_cast<int>(std::max(1LL, options.Get("clients")));
  const TDocumentTree tree;
  tree.Write("small.htm", 1024);
  tree.Write("large.bin", 1024 * 1024);
  for (const char* name : {"docs/a.txt", "docs/b.htm", "docs/c.css", "docs/sub/d.txt"})
    tree.Write(name, 100);
  TSoakPages pages(tree.Root());
  {
    TFileStream page(pages.page, fmCreate);
    const std::string text =
        "<#q Action=ADDQUERY Name=qTea kind=^kind>\n<ul>\n<!LOOP DS=1>\n<li>%name%: "
        "%price%</li>\n<!ENDLOOP>\n</ul>\n";
    page.Write(text.data(), static_cast<std::int64_t>(text.size()));
  }
  const TWatchdog watchdog(options.Program(), length + std::chrono::seconds(120));
  return RunWithServer(
      options.Program(), tree.Root(),
      [&](TKorvi& server) {
        std::printf("bench_soak: %d clients, %lld s, server on 127.0.0.1:%d\n", clients,
                    static_cast<long long>(length.count()), server.ServerPort());
        std::printf("%8s %10s %9s %9s %8s\n", "seconds", "requests", "failures", "RSS MiB",
                    "threads");
        TSoak soak;
        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        for (int i = 0; i < clients; ++i) {
          threads.emplace_back(
              [&, i] { RunClient(server.ServerPort(), static_cast<std::size_t>(i), stop, soak); });
        }
        const Clock::time_point start = Clock::now();
        for (auto next = start + period; next <= start + length; next += period) {
          std::this_thread::sleep_until(next);
          const TProcessStatus status = ReadProcessStatus();
          std::printf("%8lld %10lld %9lld %9.1f %8d\n",
                      static_cast<long long>(
                          std::chrono::duration_cast<std::chrono::seconds>(next - start).count()),
                      static_cast<long long>(soak.Requests.load()),
                      static_cast<long long>(soak.Failures.load()),
                      static_cast<double>(status.ResidentBytes) / (1024.0 * 1024.0),
                      status.Threads);
          std::fflush(stdout);
        }
        stop = true;
        for (std::thread& thread : threads)
          thread.join();
        if (!soak.FirstFailure.empty())
          std::printf("first failure: %s\n", soak.FirstFailure.c_str());
        return soak.Failures == 0 ? 0 : 1;
      },
      [&pages](TKorvi& server) { AddActions(server, pages); });
}

}  // namespace
}  // namespace korvi::bench

int main(int argc, char** argv) {
  return korvi::bench::GuardedMain("bench_soak", korvi::bench::Main, argc, argv);
}
