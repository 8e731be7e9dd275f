// End to end through a real TKorvi on loopback, asked by curl: actions see
// the request's variables, fields, cookies and uploaded files, and their
// responses reach the client as SendResponse built them.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "korvi/host/exceptions.h"
#include "korvi/host/streams.h"
#include "korvi/host/thread.h"
#include "korvi/server/korvi.h"
#include "korvi/web/action_item.h"
#include "korvi/web/korvi_request.h"
#include "korvi/web/korvi_response.h"
#include "tests/support/curl.h"
#include "tests/support/loopback_client.h"
#include "tests/support/pump.h"
#include "tests/support/temp_dir.h"

namespace korvi {
namespace {

using test::PumpUntil;
using test::ReadFile;
using test::TempDir;

using Handler = std::function<void(TKorviRequest&, TKorviResponse&)>;

class WebEndToEnd : public ::testing::Test {
 protected:
  WebEndToEnd() : server_(nullptr) {
    server_.SetRoot(dir_.Path());
    server_.SetPort(0);
    server_.StartListening();
  }

  ~WebEndToEnd() override {
    // Every worker thread ends before the server goes.
    EXPECT_TRUE(PumpUntil([&] { return server_.ThreadCount() == 0; }));
  }

  // Adds an action for `path` that runs `handler` and reports it handled.
  void On(const std::string& path, Handler handler) {
    TKActionItem* item = server_.Actions()->Add();
    item->SetPathInfo(path);
    item->SetOnAction(
        [handler](TObject*, TKorviRequest* request, TKorviResponse* response, bool& handled) {
          handler(*request, *response);
          handled = true;
        });
  }

  // Runs curl with `options` for `path` on the server while this thread
  // pumps its queue (where the listener lives); returns what curl printed,
  // its error messages last.
  std::string Curl(const std::vector<std::string>& options, const std::string& path) {
    const test::ChildResult run = test::RunCurl(server_.ServerPort(), path, options);
    return run.output + run.errors;
  }

  TempDir dir_;
  TKorvi server_;
};

TEST_F(WebEndToEnd, ActionSeesRequestVariablesFieldsAndCookies) {
  On("/shop", [](TKorviRequest& request, TKorviResponse& response) {
    response.SetContent(request.GetStringVariable(0) + "|" + request.GetStringVariable(2) + "|" +
                        request.GetStringVariable(3) + "|" + request.GetFieldValue("Y", "-") + "|" +
                        request.GetCookieFields().Values("SID") + "|" +
                        request.GetStringVariable(21) + "|" + request.GetStringVariable(13));
  });
  std::string answer =
      Curl({"-A", "agent/1", "-H", "Cookie: SID=12%2034; lang=en"}, "/SHOP/a%20b?x=1&y=%41");
  EXPECT_EQ(answer, "GET|/SHOP/a b|x=1&y=%41|A|12%2034|127.0.0.1|agent/1");
}

TEST_F(WebEndToEnd, PostedFormFieldsReachTheAction) {
  On("/form", [](TKorviRequest& request, TKorviResponse& response) {
    response.SetContent(request.GetFieldByName("a") + "," + request.GetFieldByName("b") + "," +
                        std::to_string(request.MethodType() == mtPost));
  });
  EXPECT_EQ(Curl({"--data", "a=1&b=x%26y&a=3"}, "/form"), "1,x&y,1");
}

TEST_F(WebEndToEnd, ResponseHeadersAndCookiesGoOnTheWire) {
  On("/c", [](TKorviRequest&, TKorviResponse& response) {
    response.SetStatusCode(404);
    TKCookie* cookie = response.Cookies().Add();
    cookie->Name = "SID";
    cookie->Value = "42";
    cookie->Path = "/";
    response.SetCustomHeader("X-Id", "7");
    response.SetStringVariable(8, "text/plain");
    response.SetContent("gone");
  });
  EXPECT_EQ(Curl({"-i", "--http1.0"}, "/c"),
            "HTTP/1.0 404 Not Found\r\n"
            "Set-Cookie: SID=42; path=/\r\n"
            "X-Id: 7\r\n"
            "Content-type: text/plain\r\n"
            "Content-Length: 4\r\n"
            "\r\n"
            "gone");
}

// Python's http.client keeps an HTTP/1.1 connection for the next request
// unless the answer says it closes: three requests in a row on one client
// object all succeed.
TEST_F(WebEndToEnd, PythonClientReusingItsConnectionGetsEveryAnswer) {
  On("/n", [](TKorviRequest& request, TKorviResponse& response) {
    response.SetContent("n" + request.GetFieldValue("i", "-"));
  });
  const char* const script =
      "import http.client, sys\n"
      "c = http.client.HTTPConnection('127.0.0.1', int(sys.argv[1]), timeout=10)\n"
      "for i in range(3):\n"
      "    c.request('GET', '/n?i=%d' % i)\n"
      "    r = c.getresponse()\n"
      "    print(r.status, r.read().decode())\n";
  const test::ChildResult run =
      test::RunPumping({"python3", "-c", script, std::to_string(server_.ServerPort())});
  EXPECT_EQ(run.exit_code, 0) << run.errors;
  EXPECT_EQ(run.output, "200 n0\n200 n1\n200 n2\n") << run.errors;
}

TEST_F(WebEndToEnd, RedirectIsFollowedByTheClient) {
  On("/old", [](TKorviRequest&, TKorviResponse& response) { response.SendRedirect("/new"); });
  On("/new", [](TKorviRequest&, TKorviResponse& response) { response.SetContent("arrived"); });
  EXPECT_EQ(Curl({"-L"}, "/old"), "arrived");
}

TEST_F(WebEndToEnd, UploadedBinaryFileComesBackExactly) {
  std::string binary;
  for (int i = 0; i < 70000; ++i)
    binary.push_back(static_cast<char>((i * 31 + i / 7) % 256));
  binary += "\r\n--\r\n";
  std::string upload = dir_.Write("upload.bin", binary);
  std::string echoed = dir_.File("echoed.bin");
  On("/up", [](TKorviRequest& request, TKorviResponse& response) {
    std::unique_ptr<TMemoryStream> file = request.GetFileField("f");
    if (!file) throw Exception("no file");
    response.SetCustomHeader("X-Name", request.GetFileName("f"));
    response.SetCustomHeader("X-Note", request.GetFormField("note", "-"));
    response.SetContentStream(file.release());
  });
  std::string headers = Curl({"-D", "-", "-o", echoed, "-F", "note=hello", "-F",
                              "f=@" + upload + ";type=application/octet-stream"},
                             "/up");
  EXPECT_NE(headers.find("X-Name: upload.bin\r\n"), std::string::npos) << headers;
  EXPECT_NE(headers.find("X-Note: hello\r\n"), std::string::npos) << headers;
  std::string returned = ReadFile(echoed);
  ASSERT_EQ(returned.size(), binary.size());
  EXPECT_TRUE(returned == binary);
}

// curl asking for "100 Continue" before a 5 MB upload gets it, and the body
// arrives whole (without the answer curl would wait far past its limit).
TEST_F(WebEndToEnd, UploadWaitingForContinueArrivesWhole) {
  std::string content(5 * 1024 * 1024, '\0');
  for (size_t i = 0; i < content.size(); ++i)
    content[i] = static_cast<char>(i * 131 % 251);
  const std::string upload = dir_.Write("big.bin", content);
  On("/up", [content](TKorviRequest& request, TKorviResponse& response) {
    std::unique_ptr<TMemoryStream> file = request.GetFileField("f");
    const bool same = file && file->Size() == static_cast<std::int64_t>(content.size()) &&
                      std::string(file->Memory(), content.size()) == content;
    response.SetContent(same ? "whole" : "damaged");
  });
  EXPECT_EQ(Curl({"-H", "Expect: 100-continue", "--expect100-timeout", "60", "-F",
                  "f=@" + upload + ";type=application/octet-stream"},
                 "/up"),
            "whole");
}

// The entries a directory lists.
int EntriesOf(const std::string& directory) {
  const std::filesystem::directory_iterator entries(directory);
  return static_cast<int>(std::distance(begin(entries), end(entries)));
}

// A body over MaxBodyInMemory is kept in a temporary file without a name in
// BodySpoolDirectory: the directory never lists it, the action reads the
// same text, fields and file bytes from it (the file field also as a stream
// over the temporary file), and it goes with the connection, also when the
// client leaves halfway through the body.
TEST_F(WebEndToEnd, LongBodyIsKeptInAnUnnamedTemporaryFile) {
  TempDir spool;
  const std::string spooled = spool.Path() + "/";
  server_.MaxBodyInMemory = 64 * 1024;
  server_.BodySpoolDirectory = spool.Path();
  std::string content(20 * 1024 * 1024, '\0');
  for (size_t i = 0; i < content.size(); ++i)
    content[i] = static_cast<char>(i * 131 % 251);
  const std::string upload = dir_.Write("big.bin", content);
  On("/up", [&](TKorviRequest& request, TKorviResponse& response) {
    std::unique_ptr<TStream> stream = request.GetFileStream("f");
    std::string streamed(stream ? static_cast<size_t>(stream->Size()) : 0, '\0');
    if (stream) stream->ReadBuffer(streamed.data(), stream->Size());
    std::unique_ptr<TMemoryStream> field = request.GetFileField("f");
    const bool same = streamed == content && field &&
                      std::string(field->Memory(), static_cast<size_t>(field->Size())) == content;
    const bool whole = request.Content().size() == static_cast<size_t>(request.ContentLength());
    response.SetContent(std::to_string(test::DescriptorsOpenOn(spooled)) + " " +
                        std::to_string(EntriesOf(spool.Path())) + " " +
                        (same ? "same" : "damaged") + " " + (whole ? "whole" : "cut") + " " +
                        request.GetFormField("note", "-"));
  });
  EXPECT_EQ(
      Curl({"-F", "note=hello", "-F", "f=@" + upload + ";type=application/octet-stream"}, "/up"),
      "1 0 same whole hello");
  EXPECT_TRUE(PumpUntil([&] { return test::DescriptorsOpenOn(spooled) == 0; }));

  {
    test::LoopbackClient client(server_.ServerPort());
    client.Send("POST /up HTTP/1.0\r\nContent-Length: 20000000\r\n\r\n");
    client.Send(content.substr(0, 10000000));
    EXPECT_TRUE(PumpUntil([&] { return test::DescriptorsOpenOn(spooled) == 1; }));
    EXPECT_EQ(EntriesOf(spool.Path()), 0);
  }
  EXPECT_TRUE(PumpUntil([&] { return server_.ThreadCount() == 0; }));
  EXPECT_EQ(test::DescriptorsOpenOn(spooled), 0);
  EXPECT_EQ(EntriesOf(spool.Path()), 0);
}

// An action that raises answers with status 500 and its message, and the
// exception reaches the application through OnException.
TEST_F(WebEndToEnd, FailingActionAnswersWithTheException) {
  On("/boom", [](TKorviRequest&, TKorviResponse&) { throw Exception("it broke"); });
  std::mutex lock;
  std::string reported;
  server_.OnException = [&](TObject* sender, TKorviRequest* request, const std::exception& error) {
    std::lock_guard<std::mutex> guard(lock);
    reported = (sender == &server_ ? "server|" : "other|") + request->GetStringVariable(2) + "|" +
               error.what();
  };
  const std::string answer = Curl({"-i"}, "/boom");
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 500 Internal Server Error\r\n")) << answer;
  EXPECT_TRUE(answer.ends_with("\r\n\r\nEXCEPTION: it broke")) << answer;
  std::lock_guard<std::mutex> guard(lock);
  EXPECT_EQ(reported, "server|/boom|it broke");
}

TEST_F(WebEndToEnd, HandledButEmptyResponseSendsNothing) {
  On("/quiet", [](TKorviRequest&, TKorviResponse&) {});
  std::string answer = Curl({"-i"}, "/quiet");
  EXPECT_EQ(answer.find("HTTP/"), std::string::npos) << answer;
  EXPECT_NE(answer.find("Empty reply"), std::string::npos) << answer;
}

TEST_F(WebEndToEnd, SynchronizeRunsOnTheMainThread) {
  On("/sync", [](TKorviRequest& request, TKorviResponse& response) {
    bool on_main = false;
    request.Synchronize([&] { on_main = IsMainThread(); });
    response.SetContent(on_main && !IsMainThread() ? "main" : "elsewhere");
  });
  EXPECT_EQ(Curl({}, "/sync"), "main");
}

}  // namespace
}  // namespace korvi
