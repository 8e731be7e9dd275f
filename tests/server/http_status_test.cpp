// Status texts: the status-line table and the reason-phrase table, which
// differ for 203, 402 and the spelling of 503.
#include "korvi/server/http_status.h"

#include <gtest/gtest.h>

namespace korvi {
namespace {

TEST(HttpStatusTest, StatusLineTextsCarryCodeAndReason) {
  EXPECT_EQ(GetHTTPStatus(200), "200 OK");
  EXPECT_EQ(GetHTTPStatus(302), "302 Moved Temporarily");
  EXPECT_EQ(GetHTTPStatus(404), "404 Not Found");
  EXPECT_EQ(GetHTTPStatus(412), "412 Unless True");
  EXPECT_EQ(GetHTTPStatus(504), "504 Gateway Timeout");
}

TEST(HttpStatusTest, StatusLineTableKeepsItsOwn503Spelling) {
  EXPECT_EQ(GetHTTPStatus(503), "503 Service Unvailable");
  EXPECT_EQ(StatusString(503), "Service Unavailable");
}

TEST(HttpStatusTest, StatusLineTableHasNo203Or402) {
  EXPECT_EQ(GetHTTPStatus(203), "");
  EXPECT_EQ(GetHTTPStatus(402), "");
  EXPECT_EQ(StatusString(203), "Non-Authoritative Information");
  EXPECT_EQ(StatusString(402), "Payment Required");
}

TEST(HttpStatusTest, UnknownCodesGiveEmptyText) {
  for (int code : {0, -1, 199, 207, 306, 413, 505, 999}) {
    EXPECT_EQ(GetHTTPStatus(code), "") << code;
    EXPECT_EQ(StatusString(code), "") << code;
  }
}

TEST(HttpStatusTest, EveryReasonMatchesItsStatusLineExceptTheKnownThree) {
  for (int code = 100; code < 600; ++code) {
    std::string line = GetHTTPStatus(code);
    if (line.empty() || code == 503) continue;
    EXPECT_EQ(line, std::to_string(code) + " " + StatusString(code));
  }
}

// The HTTP/1.1 profile knows two codes more and keeps every other entry.
TEST(HttpStatusTest, HTTP11TableAdds416And505Only) {
  const struct {
    int code;
    const char* line;
    const char* reason;
  } added[] = {
      {416, "416 Range Not Satisfiable", "Range Not Satisfiable"},
      {505, "505 HTTP Version Not Supported", "HTTP Version Not Supported"},
  };
  for (const auto& entry : added) {
    EXPECT_EQ(GetHTTPStatus(entry.code, true), entry.line);
    EXPECT_EQ(StatusString(entry.code, true), entry.reason);
  }
  for (int code = 0; code < 1000; ++code) {
    if (code == 416 || code == 505) continue;
    EXPECT_EQ(GetHTTPStatus(code, true), GetHTTPStatus(code)) << code;
    EXPECT_EQ(StatusString(code, true), StatusString(code)) << code;
  }
}

}  // namespace
}  // namespace korvi
