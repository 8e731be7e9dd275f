// The outgoing text of built-in answers: growth past the first chunk and the
// exact wire text of status and header lines.
#include "korvi/server/output_text.h"

#include <gtest/gtest.h>

#include <string>

#include "korvi/host/datetime.h"

namespace korvi {
namespace {

// The moment (seconds since the Unix epoch) of `date` + `time` in UTC.
std::int64_t Utc(TDateTime date, TDateTime time) {
  return DateTimeToUnix(date + time);
}

// 8 December 2026 10:05:09 UTC (04:05:09 CST), a Tuesday.
std::int64_t FixedTime() {
  return Utc(EncodeDate(2026, 12, 8), EncodeTime(10, 5, 9, 0));
}

TOutputText FixedText(const std::string& host) {
  TOutputText out;
  out.SetLocalHostName(host);
  out.SetClock(FixedTime);
  return out;
}

// Dates are the moment in Central Standard Time (UTC-6), whatever the
// machine's zone, with the short names, a day without leading zero and
// two-digit time fields.
TEST(OutputText, FormatsHeaderDates) {
  EXPECT_EQ(FormatHeaderDate(FixedTime()), "Tue, 8 Dec 2026 04:05:09 CST");
  EXPECT_EQ(FormatHeaderDate(Utc(EncodeDate(1999, 2, 1), EncodeTime(5, 59, 0, 0))),
            "Sun, 31 Jan 1999 23:59:00 CST");
  EXPECT_EQ(FormatHeaderDate(0), "Wed, 31 Dec 1969 18:00:00 CST");
}

// WriteString reports the room left in the first 8192 bytes, going negative,
// and keeps every byte when the text grows over several chunks.
TEST(OutputText, WriteStringKeepsBytesAcrossGrowth) {
  TOutputText out;
  EXPECT_EQ(out.WriteString("abc"), 8189);
  EXPECT_EQ(out.WriteString(std::string(8189, 'x')), 0);
  EXPECT_EQ(out.WriteString("y"), -1);
  const std::string big(20000, 'z');
  EXPECT_EQ(out.WriteString(big), 8192 - 8193 - 20000);
  EXPECT_EQ(out.WriteString(""), 8192 - 28193);
  ASSERT_EQ(out.OutLength(), 28193);
  const std::string text = out.Text();
  EXPECT_EQ(text.substr(0, 3), "abc");
  EXPECT_EQ(text[8191], 'x');
  EXPECT_EQ(text[8192], 'y');
  EXPECT_EQ(text.substr(8193), big);
}

// The status line is followed by "Server" (only with a host name) and "Date".
TEST(OutputText, StatusLineWithAndWithoutHostName) {
  TOutputText named = FixedText("web01");
  named.WriteStatus(404);
  EXPECT_EQ(named.Text(),
            "HTTP/1.0 404 Not Found\r\nServer: web01\r\nDate: Tue, 8 Dec 2026 04:05:09 CST\r\n");
  EXPECT_EQ(named.WrittenStatus(), 404);

  TOutputText anonymous = FixedText("");
  EXPECT_EQ(anonymous.WrittenStatus(), 0);
  anonymous.WriteStatuss("299 Custom");
  EXPECT_EQ(anonymous.Text(), "HTTP/1.0 299 Custom\r\nDate: Tue, 8 Dec 2026 04:05:09 CST\r\n");
  EXPECT_EQ(anonymous.WrittenStatus(), 0);
}

// A code without a status text gives "HTTP/1.0 " directly followed by CRLF.
TEST(OutputText, UnknownCodeGivesBareStatusLine) {
  TOutputText out = FixedText("");
  out.WriteStatus(203);
  EXPECT_EQ(out.Text(), "HTTP/1.0 \r\nDate: Tue, 8 Dec 2026 04:05:09 CST\r\n");
  EXPECT_EQ(out.WrittenStatus(), 203);
}

// A file answer's header block: status, type, length, modification date, empty line.
TEST(OutputText, FileHeadersInOrder) {
  TOutputText typed = FixedText("h");
  typed.WriteFileHeaders("text/html", 20000, Utc(EncodeDate(2001, 2, 3), EncodeTime(10, 0, 7, 0)));
  EXPECT_EQ(typed.Text(),
            "HTTP/1.0 200 OK\r\nServer: h\r\nDate: Tue, 8 Dec 2026 04:05:09 CST\r\n"
            "Content-type: text/html\r\nContent-Length: 20000\r\n"
            "Last-Modified: Sat, 3 Feb 2001 04:00:07 CST\r\n\r\n");
  EXPECT_EQ(typed.WrittenStatus(), 200);

  TOutputText untyped = FixedText("");
  untyped.WriteFileHeaders("", 0, FixedTime());
  EXPECT_EQ(untyped.Text(),
            "HTTP/1.0 200 OK\r\nDate: Tue, 8 Dec 2026 04:05:09 CST\r\n"
            "Content-Length: 0\r\nLast-Modified: Tue, 8 Dec 2026 04:05:09 CST\r\n\r\n");
}

// Integer headers are decimal, negative ones and 64-bit sizes included.
TEST(OutputText, IntegerHeaders) {
  TOutputText out;
  out.WriteHeader("A", -5);
  out.WriteHeader("B", 5000000000LL);
  out.WriteHeaders("C", "");
  EXPECT_EQ(out.Text(), "A: -5\r\nB: 5000000000\r\nC: \r\n");
}

}  // namespace
}  // namespace korvi
