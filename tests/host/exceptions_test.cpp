// Format: directives, flags, width, precision and argument checking.
#include "korvi/host/exceptions.h"

#include <gtest/gtest.h>

#include "tests/support/expect_message.h"

namespace korvi {
namespace {

struct FormatCase {
  const char* format;
  FormatArg arg;
  const char* expected;
};

// Every directive with its flags, width and precision, one argument each.
TEST(Format, DirectivesWidthAndPrecision) {
  const FormatCase cases[] = {
      {"%%%.2x", 10, "%0A"},
      {"%%%.2x", 255, "%FF"},
      {"%x", 0xBEEF, "BEEF"},
      {"%x", -1, "FFFFFFFF"},
      {"%.4x", 0x1F, "001F"},
      {"%d", -42, "-42"},
      {"%.3d", -5, "-005"},
      {"%5d", 42, "   42"},
      {"%-5d|", 42, "42   |"},
      {"%u", 7u, "7"},
      {"%d", 9000000000LL, "9000000000"},
      {"%s", "abc", "abc"},
      {"%.2s", "abcdef", "ab"},
      {"%6s", "ab", "    ab"},
      {"%-6s|", "ab", "ab    |"},
      {"<#%s>", std::string("tag"), "<#tag>"},
      {"%f", 3.14159, "3.14"},
      {"%.3f", -1.0, "-1.000"},
      {"%8.1f", 12.34, "    12.3"},
      {"%g", 1.5, "1.5"},
      {"%g", 100.0, "100"},
      {"%e", 1000.0, "1.00000000000000E+003"},
      {"%.3e", 0.00125, "1.25E-003"},
  };
  for (const FormatCase& c : cases) {
    EXPECT_EQ(Format(c.format, {c.arg}), c.expected) << c.format;
  }
}

TEST(Format, SeveralArgumentsAndLiteralText) {
  EXPECT_EQ(Format("%s on line %d", {"Error: line to long", 12}), "Error: line to long on line 12");
  EXPECT_EQ(Format("$%s%s", {"4", "1"}), "$41");
  EXPECT_EQ(Format("100%% done", {}), "100% done");
  EXPECT_EQ(Format("List index out of bounds (%d)", {-1}), "List index out of bounds (-1)");
}

// A directive without a fitting argument raises EConvertError with the format
// text in its message, instead of reading past the arguments.
TEST(Format, MissingOrMismatchedArgumentRaises) {
  EXPECT_THROW(Format("%d %d", {1}), EConvertError);
  EXPECT_THROW(Format("%d", {"text"}), EConvertError);
  EXPECT_THROW(Format("%s", {5}), EConvertError);
  EXPECT_THROW(Format("%f", {5}), EConvertError);
  EXPECT_THROW(Format("%x", {1.5}), EConvertError);
  EXPECT_THROW(Format("%q", {1}), EConvertError);
  EXPECT_THROW(Format("50%", {}), EConvertError);
  test::ExpectThrowMessage<EConvertError>([] { Format("%d", {}); },
                                          "Format '%d' invalid or incompatible with argument");
}

}  // namespace
}  // namespace korvi
