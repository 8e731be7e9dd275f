// Hostile and broken clients against a real TKorvi over loopback: mutated
// request lines and headers, odd "Content-Length" values, over-long lines,
// cut escapes, climbing paths, requests split at random points, and clients
// that close or reset in the middle of a request or of a response. Every
// case is drawn from a fixed seed, so a failure repeats exactly. After each
// case the connection has ended, the worker threads are gone and the server
// still answers a valid request with the right bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "korvi/host/streams.h"
#include "korvi/host/sysutils.h"
#include "korvi/server/korvi.h"
#include "korvi/web/action_item.h"
#include "korvi/web/korvi_request.h"
#include "korvi/web/korvi_response.h"
#include "tests/support/loopback_client.h"
#include "tests/support/pump.h"
#include "tests/support/temp_dir.h"

namespace korvi {
namespace {

using test::LoopbackClient;
using test::PumpUntil;

const std::string kPage = "<p>page</p>";
// Larger than what the loopback socket buffers hold, so a client can leave
// while the file is still on its way.
const std::size_t kLargeSize = 4 * 1024 * 1024;

// The valid requests the mutations start from; "/act" reaches an action
// that reads everything the request object offers.
const std::vector<std::string> kSeeds = {
    "GET /page.htm HTTP/1.0\r\nHost: x\r\nUser-Agent: t\r\n\r\n",
    "GET /act?a=1&b=%41%42&c HTTP/1.0\r\nCookie: s=%zz; t=2\r\n\r\n",
    "POST /act HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
    "Content-Length: 11\r\n\r\na=1&b=x%20y",
    "POST /act HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=--b\r\n"
    "Content-Length: 120\r\n\r\n----b\r\nContent-Disposition: form-data; name=\"f\"; "
    "filename=\"a.txt\"\r\nContent-Type: text/plain\r\n\r\nabc\r\n----b--\r\n",
    "HEAD /sub/../page.htm HTTP/1.0\r\nIf-Modified-Since: Sat, 29 Oct 1994 19:43:31 GMT\r\n\r\n",
};

// Fragments that tend to upset parsers.
const std::vector<std::string> kFragments = {
    std::string(1, '\0'),
    "\r",
    "\n",
    "\r\n",
    "%",
    "%4",
    "%zz",
    "..",
    "%2e%2e",
    "/..",
    "\\",
    "\\..\\",
    ":",
    ": ",
    "?",
    " ",
    "\t",
    "\xff",
    "Content-Length: ",
    "-1",
    "99999999999999999999",
};

class HostileInput : public ::testing::Test {
 protected:
  HostileInput() {
    dir_.Write("www/index.htm", "<p>home</p>");
    dir_.Write("www/page.htm", kPage);
    dir_.Write("www/sub/index.htm", "<p>sub</p>");
    dir_.Write("www/large.bin", std::string(kLargeSize, 'L'));
    dir_.Write("outside.txt", "OUTSIDE");
    server_.SetRoot(dir_.File("www"));
    server_.SetPort(test::FreePort());
    // Keeps refused bodies small; the limit itself is what is exercised.
    server_.MaxRequestBody = 64 * 1024;
    TKActionItem* action = server_.Actions()->Add();
    action->SetPathInfo("/act");
    action->SetOnAction(
        [](TObject*, TKorviRequest* request, TKorviResponse* response, bool& handled) {
          response->SetContent("act " + IntToStr(ReadEverything(*request)));
          handled = true;
        });
    server_.StartListening();
  }

  // Touches every accessor of the request object; returns a byte count so
  // that nothing is optimised away.
  static int ReadEverything(TKorviRequest& request) {
    std::size_t total = 0;
    for (int i = 0; i <= 28; ++i) {
      total += request.GetStringVariable(i).size();
      total += static_cast<std::size_t>(request.GetIntegerVariable(i) != 0);
      try {
        total += static_cast<std::size_t>(request.GetDateVariable(i) > 0);
      } catch (const std::exception&) {
        // An unreadable date is reported, not a fault.
      }
    }
    total += static_cast<std::size_t>(request.GetQueryFields().Count());
    total += static_cast<std::size_t>(request.GetContentFields().Count());
    total += static_cast<std::size_t>(request.GetCookieFields().Count());
    total += request.GetFieldValue("a", "").size() + request.GetFormField("f", "").size();
    total += request.GetFileName("f").size();
    if (auto file = request.GetFileField("f")) total += static_cast<std::size_t>(file->Size());
    total += request.ReadString(1 << 20).size();
    return static_cast<int>(total);
  }

  int Port() const { return server_.ServerPort(); }

  // Sends `request` split into `pieces` arrivals at random points; each
  // piece has been read by the server before the next goes out (while the
  // server keeps the connection open). Stops early when the server has
  // already closed the connection.
  void SendSplit(LoopbackClient& client, const std::string& request, int pieces) {
    std::vector<std::size_t> cuts;
    for (int i = 1; i < pieces && !request.empty(); ++i)
      cuts.push_back(std::uniform_int_distribution<std::size_t>(0, request.size())(rng_));
    cuts.push_back(request.size());
    std::sort(cuts.begin(), cuts.end());
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
      if (cut == from) continue;
      try {
        client.Send(std::string_view(request).substr(from, cut - from));
      } catch (const std::runtime_error&) {
        return;  // the server answered and closed before the rest went out
      }
      from = cut;
      PumpUntil([&] { return test::UnreadAtServer(Port()) <= 0; }, 2000);
    }
  }

  // Sends `request` and ends the client in one of the ways a client may:
  // waiting for the answer after ending its direction, closing, or
  // resetting. Returns what arrived; the connection has ended either way.
  std::string Deliver(const std::string& request) {
    LoopbackClient client(Port());
    SendSplit(client, request, std::uniform_int_distribution<int>(1, 4)(rng_));
    switch (std::uniform_int_distribution<int>(0, 3)(rng_)) {
      case 0:
        client.Close();
        return {};
      case 1:
        client.Reset();
        return {};
      default: {
        client.ShutdownWrite();
        std::string answer = client.ReadAll(10000);
        EXPECT_TRUE(client.PeerClosed()) << Printable(request);
        return answer;
      }
    }
  }

  // The connection's thread has ended and a valid request gets its page.
  void ExpectServerHealthy(const std::string& what) {
    ASSERT_TRUE(PumpUntil([&] { return server_.ThreadCount() == 0; }, 10000)) << what;
    LoopbackClient client(Port());
    client.Send("GET /page.htm HTTP/1.0\r\n\r\n");
    const std::string answer = client.ReadAll(10000);
    ASSERT_TRUE(client.PeerClosed()) << what;
    ASSERT_EQ(answer.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << what;
    ASSERT_TRUE(answer.ends_with("\r\n\r\n" + kPage)) << what << "\n" << answer;
    client.Close();  // the worker reads on until the client has closed
    ASSERT_TRUE(PumpUntil([&] { return server_.ThreadCount() == 0; }, 10000)) << what;
  }

  // An answer to hostile input is nothing or a complete head whose status
  // line ends in a code and its text (an action's status line repeats
  // whatever protocol word came), and never carries a file from outside
  // the root.
  static void ExpectSaneAnswer(const std::string& answer, const std::string& request) {
    if (answer.empty()) return;
    const std::string status = answer.substr(0, answer.find("\r\n"));
    EXPECT_TRUE(std::regex_match(status, std::regex(".* [1-5][0-9][0-9] [A-Za-z ]+")))
        << Printable(request) << "\n"
        << answer;
    EXPECT_NE(answer.find("\r\n\r\n"), std::string::npos) << Printable(request);
    EXPECT_EQ(answer.find("OUTSIDE"), std::string::npos) << Printable(request);
  }

  // `text` with control bytes shown as escapes, for failure messages.
  static std::string Printable(const std::string& text) {
    std::string shown;
    for (unsigned char c : text.substr(0, 400)) {
      if (c >= 0x20 && c < 0x7f) {
        shown += static_cast<char>(c);
      } else {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
        shown += escaped;
      }
    }
    return shown;
  }

  std::string Mutate(std::string request) {
    const int edits = std::uniform_int_distribution<int>(1, 4)(rng_);
    for (int i = 0; i < edits; ++i) {
      const std::size_t at = std::uniform_int_distribution<std::size_t>(0, request.size())(rng_);
      switch (std::uniform_int_distribution<int>(0, 4)(rng_)) {
        case 0:  // a random byte
          request.insert(at, 1,
                         static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng_)));
          break;
        case 1:  // a troublesome fragment
          request.insert(at, kFragments[std::uniform_int_distribution<std::size_t>(
                                 0, kFragments.size() - 1)(rng_)]);
          break;
        case 2:  // a byte gone
          if (at < request.size()) request.erase(at, 1);
          break;
        case 3:  // a byte replaced
          if (at < request.size())
            request[at] = static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng_));
          break;
        default:  // cut short
          request.resize(at);
          break;
      }
    }
    return request;
  }

  std::mt19937 rng_{20240611};
  test::TempDir dir_;
  TKorvi server_{nullptr};  // last: destroyed, with its threads, first
};

// Valid requests with random edits: random bytes (NUL, lone CR, high
// bytes), cut escapes, climbing paths, header fragments, truncation.
TEST_F(HostileInput, MutatedRequestsEndTheirConnection) {
  for (int i = 0; i < 120; ++i) {
    const std::string request = Mutate(kSeeds[static_cast<std::size_t>(i) % kSeeds.size()]);
    ExpectSaneAnswer(Deliver(request), request);
    ExpectServerHealthy(Printable(request));
    if (HasFatalFailure()) return;
  }
}

// Length announcements that are not a count, or promise more than comes.
TEST_F(HostileInput, ContentLengthValuesThatAreNoCount) {
  const std::vector<std::string> values = {"-1",
                                           "abc",
                                           "99999999999999999999",
                                           "18446744073709551616",
                                           "1e3",
                                           "0x10",
                                           " 12 ",
                                           "+5",
                                           "",
                                           "100000000",
                                           "65537",
                                           "3",
                                           "9223372036854775807",
                                           "5 5",
                                           "\t7"};
  for (int round = 0; round < 2; ++round) {
    for (const std::string& value : values) {
      const std::string request =
          "POST /act HTTP/1.0\r\nContent-Length: " + value + "\r\n\r\nshort body";
      ExpectSaneAnswer(Deliver(request), request);
      ExpectServerHealthy(Printable(request));
      if (HasFatalFailure()) return;
    }
  }
}

// Requests that HTTP/1.1 does not allow, with the profile on: each gets its
// error page and its connection ends.
TEST_F(HostileInput, MalformedHttp11RequestsGetAnErrorPage) {
  server_.HTTP11 = true;
  const std::string post = "POST /act HTTP/1.1\r\nHost: x\r\n";
  const std::string chunked = post + "Transfer-Encoding: chunked\r\n";
  const std::string get = "GET /page.htm HTTP/1.1\r\n";
  struct Case {
    std::string request;
    const char* status;
  };
  const std::vector<Case> cases = {
      {post + "Content-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", "400"},
      {chunked + "Content-Length: 3\r\n\r\n3\r\nabc\r\n0\r\n\r\n", "400"},
      {chunked + "\r\nzz\r\nabc\r\n0\r\n\r\n", "400"},
      {chunked + "\r\n-3\r\nabc\r\n0\r\n\r\n", "400"},
      {chunked + "\r\n3\r\nabcdef\r\n0\r\n\r\n", "400"},
      {chunked + "\r\n20000\r\n" + std::string(1000, 'a'), "400"},
      {get + "Host: x\r\nX-A: 1\r\n  folded\r\n\r\n", "400"},
      {get + "Host: x\r\nX-A: a\rb\r\n\r\n", "400"},
      {get + "\r\n", "400"},
      {get + "Host: x\r\nHost: y\r\n\r\n", "400"},
      {get + "Host: x\r\nBad(Name): 1\r\n\r\n", "400"},
      {get + "Host: x\r\nX-A: a\x01b\r\n\r\n", "400"},
      {"GET /page.htm\r\nHost: x\r\n\r\n", "400"},
      {"GET /page.htm HTTP/2.0\r\nHost: x\r\n\r\n", "505"},
  };
  for (const Case& c : cases) {
    LoopbackClient client(Port());
    client.Send(c.request);
    const std::string answer = client.ReadAll(10000);
    EXPECT_TRUE(client.PeerClosed()) << Printable(c.request);
    EXPECT_EQ(answer.substr(0, 12), std::string("HTTP/1.1 ") + c.status)
        << Printable(c.request) << "\n"
        << answer;
  }
  server_.HTTP11 = false;
  ExpectServerHealthy("after the malformed requests");
}

// Lines at and over the line limit, a flood of headers, bare CRs as line
// ends, and escapes cut short at the end of the path.
TEST_F(HostileInput, LongLinesManyHeadersAndCutEscapes) {
  std::vector<std::string> requests;
  for (std::size_t length : {8190u, 8191u, 8192u, 8193u, 20000u}) {
    requests.push_back("GET /" + std::string(length - 5, 'a') + "\r\n\r\n");
    requests.push_back("GET / HTTP/1.0\r\nX: " + std::string(length - 3, 'h') + "\r\n\r\n");
  }
  std::string many = "GET /page.htm HTTP/1.0\r\n";
  for (int i = 0; i < 3000; ++i)
    many += "H" + IntToStr(i) + ": v\r\n";
  requests.push_back(many + "\r\n");
  requests.push_back("GET /page.htm HTTP/1.0\rHost: x\r\r");
  requests.push_back(std::string(3000, '\r'));
  requests.push_back(std::string(20000, '\n'));
  requests.push_back(std::string(9000, '\0') + "\r\n\r\n");
  for (const char* escape : {"%", "%4", "%%", "%g0", "a%", "%2", "%2e%2", "%00"}) {
    requests.push_back(std::string("GET /") + escape + " HTTP/1.0\r\n\r\n");
    requests.push_back(std::string("GET /act?") + escape + "=" + escape + " HTTP/1.0\r\n\r\n");
  }
  for (const std::string& request : requests) {
    for (int round = 0; round < 2; ++round) {
      ExpectSaneAnswer(Deliver(request), request);
      ExpectServerHealthy(Printable(request).substr(0, 80));
      if (HasFatalFailure()) return;
    }
  }
}

// Paths that try to climb out of the root, in every spelling, answered
// completely (never with the file outside).
TEST_F(HostileInput, ClimbingPathsNeverLeaveTheRoot) {
  const std::vector<std::string> climbs = {"..",   "%2e%2e", "%2E%2e", ".%2e", "%2e.",
                                           "..\\", "..%5c",  "%5c..",  "...",  "sub/../.."};
  for (int i = 0; i < 30; ++i) {
    std::string path;
    const int depth = std::uniform_int_distribution<int>(1, 4)(rng_);
    for (int d = 0; d < depth; ++d)
      path += "/" + climbs[std::uniform_int_distribution<std::size_t>(0, climbs.size() - 1)(rng_)];
    path += std::uniform_int_distribution<int>(0, 1)(rng_) ? "/outside.txt" : "\\outside.txt";
    const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
    LoopbackClient client(Port());
    SendSplit(client, request, std::uniform_int_distribution<int>(1, 3)(rng_));
    const std::string answer = client.ReadAll(10000);
    EXPECT_TRUE(client.PeerClosed()) << path;
    EXPECT_EQ(answer.rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u) << path;
    EXPECT_EQ(answer.find("OUTSIDE"), std::string::npos) << path;
    client.Close();
    ExpectServerHealthy(path);
    if (HasFatalFailure()) return;
  }
}

// A valid request split at random points is answered as if sent at once.
TEST_F(HostileInput, RequestsSplitAtRandomPointsAreAnsweredWhole) {
  const std::string request = "GET /page.htm HTTP/1.0\r\nHost: x\r\nAccept: */*\r\n\r\n";
  for (int i = 0; i < 30; ++i) {
    LoopbackClient client(Port());
    SendSplit(client, request, std::uniform_int_distribution<int>(2, 6)(rng_));
    const std::string answer = client.ReadAll(10000);
    EXPECT_TRUE(client.PeerClosed());
    EXPECT_TRUE(answer.ends_with("\r\n\r\n" + kPage)) << answer;
    client.Close();
    ASSERT_TRUE(PumpUntil([&] { return server_.ThreadCount() == 0; }, 10000));
  }
}

// Clients leaving while a large file is on its way, with an orderly close
// or a reset, after reading nothing or part of the answer.
TEST_F(HostileInput, ClientsLeavingMidResponse) {
  for (int i = 0; i < 20; ++i) {
    LoopbackClient client(Port());
    client.Send("GET /large.bin HTTP/1.0\r\n\r\n");
    const std::size_t wanted = std::uniform_int_distribution<std::size_t>(0, 300000)(rng_);
    std::string part;
    if (wanted > 0) PumpUntil([&] { return !client.ReadAvailable(part) || part.size() >= wanted; });
    if (i % 2 == 0) {
      client.Close();
    } else {
      client.Reset();
    }
    ExpectServerHealthy("left after " + IntToStr(static_cast<int>(part.size())) + " bytes");
    if (HasFatalFailure()) return;
  }
}

// A client that ends its own direction right after the request still gets
// the whole answer.
TEST_F(HostileInput, HalfClosedClientGetsTheWholeAnswer) {
  for (int i = 0; i < 5; ++i) {
    LoopbackClient client(Port());
    client.Send("GET /page.htm HTTP/1.0\r\n\r\n");
    client.ShutdownWrite();
    const std::string answer = client.ReadAll(10000);
    EXPECT_TRUE(client.PeerClosed());
    EXPECT_TRUE(answer.ends_with("\r\n\r\n" + kPage)) << answer;
    ExpectServerHealthy("half-closed");
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace korvi
