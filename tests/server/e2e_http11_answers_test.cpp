// End to end with the HTTP/1.1 profile on: the answers' header blocks (status
// lines, GMT dates, lengths), HEAD, files with a query, listings in the
// names' own letter case, conditional GET and byte ranges with curl.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <string>

#include "korvi/host/sysutils.h"
#include "korvi/server/korvi.h"
#include "korvi/web/action_item.h"
#include "korvi/web/korvi_request.h"
#include "korvi/web/korvi_response.h"
#include "tests/support/child_process.h"
#include "tests/support/curl.h"
#include "tests/support/loopback_client.h"
#include "tests/support/temp_dir.h"

namespace korvi {
namespace {

using test::ChildResult;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The header block of `answer`, up to and with its empty line.
std::string HeaderBlock(const std::string& answer) {
  return answer.substr(0, answer.find("\r\n\r\n") + 4);
}

// The value of header `name` in `answer` ("" when absent).
std::string HeaderValue(const std::string& answer, const std::string& name) {
  const size_t at = HeaderBlock(answer).find("\r\n" + name + ": ");
  if (at == std::string::npos) return {};
  const size_t value = at + name.size() + 4;
  return answer.substr(value, answer.find("\r\n", value) - value);
}

class Http11Answers : public ::testing::Test {
 protected:
  Http11Answers() {
    dir_.Write("www/page.htm", "<p>page</p>");
    dir_.Write("www/list/Foo.txt", "upper");
    dir_.Write("www/list/foo.txt", "lower");
    server_.SetRoot(dir_.File("www"));
    server_.SetPort(test::FreePort());
    server_.HTTP11 = true;
    TKActionItem* action = server_.Actions()->Add();
    action->SetPathInfo("/empty");
    action->SetOnAction(
        [](TObject*, TKorviRequest*, TKorviResponse*, bool& handled) { handled = true; });
    TKActionItem* echo = server_.Actions()->Add();
    echo->SetPathInfo("/echo");
    echo->SetOnAction(
        [](TObject*, TKorviRequest* request, TKorviResponse* response, bool& handled) {
          response->SetContent(IntToStr(request->ContentLength()) + ":" + request->Content());
          handled = true;
        });
    server_.StartListening();
  }

  // The answer to `method` of `path` over a connection of its own.
  std::string Ask(const std::string& method, const std::string& path,
                  const std::string& headers = "") {
    test::LoopbackClient client(server_.ServerPort());
    client.Send(method + " " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + headers +
                "\r\n");
    return client.ReadAll();
  }

  test::TempDir dir_;
  TKorvi server_{nullptr};  // last: destroyed, with its threads, first
};

// Every kind of answer says HTTP/1.1, dates are GMT, lengths are told, and
// HEAD gets the same header block as GET without the body.
TEST_F(Http11Answers, EveryAnswerIsWholeAndHeadMatchesGet) {
  const std::regex gmt("[A-Z][a-z]{2}, \\d\\d [A-Z][a-z]{2} \\d{4} \\d\\d:\\d\\d:\\d\\d GMT");
  struct Case {
    const char* path;
    const char* status;
  };
  for (const Case& c : {Case{"/page.htm", "200 OK"}, Case{"/page.htm?v=2", "200 OK"},
                        Case{"/missing.htm", "404 Not Found"}, Case{"/list/", "200 OK"},
                        Case{"/?x=1", "200 OK"}, Case{"/empty", "200 OK"}}) {
    const std::string get = Ask("GET", c.path);
    EXPECT_TRUE(get.starts_with(std::string("HTTP/1.1 ") + c.status + "\r\n")) << get;
    EXPECT_TRUE(std::regex_match(HeaderValue(get, "Date"), gmt)) << get;
    const std::string length = HeaderValue(get, "Content-Length");
    EXPECT_EQ(length, std::to_string(get.size() - HeaderBlock(get).size())) << get;
    EXPECT_EQ(HeaderValue(get, "Connection"), "close") << get;
    EXPECT_EQ(test::MaskDate(Ask("HEAD", c.path)), test::MaskDate(HeaderBlock(get))) << c.path;
  }
  const std::string file = Ask("GET", "/page.htm");
  EXPECT_TRUE(std::regex_match(HeaderValue(file, "Last-Modified"), gmt));
  EXPECT_TRUE(file.ends_with("\r\n\r\n<p>page</p>")) << file;
  EXPECT_EQ(HeaderValue(Ask("GET", "/empty"), "Content-Length"), "0");
  const std::string listing = Ask("GET", "/list/");
  EXPECT_TRUE(Has(listing, "<a href=\"/list/Foo.txt\">Foo.txt</a>")) << listing;
  EXPECT_TRUE(Has(listing, "<a href=\"/list/foo.txt\">foo.txt</a>")) << listing;
  EXPECT_TRUE(Ask("GET", "/list/Foo.txt").ends_with("\r\n\r\nupper"));
}

// Ranges: one range gives 206 with exactly its bytes, one that cannot be
// served 416, and If-Range with an old validator the whole file.
TEST_F(Http11Answers, RangesOfAFile) {
  const std::string part = Ask("GET", "/page.htm", "Range: bytes=3-6\r\n");
  EXPECT_TRUE(part.starts_with("HTTP/1.1 206 Partial Content\r\n")) << part;
  EXPECT_EQ(HeaderValue(part, "Content-Range"), "bytes 3-6/11");
  EXPECT_TRUE(part.ends_with("\r\n\r\npage")) << part;
  const std::string beyond = Ask("GET", "/page.htm", "Range: bytes=50-\r\n");
  EXPECT_TRUE(beyond.starts_with("HTTP/1.1 416 Range Not Satisfiable\r\n")) << beyond;
  EXPECT_EQ(HeaderValue(beyond, "Content-Range"), "bytes */11");
  const std::string whole = Ask("GET", "/page.htm", "Range: bytes=3-6\r\nIf-Range: \"old\"\r\n");
  EXPECT_TRUE(whole.starts_with("HTTP/1.1 200 OK\r\n")) << whole;
  EXPECT_EQ(HeaderValue(whole, "Accept-Ranges"), "bytes");
  EXPECT_TRUE(whole.ends_with("\r\n\r\n<p>page</p>"));
}

// curl -C - resumes a download that was cut, byte for byte.
TEST_F(Http11Answers, CurlResumesACutDownload) {
  std::string content;
  for (int i = 0; content.size() < 1024 * 1024; ++i)
    content += std::to_string(i) + ",";
  dir_.Write("www/big.bin", content);
  const std::string saved = dir_.Write("saved.bin", content.substr(0, 300000));
  const ChildResult run = test::RunCurl(server_.ServerPort(), "/big.bin", {"-C", "-", "-o", saved});
  EXPECT_EQ(run.exit_code, 0) << run.errors;
  EXPECT_TRUE(test::ReadFile(saved) == content);
}

// curl -z with a copy at least as new as the file gets 304 and no body;
// with an ETag that matches, too.
TEST_F(Http11Answers, ConditionalGetGivesNotModified) {
  const std::string copy = dir_.Write("copy.htm", "<p>page</p>");
  const ChildResult run = test::RunCurl(server_.ServerPort(), "/page.htm",
                                        {"-z", copy, "-o", "/dev/null", "-w", "%{http_code}"});
  EXPECT_EQ(run.output, "304");
  const std::string etag = HeaderValue(Ask("GET", "/page.htm"), "ETag");
  ASSERT_FALSE(etag.empty());
  const std::string again = Ask("GET", "/page.htm", "If-None-Match: " + etag + "\r\n");
  EXPECT_TRUE(again.starts_with("HTTP/1.1 304 Not Modified\r\n")) << again;
  EXPECT_TRUE(again.ends_with("\r\n\r\n")) << again;
}

// A curl upload in chunks reaches the action whole, read as if its length
// had been sent, also when it outgrows memory on the way.
TEST_F(Http11Answers, CurlChunkedUploadReachesTheActionWhole) {
  server_.MaxBodyInMemory = 64 * 1024;
  std::string content;
  for (int i = 0; content.size() < 200 * 1024; ++i)
    content += std::to_string(i) + ";";
  const std::string upload = dir_.Write("upload.txt", content);
  const ChildResult run =
      test::RunCurl(server_.ServerPort(), "/echo",
                    {"-H", "Transfer-Encoding: chunked", "--data-binary", "@" + upload});
  EXPECT_EQ(run.exit_code, 0) << run.errors;
  EXPECT_TRUE(run.output == std::to_string(content.size()) + ":" + content);
}

}  // namespace
}  // namespace korvi
