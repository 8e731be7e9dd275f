// HTTP/1.1 dates: IMF-fixdate output in GMT, and the strict reading of the
// three date forms, where anything else reads as no date.
#include "korvi/web/http_date.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <string>

namespace korvi {
namespace {

constexpr std::int64_t kNov6 = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT

TEST(HttpDateTest, FormatsIMFFixdateInGMT) {
  const struct {
    std::int64_t seconds;
    const char* text;
  } cases[] = {
      {0, "Thu, 01 Jan 1970 00:00:00 GMT"},         {-1, "Wed, 31 Dec 1969 23:59:59 GMT"},
      {kNov6, "Sun, 06 Nov 1994 08:49:37 GMT"},     {1796828094, "Wed, 09 Dec 2026 14:54:54 GMT"},
      {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"}, {253402300799, "Fri, 31 Dec 9999 23:59:59 GMT"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatHttpDate(c.seconds), c.text);
    EXPECT_EQ(ParseHttpDate(c.text), c.seconds) << c.text;
  }
  // Backwards, the last texts made come again, then older ones.
  for (auto c = std::rbegin(cases); c != std::rend(cases); ++c) {
    EXPECT_EQ(FormatHttpDate(c->seconds), c->text);
  }
}

TEST(HttpDateTest, ReadsTheThreeForms) {
  const struct {
    const char* text;
    std::int64_t seconds;
  } cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", kNov6},
      {"Sunday, 06-Nov-94 08:49:37 GMT", kNov6},
      {"Sun Nov  6 08:49:37 1994", kNov6},
      {"Sun Nov 06 08:49:37 1994", kNov6},
      {" \tSun, 06 Nov 1994 08:49:37 GMT ", kNov6},
      {"Thursday, 01-Jan-70 00:00:00 GMT", 0},
      {"Saturday, 01-Jan-00 00:00:00 GMT", 946684800},
      {"Tuesday, 01-Jan-69 00:00:00 GMT", 3124224000},
      {"Mon, 06 Nov 1994 08:49:37 GMT", kNov6},  // the day name is not checked
      {"Wed, 31 Dec 1969 23:59:60 GMT", 0},      // a leap second
  };
  for (const auto& c : cases)
    EXPECT_EQ(ParseHttpDate(c.text), c.seconds) << c.text;
}

TEST(HttpDateTest, AnythingElseIsNoDate) {
  for (const char* text : {
           "",
           "0",
           "Sun, 06 Nov 1994 08:49:37 CST",
           "Sun, 06 Nov 1994 08:49:37",
           "Sun, 06 Nov 1994 08:49:37 GMT+1",
           "sun, 06 Nov 1994 08:49:37 GMT",
           "Sun, 06 nov 1994 08:49:37 GMT",
           "Sun, 6 Nov 1994 08:49:37 GMT",
           "Sun,  06 Nov 1994 08:49:37 GMT",
           "Sun, 06 Nov 94 08:49:37 GMT",
           "Sun, 06 Nov 1994 8:49:37 GMT",
           "Sun 06 Nov 1994 08:49:37 GMT",
           "Sunday, 06-Nov-1994 08:49:37 GMT",
           "Sun, 06-Nov-94 08:49:37 GMT",
           "Sun Nov 6 08:49:37 1994",
           "Sun Nov  6 08:49:37 1994 GMT",
           "Sun, 31 Apr 1994 08:49:37 GMT",
           "Sun, 29 Feb 1993 08:49:37 GMT",
           "Sun, 00 Nov 1994 08:49:37 GMT",
           "Sun, 06 Nov 0000 08:49:37 GMT",
           "Sun, 06 Nov 1994 24:00:00 GMT",
           "Sun, 06 Nov 1994 08:60:00 GMT",
           "Sun, 06 Nov 1994 08:49:61 GMT",
       }) {
    EXPECT_EQ(ParseHttpDate(text), std::nullopt) << text;
  }
}

}  // namespace
}  // namespace korvi
