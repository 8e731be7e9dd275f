// The response object: presets, variables, the exact text SendResponse
// leaves in the thread's body stream (header order, cookies, custom
// headers, dates, content text and stream), redirects and cookies.
#include "korvi/web/korvi_response.h"

#include <gtest/gtest.h>

#include "korvi/host/streams.h"
#include "tests/web/received_request.h"

namespace korvi {
namespace {

using test::ReceivedRequest;

// A response to a GET of "/" in `protocol`, with its request.
struct Answer {
  explicit Answer(const std::string& protocol = "HTTP/1.0")
      : received("GET", "/", protocol), response(&received.Request()) {}
  std::string Sent() {
    response.SendResponse();
    return received.Body();
  }
  ReceivedRequest received;
  TKorviResponse response;
};

TEST(KorviResponseTest, PresetsOfAFreshResponse) {
  Answer full;
  EXPECT_EQ(full.response.GetStringVariable(0), "");
  EXPECT_EQ(full.response.GetStringVariable(1), "200 OK");
  EXPECT_EQ(full.response.GetStringVariable(8), "text/html");
  EXPECT_EQ(full.response.GetStatusCode(), 200);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(full.response.GetDateVariable(i), -1.0);
  EXPECT_FALSE(full.response.Sent());
  Answer bare("");
  EXPECT_EQ(bare.response.GetStringVariable(0), "HTTP/1.0");
}

// Each named accessor reads and writes the variable of its number.
TEST(KorviResponseTest, NamedAccessorsUseTheirVariables) {
  Answer answer;
  TKorviResponse& r = answer.response;
  r.SetContentType("text/plain");
  r.SetLocation("/there");
  r.SetContentEncoding("gzip");
  r.SetAllow("GET");
  r.SetWWWAuthenticate("Basic");
  r.SetTitle("T");
  r.SetExpires(0.0);
  r.SetLastModified(2.5);
  const std::pair<std::string, int> texts[] = {{"text/plain", 8}, {"/there", 6}, {"gzip", 7},
                                               {"GET", 5},        {"Basic", 3},  {"T", 11}};
  for (const auto& [value, index] : texts)
    EXPECT_EQ(r.GetStringVariable(index), value) << index;
  EXPECT_EQ(r.ContentType(), "text/plain");
  EXPECT_EQ(r.Location(), "/there");
  EXPECT_EQ(r.ContentEncoding(), "gzip");
  EXPECT_EQ(r.Allow(), "GET");
  EXPECT_EQ(r.WWWAuthenticate(), "Basic");
  EXPECT_EQ(r.Title(), "T");
  EXPECT_EQ(r.GetDateVariable(1), 0.0);
  EXPECT_EQ(r.Expires(), 0.0);
  EXPECT_EQ(r.GetDateVariable(2), 2.5);
  EXPECT_EQ(r.LastModified(), 2.5);
}

TEST(KorviResponseTest, OutOfRangeVariablesReadEmptyAndIgnoreWrites) {
  Answer answer;
  TKorviResponse& r = answer.response;
  r.SetStringVariable(12, "x");
  r.SetStringVariable(-1, "x");
  r.SetDateVariable(3, 5.0);
  r.SetIntegerVariable(1, 5);
  EXPECT_EQ(r.GetStringVariable(12), "");
  EXPECT_EQ(r.GetDateVariable(3), -1.0);
  EXPECT_EQ(r.GetIntegerVariable(1), -1);
  r.SetIntegerVariable(0, 42);
  EXPECT_EQ(r.GetIntegerVariable(0), 42);
}

TEST(KorviResponseTest, PlainContentGivesTheMinimalResponse) {
  Answer answer;
  answer.response.SetContent("hi");
  EXPECT_EQ(answer.Sent(),
            "HTTP/1.0 200 OK\r\nContent-type: text/html\r\nContent-Length: 2\r\n\r\nhi");
  EXPECT_TRUE(answer.response.Sent());
  EXPECT_EQ(answer.response.GetIntegerVariable(0), 2);
}

TEST(KorviResponseTest, StatusLineEchoesTheRequestVersion) {
  Answer answer("HTTP/1.1");
  answer.response.SetStatusCode(404);
  answer.response.SetContent("x");
  EXPECT_EQ(answer.Sent().substr(0, 24), "HTTP/1.1 404 Not Found\r\n");
}

// The server closes after every answer: a status line other than HTTP/1.0
// says so with "Connection: close", which replaces an application's own
// "Connection" header; an HTTP/1.0 one needs nothing.
TEST(KorviResponseTest, NonHttp10AnswersSayTheConnectionCloses) {
  struct Case {
    const char* protocol;
    const char* expected;
  };
  for (const Case& c :
       {Case{"HTTP/1.1",
             "HTTP/1.1 200 OK\r\nX-Id: 7\r\nContent-type: text/html\r\nConnection: close\r\n"
             "Content-Length: 2\r\n\r\nhi"},
        Case{"HTTP/1.0",
             "HTTP/1.0 200 OK\r\nX-Id: 7\r\nConnection: keep-alive\r\nContent-type: "
             "text/html\r\nContent-Length: 2\r\n\r\nhi"}}) {
    Answer answer(c.protocol);
    answer.response.SetCustomHeader("X-Id", "7");
    answer.response.SetCustomHeader("Connection", "keep-alive");
    answer.response.SetContent("hi");
    EXPECT_EQ(answer.Sent(), c.expected) << c.protocol;
  }
}

TEST(KorviResponseTest, CodeWithoutTextFallsBackToOk) {
  Answer answer("HTTP/1.1");
  answer.response.SetStatusCode(402);
  EXPECT_EQ(answer.response.GetStringVariable(1), "");
  answer.response.SetContent("x");
  EXPECT_EQ(answer.Sent().substr(0, 17), "HTTP/1.0 200 OK\r\n");
}

TEST(KorviResponseTest, RequestWithoutVersionIsAnsweredInHttp10) {
  Answer answer("");
  answer.response.SetContent("hi");
  EXPECT_EQ(answer.Sent(),
            "HTTP/1.0 200 OK\r\nContent-type: text/html\r\nContent-Length: 2\r\n\r\nhi");
}

TEST(KorviResponseTest, EmptyResponseWritesNothing) {
  Answer answer;
  answer.received.Thread().BodyStream->WriteBuffer("request body", 12);
  answer.response.SetCustomHeader("X-Id", "7");
  EXPECT_EQ(answer.Sent(), "");
  EXPECT_TRUE(answer.response.Sent());
}

TEST(KorviResponseTest, EveryHeaderInItsPlace) {
  Answer answer;
  TKorviResponse& r = answer.response;
  r.SetStringVariable(3, "Basic realm=\"x\"");
  r.SetStringVariable(5, "GET");
  r.SetStringVariable(6, "/there");
  r.SetStringVariable(7, "gzip");
  r.SetStringVariable(8, "text/plain");
  r.SetStringVariable(9, "2");
  r.SetStringVariable(10, "/src");
  r.SetStringVariable(11, "T");
  r.SetDateVariable(1, EncodeDate(1994, 11, 6) + EncodeTime(8, 49, 37, 0));
  r.SetDateVariable(2, EncodeDate(2026, 12, 8) + EncodeTime(4, 5, 9, 0));
  r.Cookies().Add()->Name = "A";
  r.Cookies().Add()->Name = "B";
  r.SetCustomHeader("X-Id", "7");
  r.SetContent("body");
  EXPECT_EQ(answer.Sent(),
            "HTTP/1.0 200 OK\r\n"
            "Allow: GET\r\n"
            "Set-Cookie: A=\r\n"
            "Set-Cookie: B=\r\n"
            "Derived-From: /src\r\n"
            "Expires: Sun, 6 Nov 1994 08:49:37 GMT\r\n"
            "Last-Modified: Tue, 8 Dec 2026 04:05:09 GMT\r\n"
            "Title: T\r\n"
            "Location: /there\r\n"
            "WWW-Authenticate: Basic realm=\"x\"\r\n"
            "X-Id: 7\r\n"
            "Content-Version: 2\r\n"
            "Content-Encoding: gzip\r\n"
            "Content-type: text/plain\r\n"
            "Content-Length: 4\r\n"
            "\r\n"
            "body");
}

TEST(KorviResponseTest, ExpiresZeroIsWrittenAsZero) {
  Answer answer;
  answer.response.SetDateVariable(1, 0.0);
  answer.response.SetDateVariable(2, 0.0);
  answer.response.SetContent("x");
  std::string sent = answer.Sent();
  EXPECT_NE(sent.find("\r\nExpires: 0\r\n"), std::string::npos);
  EXPECT_EQ(sent.find("Last-Modified"), std::string::npos);
}

TEST(KorviResponseTest, CustomHeadersSetReplaceAndRemove) {
  Answer answer;
  TKorviResponse& r = answer.response;
  r.SetCustomHeader("X-Id", "7");
  r.SetCustomHeader("x-id", "8");
  EXPECT_EQ(r.GetCustomHeader("X-ID"), "8");
  EXPECT_EQ(r.CustomHeaders().Count(), 1);
  r.SetCustomHeader("X-Id", "");
  EXPECT_EQ(r.CustomHeaders().Count(), 0);
  TStringList list{"A=1", "B=2"};
  r.SetCustomHeaders(list);
  std::string text = "start\r\n";
  r.AddCustomHeaders(text);
  EXPECT_EQ(text, "start\r\nA: 1\r\nB: 2\r\n");
}

TEST(KorviResponseTest, LineBreaksInHeaderValuesCannotAddHeaders) {
  Answer answer;
  answer.response.SendRedirect("/x\r\nSet-Cookie: evil=1");
  answer.response.SetCustomHeader("X-A", "1\nX-B: 2");
  answer.response.SendResponse();
  std::string sent = answer.received.Body();
  EXPECT_NE(sent.find("\r\nLocation: /x  Set-Cookie: evil=1\r\n"), std::string::npos);
  EXPECT_NE(sent.find("\r\nX-A: 1 X-B: 2\r\n"), std::string::npos);
  EXPECT_EQ(sent.find("\nSet-Cookie"), std::string::npos);
}

TEST(KorviResponseTest, RedirectSendsLocationAndNotice) {
  Answer answer;
  answer.response.SendRedirect("/new");
  EXPECT_TRUE(answer.response.Sent());
  EXPECT_EQ(answer.received.Body(),
            "HTTP/1.0 302 Moved Temporarily\r\n"
            "Location: /new\r\n"
            "Content-type: text/html\r\n"
            "Content-Length: 31\r\n"
            "\r\n"
            "moving you over to new site ...");
}

TEST(KorviResponseTest, ContentStreamFollowsTheContentText) {
  Answer answer;
  auto* stream = new TStringStream("0123456789");
  stream->SetPosition(4);
  answer.response.SetContentStream(stream);
  EXPECT_EQ(answer.response.GetIntegerVariable(0), 10);
  EXPECT_EQ(stream->Position(), 0);
  answer.response.SetContent("ab");
  std::string sent = answer.Sent();
  EXPECT_NE(sent.find("Content-Length: 12\r\n\r\nab0123456789"), std::string::npos);
  EXPECT_EQ(answer.response.GetIntegerVariable(0), static_cast<int>(sent.size()));
}

TEST(KorviResponseTest, StreamOnlyAndLargeStreams) {
  Answer answer;
  std::string big(20000, 'z');
  big[8191] = 'a';
  big[19999] = 'b';
  answer.response.SetContentStream(new TStringStream(big));
  std::string sent = answer.Sent();
  EXPECT_NE(sent.find("Content-Length: 20000\r\n\r\n" + big), std::string::npos);
}

TEST(KorviResponseTest, SendStreamAppendsFromTheSourcePosition) {
  Answer answer;
  TStringStream source("skip-this|kept");
  source.SetPosition(10);
  answer.response.SendStream(source);
  TStringStream more("+more");
  answer.response.SendStream(more);
  answer.response.SetContent("");
  std::string sent = answer.Sent();
  EXPECT_NE(sent.find("Content-Length: 9\r\n\r\nkept+more"), std::string::npos);
}

TEST(KorviResponseTest, SendResponseAgainRebuildsTheBuffer) {
  Answer answer;
  answer.response.SetContent("first");
  answer.response.SendResponse();
  answer.response.SetContent("2nd");
  std::string sent = answer.Sent();
  EXPECT_EQ(sent.substr(sent.size() - 3), "2nd");
  EXPECT_EQ(sent.find("first"), std::string::npos);
}

TEST(KorviResponseTest, SetCookieFieldAddsOneCookiePerLine) {
  Answer answer;
  TStringList values{"SID=42", "lang=en", "SID=99"};
  answer.response.SetCookieField(values, "", "/", -1.0, false);
  const TKCookieCollection& cookies = answer.response.Cookies();
  ASSERT_EQ(cookies.Count(), 3);
  EXPECT_EQ(cookies.Items(0)->GetHeaderValue(), "SID=42; path=/");
  EXPECT_EQ(cookies.Items(1)->GetHeaderValue(), "lang=en; path=/");
  // The value of a repeated name is the one of its first line.
  EXPECT_EQ(cookies.Items(2)->GetHeaderValue(), "SID=42; path=/");
  EXPECT_EQ(answer.response.GetCookieValue("sid"), "42");
}

TEST(KorviResponseTest, GetCookieValueTakesTheLastCookieOfTheName) {
  Answer answer;
  TKCookie* first = answer.response.Cookies().Add();
  first->Name = "S";
  first->Value = "1";
  TKCookie* second = answer.response.Cookies().Add();
  second->Name = "s";
  second->Value = "2";
  EXPECT_EQ(answer.response.GetCookieValue("S"), "2");
  EXPECT_EQ(answer.response.GetCookieValue("T"), "");
}

TEST(KCookieTest, HeaderValueAttributes) {
  TKCookieCollection cookies(nullptr);
  TKCookie* c = cookies.Add();
  c->Name = "SID";
  c->Value = "a b%20";
  EXPECT_EQ(c->GetHeaderValue(), "SID=a b%20");
  c->Domain = "example.org";
  c->Path = "/app";
  c->Expires = EncodeDate(1994, 11, 6) + EncodeTime(8, 49, 37, 0);
  EXPECT_EQ(c->GetHeaderValue(),
            "SID=a b%20; domain=example.org; path=/app; expires=Sun, 06 Nov 1994 08:49:37 GMT");
  c->Secure = true;
  EXPECT_EQ(c->GetHeaderValue(),
            "SID=a b%20; domain=example.org; path=/app; "
            "expires=Sun, 06 Nov 1994 08:49:37 GMT; secure");
}

TEST(KCookieTest, AssignAndItemsCopyAllFields) {
  TKCookieCollection cookies(nullptr);
  TKCookie* a = cookies.Add();
  EXPECT_EQ(a->Expires, -1.0);
  TKCookie* b = cookies.Add();
  a->Name = "n";
  a->Value = "v";
  a->Path = "/";
  a->Domain = "d";
  a->Expires = 2.0;
  a->Secure = true;
  a->HttpOnly = true;
  a->SameSite = ssStrict;
  cookies.SetItems(1, *a);
  EXPECT_EQ(b->GetHeaderValue(), a->GetHeaderValue());
  TKCookie c(nullptr);
  c.Assign(*a);
  EXPECT_EQ(c.GetHeaderValue(), a->GetHeaderValue());
}

}  // namespace
}  // namespace korvi
