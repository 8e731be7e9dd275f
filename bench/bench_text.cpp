// bench_text: nanoseconds per call of the HTTP text utilities and the
// name=value lookup on inputs like those a request brings: a URL-encoded
// form body, a path with escapes, a header list as the worker thread keeps
// it. Each case runs in several timed rounds; the best and the median round
// are printed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bench_options.h"
#include "bench_runner.h"
#include "korvi/host/string_list.h"
#include "korvi/web/http_text.h"

namespace korvi::bench {
namespace {

using Clock = std::chrono::steady_clock;

// A form body as a browser sends it (102 bytes, 6 fields, 9 escapes).
const std::string kFormBody =
    "name=J%C3%BCrgen+M%C3%BCller&email=jm%40example.com&city=K%C3%B6ln&"
    "zip=50667&note=Hi%21+50%25+off&ok=1";
// A request path with escaped blanks.
const std::string kEncodedPath = "/docs/annual%20report%202023/summary%20page.htm";
// Free text to encode: blanks, punctuation and a high byte.
const std::string kPlainText = "Smith & Sons <info@example.com> 100% sure? path=/a/b \xC9t\xC9";

// The header lines a worker thread holds for a typical browser request.
TStringList BrowserHeaders() {
  return TStringList{"remote-address=127.0.0.1",
                     "host=localhost:8080",
                     "user-agent=Mozilla/5.0 (X11; Linux x86_64; rv:109.0) Gecko/20100101",
                     "accept=text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8",
                     "accept-language=en-GB,en;q=0.5",
                     "accept-encoding=gzip, deflate",
                     "referer=http://localhost:8080/form.htm",
                     "content-type=application/x-www-form-urlencoded",
                     "content-length=102",
                     "connection=close",
                     "cookie=KORVISESSION=8f3a2c; theme=dark",
                     "upgrade-insecure-requests=1"};
}

// Keeps results alive so the compiler cannot drop the measured calls.
std::size_t sink = 0;

// Best and median nanoseconds per call over `rounds` rounds of about
// `round_ms` each.
struct TTiming {
  double BestNs;
  double MedianNs;
};

TTiming Time(const std::function<std::size_t()>& call, int rounds, int round_ms) {
  // Calibrate: double the batch until it takes a tenth of a round.
  long long batch = 1;
  for (;;) {
    const Clock::time_point start = Clock::now();
    for (long long i = 0; i < batch; ++i)
      sink += call();
    if (Clock::now() - start >= std::chrono::milliseconds(round_ms) / 10) break;
    batch *= 2;
  }
  batch *= 10;
  std::vector<double> per_call;
  for (int round = 0; round < rounds; ++round) {
    const Clock::time_point start = Clock::now();
    for (long long i = 0; i < batch; ++i)
      sink += call();
    const std::chrono::duration<double, std::nano> elapsed = Clock::now() - start;
    per_call.push_back(elapsed.count() / static_cast<double>(batch));
  }
  std::sort(per_call.begin(), per_call.end());
  return {per_call.front(), per_call[per_call.size() / 2]};
}

int Main(int argc, char** argv) {
  TBenchOptions options("bench_text",
                        "Nanoseconds per call of HTTPDecode, HTTPEncode, ExtractHTTPFields and\n"
                        "TStringList::Values on request-like inputs.",
                        {{"rounds", 7, "timed rounds per case"},
                         {"round-ms", 200, "length of one round in milliseconds"}});
  if (const auto exit_code = options.Parse(argc, argv)) return *exit_code;
  const int rounds = static_cast<int>(std::max(1LL, options.Get("rounds")));
  const int round_ms = static_cast<int>(std::max(1LL, options.Get("round-ms")));

  const TStringList headers = BrowserHeaders();
  const TCharSet ampersand{'&'};
  const TCharSet no_blanks;
  TStringList fields;
  const struct {
    const char* name;
    std::function<std::size_t()> call;
  } cases[] = {
      {"HTTPDecode form body (102 B)", [] { return HTTPDecode(kFormBody).size(); }},
      {"HTTPDecode path (47 B)", [] { return HTTPDecode(kEncodedPath).size(); }},
      {"HTTPEncode text (56 B)", [] { return HTTPEncode(kPlainText).size(); }},
      {"ExtractHTTPFields form body (6 fields)",
       [&] {
         fields.Clear();
         ExtractHTTPFields(ampersand, no_blanks, kFormBody, fields);
         return static_cast<std::size_t>(fields.Count());
       }},
      {"Values 12 headers, 9th (Content-Length)",
       [&] { return headers.Values("Content-Length").size(); }},
      {"Values 12 headers, 2nd (Host)", [&] { return headers.Values("Host").size(); }},
      {"Values 12 headers, missing", [&] { return headers.Values("Authorization").size(); }},
  };
  std::printf("bench_text: %d rounds of ~%d ms per case\n", rounds, round_ms);
  std::printf("%-42s %10s %10s\n", "case", "best ns", "median ns");
  for (const auto& bench_case : cases) {
    const TTiming timing = Time(bench_case.call, rounds, round_ms);
    std::printf("%-42s %10.1f %10.1f\n", bench_case.name, timing.BestNs, timing.MedianNs);
    std::fflush(stdout);
  }
  return sink == 0 ? 1 : 0;
}

}  // namespace
}  // namespace korvi::bench

int main(int argc, char** argv) {
  return korvi::bench::GuardedMain("bench_text", korvi::bench::Main, argc, argv);
}
