// The request object over a received request: numbered variables, method
// type, the lazily built field lists, field lookup rules and body reading.
#include "korvi/web/korvi_request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "korvi/host/exceptions.h"
#include "korvi/host/streams.h"
#include "korvi/web/http_text.h"
#include "tests/web/received_request.h"

namespace korvi {
namespace {

using test::ReceivedRequest;

TEST(KorviRequestTest, MethodTypeComparesWithoutCase) {
  const std::pair<const char*, TMethodType> cases[] = {
      {"get", mtGet},     {"PUT", mtPut}, {"Post", mtPost}, {"HEAD", mtHead},
      {"OPTIONS", mtAny}, {"", mtAny},    {"GETX", mtAny}};
  for (const auto& [method, type] : cases) {
    ReceivedRequest received(method, "/", "HTTP/1.0");
    EXPECT_EQ(received.Request().MethodType(), type) << method;
  }
}

TEST(KorviRequestTest, RequestLineVariables) {
  ReceivedRequest received("GET", "/a%20b?x=1&y=%41", "HTTP/1.1");
  TKorviRequest& request = received.Request();
  EXPECT_EQ(request.GetStringVariable(0), "GET");
  EXPECT_EQ(request.GetStringVariable(1), "HTTP/1.1");
  EXPECT_EQ(request.GetStringVariable(2), "/a b");
  EXPECT_EQ(request.GetStringVariable(3), "x=1&y=%41");
  EXPECT_EQ(request.GetStringVariable(4), "/a b");
  EXPECT_EQ(request.GetStringVariable(5), "");
  TStringList& query = request.GetQueryFields();
  ASSERT_EQ(query.Count(), 2);
  EXPECT_EQ(query[0], "x=1");
  EXPECT_EQ(query[1], "y=A");
}

// Each named reader gives the variable of its number.
TEST(KorviRequestTest, NamedReadersGiveTheirVariables) {
  ReceivedRequest received("POST", "/p%20q?k=v", "HTTP/1.1",
                           {{"Cache-Control", "cc"},
                            {"Date", "Sun, 06 Nov 1994 08:49:37 GMT"},
                            {"Accept", "ac"},
                            {"From", "fr"},
                            {"Host", "ho"},
                            {"If-Modified-Since", "Mon, 07 Nov 1994 08:49:37 GMT"},
                            {"Referer", "re"},
                            {"User-Agent", "ua"},
                            {"Content-Encoding", "ce"},
                            {"Content-Type", "ct"},
                            {"Content-Length", "4"},
                            {"Connection", "co"},
                            {"Cookie", "ck"},
                            {"Authorization", "au"}},
                           "body");
  TKorviRequest& r = received.Request();
  const std::pair<std::string, int> texts[] = {{r.Method(), 0},       {r.ProtocolVersion(), 1},
                                               {r.URL(), 2},          {r.Query(), 3},
                                               {r.PathInfo(), 4},     {r.CacheControl(), 6},
                                               {r.Accept(), 8},       {r.From(), 9},
                                               {r.Host(), 10},        {r.Referer(), 12},
                                               {r.UserAgent(), 13},   {r.ContentEncoding(), 14},
                                               {r.ContentType(), 15}, {r.RemoteAddr(), 21},
                                               {r.Content(), 25},     {r.Connection(), 26},
                                               {r.Cookie(), 27},      {r.Authorization(), 28}};
  for (const auto& [value, index] : texts) {
    EXPECT_EQ(value, r.GetStringVariable(index)) << index;
    EXPECT_NE(value, "") << index;
  }
  EXPECT_EQ(r.ContentLength(), 4);
  EXPECT_EQ(r.Date(), r.GetDateVariable(7));
  EXPECT_EQ(r.IfModifiedSince(), r.GetDateVariable(11));
  EXPECT_EQ(r.IfModifiedSince() - r.Date(), 1.0);
}

TEST(KorviRequestTest, MissingProtocolGivesEmptyVersion) {
  ReceivedRequest received("GET", "/index.htm", "");
  EXPECT_EQ(received.Request().GetStringVariable(1), "");
  EXPECT_EQ(received.Request().GetStringVariable(3), "");
}

TEST(KorviRequestTest, HeaderVariablesAreFoundWithoutCaseFirstLineWinning) {
  ReceivedRequest received("GET", "/", "HTTP/1.0",
                           {{"content-type", "text/plain"},
                            {"HOST", "example.org"},
                            {"Host", "second.org"},
                            {"User-Agent", "curl/7"},
                            {"Authorization", "Basic eA=="},
                            {"Remote-Address", "6.6.6.6"},
                            {"Server-Port", "8080"}});
  TKorviRequest& request = received.Request();
  EXPECT_EQ(request.GetStringVariable(15), "text/plain");
  EXPECT_EQ(request.GetStringVariable(10), "example.org");
  EXPECT_EQ(request.GetStringVariable(13), "curl/7");
  EXPECT_EQ(request.GetStringVariable(28), "Basic eA==");
  EXPECT_EQ(request.GetStringVariable(24), "8080");
  // The thread's own address line comes first, whatever the client sends.
  EXPECT_EQ(request.GetStringVariable(21), "127.0.0.1");
  EXPECT_EQ(request.GetStringVariable(12), "");  // Referer not sent
}

TEST(KorviRequestTest, VariableNumbersOutsideTheTableAreEmpty) {
  ReceivedRequest received("GET", "/", "HTTP/1.0", {{"Host", "h"}});
  TKorviRequest& request = received.Request();
  for (int index : {-1, 29, 100}) {
    EXPECT_EQ(request.GetStringVariable(index), "");
    EXPECT_EQ(request.GetIntegerVariable(index), -1);
    EXPECT_EQ(request.GetDateVariable(index), -1.0);
  }
  EXPECT_STREQ(arHTTPHeader[0], "0");
  EXPECT_STREQ(arHTTPHeader[16], "Content-Length");
  EXPECT_STREQ(arHTTPHeader[28], "Authorization");
}

TEST(KorviRequestTest, IntegerVariableIsDecimalOrMinusOne) {
  const std::pair<const char*, int> cases[] = {{"11", 11},   {"abc", -1}, {"$10", -1},
                                               {"0x10", -1}, {"", -1},    {"99999999999", -1}};
  for (const auto& [text, value] : cases) {
    ReceivedRequest received("POST", "/", "HTTP/1.0", {{"Content-Length", text}});
    EXPECT_EQ(received.Request().GetIntegerVariable(16), value) << text;
  }
  ReceivedRequest none("GET", "/", "HTTP/1.0");
  EXPECT_EQ(none.Request().GetIntegerVariable(16), -1);
}

TEST(KorviRequestTest, DateVariableParsesOrRaises) {
  ReceivedRequest none("GET", "/", "HTTP/1.0");
  EXPECT_EQ(none.Request().GetDateVariable(11), -1.0);
  ReceivedRequest dated("GET", "/", "HTTP/1.0",
                        {{"If-Modified-Since", "Sun, 06 Nov 1994 08:49:37 GMT"}});
  EXPECT_DOUBLE_EQ(dated.Request().GetDateVariable(11),
                   EncodeDate(1994, 11, 6) + EncodeTime(8, 49, 37, 0));
  ReceivedRequest bad("GET", "/", "HTTP/1.0", {{"If-Modified-Since", "yesterday"}});
  EXPECT_THROW(bad.Request().GetDateVariable(11), EConvertError);
}

TEST(KorviRequestTest, FieldValuePrefersQueryThenFirstContentField) {
  ReceivedRequest post("POST", "/", "HTTP/1.0", {{"Content-Length", "11"}}, "a=1&b=2&a=3");
  EXPECT_EQ(post.Request().GetFieldValue("A", "none"), "1");
  EXPECT_EQ(post.Request().GetFieldValue("b", "none"), "2");
  EXPECT_EQ(post.Request().GetFieldValue("c", "none"), "none");
  EXPECT_EQ(post.Request().GetFieldByName("c"), "");

  ReceivedRequest both("POST", "/?a=9", "HTTP/1.0", {{"Content-Length", "11"}}, "a=1&b=2&a=3");
  EXPECT_EQ(both.Request().GetFieldValue("a", "none"), "9");
  EXPECT_EQ(both.Request().GetFormField("A", "none"), "9");
}

TEST(KorviRequestTest, ContentFieldsNeedAPositiveContentLength) {
  ReceivedRequest unannounced("POST", "/", "HTTP/1.0", {}, "a=1");
  EXPECT_EQ(unannounced.Request().GetContentFields().Count(), 0);
  EXPECT_EQ(unannounced.Request().GetFieldValue("a", "none"), "none");
}

TEST(KorviRequestTest, FieldNameWithBlankMatchesOnlyItsLastWord) {
  ReceivedRequest received("GET", "/?first+name=Bob", "HTTP/1.0");
  EXPECT_EQ(received.Request().GetFieldValue("first name", "none"), "none");
  EXPECT_EQ(received.Request().GetFieldValue(" name", "none"), "Bob");
}

TEST(KorviRequestTest, DecodeErrorIsCaughtAndTheListIsNotBuiltAgain) {
  ReceivedRequest received("POST", "/", "HTTP/1.0", {{"Content-Length", "9"}}, "a=1&b=%zz");
  TKorviRequest& request = received.Request();
  EXPECT_EQ(request.GetFieldValue("a", "default"), "default");
  EXPECT_EQ(request.GetFieldValue("a", "default"), "1");
  EXPECT_EQ(request.GetContentFields().Count(), 1);
}

TEST(KorviRequestTest, QueryDecodeErrorReachesTheGetterButNotFieldValue) {
  ReceivedRequest received("GET", "/?a=%4", "HTTP/1.0");
  EXPECT_EQ(received.Request().GetFieldValue("a", "dflt"), "dflt");
  ReceivedRequest fresh("GET", "/?a=%4", "HTTP/1.0");
  EXPECT_THROW(fresh.Request().GetQueryFields(), EConvertError);
}

TEST(KorviRequestTest, ContentKeepsBytesAfterAZeroByte) {
  const std::string body("a=1\0&b=2", 8);
  ReceivedRequest received("POST", "/", "HTTP/1.0", {{"Content-Length", "8"}}, body);
  TKorviRequest& request = received.Request();
  EXPECT_EQ(request.GetStringVariable(25), body);
  EXPECT_EQ(request.GetFieldValue("b", "none"), "2");
  EXPECT_EQ(request.GetFieldValue("a", "none"), std::string("1\0", 2));
}

TEST(KorviRequestTest, CookiesAreSplitButNotDecoded) {
  ReceivedRequest received("GET", "/", "HTTP/1.0", {{"Cookie", "SID=12%2034; lang=en"}});
  TStringList& cookies = received.Request().GetCookieFields();
  ASSERT_EQ(cookies.Count(), 2);
  EXPECT_EQ(cookies[0], "SID=12%2034");
  EXPECT_EQ(cookies[1], "lang=en");
}

TEST(KorviRequestTest, ReadStringWalksTheBodyAndStopsAtItsEnd) {
  ReceivedRequest received("POST", "/", "HTTP/1.0", {{"Content-Length", "7"}}, "abcdefg");
  TKorviRequest& request = received.Request();
  EXPECT_EQ(request.ReadString(5), "abcde");
  EXPECT_EQ(request.ReadString(5), "fg");
  EXPECT_EQ(request.ReadString(5), "");
  char byte = 0;
  EXPECT_EQ(request.ReadClient(&byte, 1), 0);
  EXPECT_EQ(request.ReadString(0), "");
  EXPECT_EQ(request.ReadString(-3), "");
}

TEST(KorviRequestTest, ReadStringOfAHugeCountAllocatesOnlyWhatIsLeft) {
  ReceivedRequest received("POST", "/", "HTTP/1.0", {{"Content-Length", "3"}}, "xyz");
  EXPECT_EQ(received.Request().ReadString(0x7FFFFFFF), "xyz");
}

TEST(KorviRequestTest, ReadClientIsNotDisturbedByOtherBodyReaders) {
  ReceivedRequest received("POST", "/", "HTTP/1.0", {{"Content-Length", "6"}}, "123456");
  TKorviRequest& request = received.Request();
  EXPECT_EQ(request.ReadString(2), "12");
  received.Thread().BodyStream->SetPosition(5);
  EXPECT_EQ(request.ReadString(2), "34");
}

TEST(KorviRequestTest, TranslateUriMapsUnderTheThreadRoot) {
  ReceivedRequest received("GET", "/", "HTTP/1.0");
  received.Thread().ThreadRoot = "/srv/www/";
  received.Thread().DefaultFileName = "index.htm";
  EXPECT_EQ(received.Request().TranslateURI("/docs/a.htm"), "/srv/www/docs/a.htm");
  EXPECT_EQ(received.Request().TranslateURI(""), "/srv/www/index.htm");
}

// Climbs in every spelling the hostile clients use, raw and decoded, at
// depths one and two: the path stays below the root or there is none.
TEST(KorviRequestTest, TranslateUriNeverLeavesTheRoot) {
  ReceivedRequest received("GET", "/", "HTTP/1.0");
  received.Thread().ThreadRoot = "/srv/www/";
  TKorviRequest& request = received.Request();
  EXPECT_EQ(request.TranslateURI("/../../etc/passwd"), "");
  EXPECT_EQ(request.TranslateURI("/a/../b.htm"), "/srv/www/b.htm");
  const std::vector<std::string> climbs = {"..",    "%2e%2e", "%2E%2e", ".%2e",      "%2e.", "..\\",
                                           "..%5c", "%5c..",  "...",    "sub/../..", ""};
  for (const std::string& first : climbs) {
    for (const std::string& second : climbs) {
      for (const char* file : {"/outside.txt", "\\outside.txt"}) {
        const std::string raw = "/" + first + "/" + second + file;
        for (const std::string& uri : {raw, HTTPDecode(raw)}) {
          const std::string path = request.TranslateURI(uri);
          EXPECT_TRUE(path.empty() ||
                      (path.starts_with("/srv/www/") && path.find("/../") == std::string::npos))
              << uri << " -> " << path;
        }
      }
    }
  }
}

TEST(KorviRequestTest, GetBodyIsTheThreadsBodyStream) {
  ReceivedRequest received("POST", "/", "HTTP/1.0", {}, "data");
  EXPECT_EQ(received.Request().GetBody(), received.Thread().BodyStream.get());
}

}  // namespace
}  // namespace korvi
