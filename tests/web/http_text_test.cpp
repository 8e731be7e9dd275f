// HTTP text utilities: URL coding, HTML escaping, HTTP dates, field
// splitting and path delimiters, including the error behaviour callers
// rely on.
#include "korvi/web/http_text.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "korvi/host/datetime.h"
#include "korvi/host/exceptions.h"
#include "korvi/host/string_list.h"

namespace korvi {
namespace {

std::vector<std::string> Lines(const TStringList& list) {
  std::vector<std::string> lines;
  for (int i = 0; i < list.Count(); ++i)
    lines.push_back(list[i]);
  return lines;
}

TEST(HttpDecodeTest, DecodesPlusEscapesAndDoublePercent) {
  EXPECT_EQ(HTTPDecode("a+b%41%%"), "a bA%");
  EXPECT_EQ(HTTPDecode("%2f%2F%c9"), "//\xC9");
  EXPECT_EQ(HTTPDecode("%00x"), std::string("\0x", 2));
  EXPECT_EQ(HTTPDecode(""), "");
  EXPECT_EQ(HTTPDecode("plain/text.htm"), "plain/text.htm");
}

TEST(HttpDecodeTest, BadOrTruncatedEscapeRaisesConversionError) {
  for (const char* text : {"%zz", "abc%", "abc%4", "%4g", "%-1", "% 1", "%+1"}) {
    EXPECT_THROW(HTTPDecode(text), EConvertError) << text;
  }
}

TEST(HttpDecodeTest, ErrorMessageNamesTheHexText) {
  try {
    HTTPDecode("x%zz");
    FAIL() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'$zz' is not a valid integer value");
  }
}

TEST(HttpEncodeTest, EncodesAllButTheSafeSet) {
  EXPECT_EQ(HTTPEncode("a b&c"), "a+b%26c");
  EXPECT_EQ(HTTPEncode("~"), "%7E");
  EXPECT_EQ(HTTPEncode("\xC9"), "%C9");
  EXPECT_EQ(HTTPEncode("O'Neil(1)*"), "O'Neil(1)*");
  EXPECT_EQ(HTTPEncode("!$-.@_AZaz09"), "!$-.@_AZaz09");
  EXPECT_EQ(HTTPEncode("+%=/?\n"), "%2B%25%3D%2F%3F%0A");
  EXPECT_EQ(HTTPEncode(std::string("\0", 1)), "%00");
}

TEST(HttpEncodeTest, DecodeUndoesEncodeForEveryByte) {
  std::string all;
  for (int c = 0; c < 256; ++c)
    all.push_back(static_cast<char>(c));
  EXPECT_EQ(HTTPDecode(HTTPEncode(all)), all);
}

// A path keeps its "/" and punctuation; what would end it or change its
// meaning ("#", "?", "%", "+", blanks, control and high bytes) is escaped,
// and decoding gives the path back for every byte.
TEST(HttpEncodePathTest, EscapesWhatAPathCannotCarry) {
  const std::pair<std::string, std::string> cases[] = {
      {"/a b/hash#1.txt", "/a%20b/hash%231.txt"},
      {"/pct%41?.txt", "/pct%2541%3F.txt"},
      {"/a+b.txt", "/a%2Bb.txt"},
      {"/\xC3\xA9t\xC3\xA9.txt", "/%C3%A9t%C3%A9.txt"},
      {std::string("/\t\x7F\0", 4), "/%09%7F%00"},
      {"/~user/(x)&y=z;@!'*,$", "/~user/(x)&y=z;@!'*,$"},
  };
  for (const auto& [path, encoded] : cases)
    EXPECT_EQ(HTTPEncodePath(path), encoded) << path;
  std::string all;
  for (int c = 0; c < 256; ++c)
    all.push_back(static_cast<char>(c));
  EXPECT_EQ(HTTPDecode(HTTPEncodePath(all)), all);
}

TEST(HtmlEscapeTest, EscapesMarkupCharacters) {
  EXPECT_EQ(HTMLEscape("a&<>\"'b"), "a&amp;&lt;&gt;&quot;'b");
}

TDateTime Nov6() {
  return EncodeDate(1994, 11, 6) + EncodeTime(8, 49, 37, 0);
}

TEST(ParseDateTest, ReadsTheThreeLayoutsAsWritten) {
  EXPECT_DOUBLE_EQ(ParseDate("Sun, 06 Nov 1994 08:49:37 GMT"), Nov6());
  EXPECT_DOUBLE_EQ(ParseDate("Sunday, 06-Nov-94 08:49:37 GMT"), Nov6());
  EXPECT_DOUBLE_EQ(ParseDate("x: Sun Nov 6 08:49:37 1994"), Nov6());
  EXPECT_DOUBLE_EQ(ParseDate("Sun, 06 nOV 1994 08:49:37"), Nov6());
}

TEST(ParseDateTest, MonthFirstYearGetsNoCentury) {
  EXPECT_DOUBLE_EQ(ParseDate("x: Sun Nov 6 08:49:37 94"),
                   EncodeDate(94, 11, 6) + EncodeTime(8, 49, 37, 0));
}

TEST(ParseDateTest, MalformedDatesRaiseConversionError) {
  const char* bad[] = {
      "Sun, 06 Foo 1994 08:49:37 GMT",  // no month name: month 13
      "Sun Nov 6 08:49:37 1994",        // the cursor stands on the day
      "Sun, 31 Apr 1994 08:49:37 GMT",  // calendar rejects the day
      "Sun, 06 Nov 1994 24:00:00 GMT",  // hour 24
      "Sun, 06 Nov 1994 08:49",         // seconds missing
      "Sun, xx Nov 1994 08:49:37 GMT",  // day is no number
      "",
      "Sun",
  };
  for (const char* text : bad)
    EXPECT_THROW(ParseDate(text), EConvertError) << text;
}

TEST(ExtractHeaderFieldsTest, SplitsAtSeparatorsAndSkipsLeadingBlanks) {
  TStringList list;
  ExtractHeaderFields({';'}, {' '}, "a=1; b=2;;c", list, false);
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"a=1", "b=2", "c"}));
  list.Clear();
  ExtractHeaderFields({';'}, {' '}, "x=1 ; y=2", list, false);
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"x=1 ", "y=2"}));
}

TEST(ExtractHeaderFieldsTest, LineBreaksEndFieldsAndEmptyTextAddsNothing) {
  TStringList list;
  ExtractHeaderFields({'&'}, {}, "a=1\r\nb=2\n\nc=3", list, false);
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"a=1", "b=2", "c=3"}));
  list.Clear();
  ExtractHeaderFields({'&'}, {}, "", list, true);
  ExtractHeaderFields({'&'}, {' '}, " & &  ", list, true);
  EXPECT_EQ(list.Count(), 0);
}

TEST(ExtractHeaderFieldsTest, DecodesAfterSplitting) {
  TStringList list;
  ExtractHTTPFields({'&'}, {}, "q=a%26b&r=%20&e=%3D", list);
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"q=a&b", "r= ", "e=="}));
}

TEST(ExtractHeaderFieldsTest, DecodeErrorKeepsEarlierFields) {
  TStringList list;
  EXPECT_THROW(ExtractHTTPFields({'&'}, {}, "a=1&b=%zz&c=3", list), EConvertError);
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"a=1"}));
}

TEST(ExtractHeaderFieldsTest, QuotedFieldsKeepSeparators) {
  TStringList list;
  ExtractHeaderFields({';'}, {}, "\"a;b\";c", list, false);
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"a;b", "c"}));
  list.Clear();
  ExtractHeaderFields({';'}, {' '}, "'x\r\ny'z; w", list, false);
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"x\r\ny", "z", "w"}));
  list.Clear();
  ExtractHeaderFields({';'}, {}, "\"open;to end", list, false);
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"open;to end"}));
  list.Clear();
  ExtractHeaderFields({';'}, {}, "\"", list, false);
  EXPECT_EQ(list.Count(), 0);
}

TEST(PathDelimiterTest, SwapsSlashesBothWays) {
  EXPECT_EQ(UnixPathToDosPath("/docs/a.htm"), "\\docs\\a.htm");
  EXPECT_EQ(DosPathToUnixPath("C:\\www\\a b\\c.htm"), "C:/www/a b/c.htm");
  EXPECT_EQ(UnixPathToDosPath(""), "");
  EXPECT_EQ(DosPathToUnixPath(""), "");
}

}  // namespace
}  // namespace korvi
