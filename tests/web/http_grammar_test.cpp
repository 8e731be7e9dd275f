// HTTP grammar pieces: the token and field value character sets over every
// byte, whitespace trimming, comma lists and hex digits.
#include "korvi/web/http_grammar.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

namespace korvi {
namespace {

TEST(HttpGrammarTest, CharacterSetsOverEveryByte) {
  const std::string token_chars =
      "!#$%&'*+-.^_`|~0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  for (int byte = 0; byte < 256; ++byte) {
    const char c = static_cast<char>(byte);
    EXPECT_EQ(IsTokenChar(c), token_chars.find(c) != std::string::npos) << byte;
    EXPECT_EQ(IsFieldValueChar(c), byte == '\t' || (byte >= 0x20 && byte != 0x7F)) << byte;
  }
  EXPECT_TRUE(IsToken("Content-Length"));
  EXPECT_FALSE(IsToken(""));
  EXPECT_FALSE(IsToken("a b"));
}

TEST(HttpGrammarTest, TrimsAndSplitsLists) {
  EXPECT_EQ(TrimOws(" \t a b\t "), "a b");
  EXPECT_EQ(TrimOws(" \r"), "\r");
  EXPECT_EQ(SplitHeaderList(" a, ,b ,,\tc d ,"), (std::vector<std::string_view>{"a", "b", "c d"}));
  EXPECT_TRUE(SplitHeaderList(" , ").empty());
}

TEST(HttpGrammarTest, HexDigitValues) {
  const std::string digits = "0123456789abcdef";
  for (int value = 0; value < 16; ++value) {
    EXPECT_EQ(HexDigitValue(digits[value]), value);
    EXPECT_EQ(HexDigitValue(static_cast<char>(std::toupper(digits[value]))), value);
  }
  for (char c : {'g', 'G', ' ', '-', 'x', '\0'})
    EXPECT_EQ(HexDigitValue(c), -1) << c;
}

}  // namespace
}  // namespace korvi
