// Integer and floating-point texts, trimming, ASCII case and comparison.
#include "korvi/host/sysutils.h"

#include <gtest/gtest.h>

#include "korvi/host/exceptions.h"
#include "tests/support/expect_message.h"

namespace korvi {
namespace {

TEST(StrToInt, DecimalAndHexForms) {
  const std::pair<const char*, std::int32_t> cases[] = {
      {"0", 0},
      {"42", 42},
      {"-42", -42},
      {"+7", 7},
      {"  \t12", 12},
      {"$41", 65},
      {"$ff", 255},
      {"$Ff", 255},
      {"0x1A", 26},
      {"0X1a", 26},
      {"-$10", -16},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"$7FFFFFFF", 2147483647},
      {"007", 7},
  };
  for (const auto& [text, value] : cases)
    EXPECT_EQ(StrToInt(text), value) << text;
  EXPECT_EQ(StrToInt64("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(StrToInt64("$7FFFFFFFFFFFFFFF"), INT64_MAX);
}

TEST(StrToInt, RejectsMalformedAndOverflowingTexts) {
  const char* bad[] = {"",
                       " ",
                       "$",
                       "0x",
                       "$zz",
                       "12abc",
                       "12 ",
                       "1.5",
                       "--1",
                       "+-1",
                       "$+1",
                       "- 1",
                       "abc",
                       "2147483648",
                       "-2147483649",
                       "$80000000",
                       "99999999999999999999"};
  for (const char* text : bad)
    EXPECT_THROW(StrToInt(text), EConvertError) << text;
  EXPECT_THROW(StrToInt64("9223372036854775808"), EConvertError);
  test::ExpectThrowMessage<EConvertError>([] { StrToInt("$zz"); },
                                          "'$zz' is not a valid integer value");
}

TEST(StrToInt, NonRaisingForms) {
  std::int32_t value = 5;
  EXPECT_FALSE(TryStrToInt("x1", value));
  EXPECT_EQ(value, 5);
  EXPECT_TRUE(TryStrToInt("$10", value));
  EXPECT_EQ(value, 16);
  EXPECT_EQ(StrToIntDef("junk", -1), -1);
  EXPECT_EQ(StrToIntDef(" 12", -1), 12);
}

TEST(ParseLeadingNumber, ReadsDigitsUpToTheFirstOther) {
  EXPECT_EQ(ParseLeadingNumber("80abc"), 80);
  EXPECT_EQ(ParseLeadingNumber("  8080"), 8080);
  EXPECT_EQ(ParseLeadingNumber(""), 0);
  EXPECT_EQ(ParseLeadingNumber("abc"), 0);
  EXPECT_EQ(ParseLeadingNumber("-5"), 0);
  EXPECT_EQ(ParseLeadingNumber("99999999999999"), INT32_MAX);
}

TEST(IntegerTexts, IntToStrAndIntToHex) {
  EXPECT_EQ(IntToStr(-123), "-123");
  EXPECT_EQ(IntToStr(INT64_MIN), "-9223372036854775808");
  EXPECT_EQ(IntToHex(255, 4), "00FF");
  EXPECT_EQ(IntToHex(0x12345, 2), "12345");
  EXPECT_EQ(IntToHex(-1, 1), "FFFFFFFFFFFFFFFF");
}

TEST(FloatToStr, GeneralFormWithFifteenDigits) {
  const std::pair<double, const char*> cases[] = {
      {1.5, "1.5"},
      {100.0, "100"},
      {0.1, "0.1"},
      {0.0, "0"},
      {-0.0, "0"},
      {-2.25, "-2.25"},
      {1e20, "1E20"},
      {1e15, "1E15"},
      {123456789012345.0, "123456789012345"},
      {0.00001, "0.00001"},
      {0.000001, "1E-6"},
      {1.0 / 3.0, "0.333333333333333"},
      {2.0 / 3.0, "0.666666666666667"},
      {1e-300, "1E-300"},
  };
  for (const auto& [value, text] : cases)
    EXPECT_EQ(FloatToStr(value), text) << text;
}

TEST(FloatToStrF, ExponentAndFixedForms) {
  EXPECT_EQ(FloatToStrF(1234.6, ffExponent, 4, 2), "1.235E+03");
  EXPECT_EQ(FloatToStrF(-0.5, ffExponent, 2, 0), "-5.0E-1");
  EXPECT_EQ(FloatToStrF(2.0 / 3.0, ffFixed, 15, 3), "0.667");
  EXPECT_EQ(FloatToStrF(-0.0001, ffFixed, 15, 2), "0.00");
  EXPECT_EQ(FloatToStrF(1e20, ffFixed, 5, 2), "1.0000E+020");
  EXPECT_EQ(FloatToStrF(std::numeric_limits<double>::infinity(), ffGeneral, 15, 0), "INF");
}

TEST(StrToFloat, ReadsDecimalTextsOnly) {
  EXPECT_DOUBLE_EQ(StrToFloat("1.5"), 1.5);
  EXPECT_DOUBLE_EQ(StrToFloat(" -2.5e3 "), -2500.0);
  EXPECT_DOUBLE_EQ(StrToFloat("+.5"), 0.5);
  EXPECT_DOUBLE_EQ(StrToFloat("7"), 7.0);
  EXPECT_DOUBLE_EQ(StrToFloat(FloatToStr(0.1)), 0.1);
  const char* bad[] = {"", "abc", "1,5", "1.5x", "inf", "nan", "0x10", "1e", "--1", ".", "1e999"};
  for (const char* text : bad)
    EXPECT_THROW(StrToFloat(text), EConvertError) << text;
  test::ExpectThrowMessage<EConvertError>([] { StrToFloat("x"); },
                                          "'x' is not a valid floating point value");
}

TEST(TextHelpers, TrimRemovesControlBytesAndBlanks) {
  const std::string text = std::string("\0\t x y \r\n", 9);
  EXPECT_EQ(Trim(text), "x y");
  EXPECT_EQ(TrimLeft(text), "x y \r\n");
  EXPECT_EQ(TrimRight(text), std::string("\0\t x y", 6));
  EXPECT_EQ(Trim(" \x7f "), "\x7f");
  EXPECT_EQ(Trim("   "), "");
}

TEST(TextHelpers, CaseMappingAndComparisonAreAsciiOnly) {
  EXPECT_EQ(UpperCase("abc-XYZ-\xe9"), "ABC-XYZ-\xe9");
  EXPECT_EQ(LowerCase("ABC-xyz-\xc9"), "abc-xyz-\xc9");
  // The bytes next to the letters stay as they are.
  EXPECT_EQ(UpCase('a'), 'A');
  EXPECT_EQ(UpCase('z'), 'Z');
  EXPECT_EQ(UpCase('`'), '`');
  EXPECT_EQ(UpCase('{'), '{');
  EXPECT_EQ(UpCase('Q'), 'Q');
  EXPECT_EQ(UpCase('\xe9'), '\xe9');
  EXPECT_EQ(CompareText("Content-Length", "content-length"), 0);
  EXPECT_LT(CompareText("abc", "ABD"), 0);
  EXPECT_GT(CompareText("b", "A"), 0);
  EXPECT_LT(CompareText("ab", "abc"), 0);
  // Upper-casing before comparing puts "_" (0x5F) after letters.
  EXPECT_GT(CompareText("_", "a"), 0);
  EXPECT_GT(CompareText("\xe9", "z"), 0);
  EXPECT_TRUE(SameText("MAP", "map"));
  EXPECT_FALSE(SameText("\xe9", "\xc9"));
  EXPECT_FALSE(SameText("map", "maps"));
}

}  // namespace
}  // namespace korvi
