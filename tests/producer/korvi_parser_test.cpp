// The template scanner: tokens, blanks copied or not, line counting and line
// ends, the zero byte, the whole-lines buffer and its long-line error,
// SourcePos across refills, the copy-or-skip readers and the repositioning
// of the input on destruction.
#include "korvi/producer/korvi_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "korvi/host/streams.h"
#include "korvi/host/sysutils.h"
#include "tests/support/expect_message.h"

namespace korvi {
namespace {

using test::ExpectThrowMessage;

// A scanner over `text` with its own output stream.
struct Scan {
  explicit Scan(const std::string& text) : in(text), parser(in, &out) {}
  TStringStream in;
  TStringStream out;
  TKorviParser parser;
};

// Every token of `text` as "code:text" (code 1 shown as "id").
std::vector<std::string> Tokens(const std::string& text) {
  Scan s(text);
  std::vector<std::string> tokens;
  for (; s.parser.Token() != toEOF; s.parser.NextToken()) {
    const char code = s.parser.Token();
    tokens.push_back((code == toSymbol ? std::string("id") : std::string(1, code)) + ":" +
                     s.parser.TokenString());
  }
  return tokens;
}

TEST(KorviParserTest, SplitsIdentifiersAndSingleCharacterTokens) {
  const struct {
    std::string text;
    std::vector<std::string> tokens;
  } cases[] = {
      {"", {}},
      {"abc_1.x", {"id:abc_1", ".:.", "id:x"}},
      {"<#name a=1>", {"<:<", "#:#", "id:name", "id:a", "=:=", "1:1", ">:>"}},
      {"_9z 9z", {"id:_9z", "9:9", "id:z"}},
      {"\xC9t\xE9", {"\xC9:\xC9", "id:t", "\xE9:\xE9"}},
      {"  \t\r\n ", {}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Tokens(c.text), c.tokens) << c.text;
}

TEST(KorviParserTest, EndOfInputIsStickyAndEmpty) {
  Scan s("");
  EXPECT_EQ(s.parser.Token(), toEOF);
  EXPECT_EQ(s.parser.TokenString(), "");
  EXPECT_EQ(s.parser.SkipToEOL(), "");
  EXPECT_EQ(s.parser.NextToken(), toEOF);
  EXPECT_EQ(s.parser.SkipToEOL(), "");
}

// Creation copies the leading blanks but not the first token; SkipToken
// copies blanks only when asked; NextToken copies both.
TEST(KorviParserTest, CopiesBlanksAndTokensOnlyWhenAsked) {
  Scan s("  <#x> y\n z");
  EXPECT_EQ(s.out.DataString(), "  ");
  EXPECT_EQ(s.parser.Token(), '<');
  s.parser.SkipToken(false);  // "#"
  s.parser.SkipToken(true);   // "x"
  s.parser.CopyTokenToOutput();
  s.parser.SkipToken(false);  // ">"
  s.parser.NextToken();       // " y"
  s.parser.SkipToken(true);   // "\n z" -> blanks copied, "z" not
  EXPECT_EQ(s.out.DataString(), "  x y\n ");
  EXPECT_EQ(s.parser.TokenString(), "z");
}

TEST(KorviParserTest, ReadsLinesWithEveryKindOfLineEnd) {
  Scan s("x\r\ny\n\n  \n\tz\rw");
  EXPECT_EQ(s.parser.SourceLine(), 1);
  EXPECT_EQ(s.parser.SkipToEOL(), "x");
  EXPECT_EQ(s.parser.SourceLine(), 2);
  EXPECT_EQ(s.parser.TokenString(), "y");
  // Blank lines and leading blanks are skipped; a lone CR ends a line too.
  EXPECT_EQ(s.parser.SkipToEOL(), "y");
  EXPECT_EQ(s.parser.SkipToEOL(), "z");
  EXPECT_EQ(s.parser.SourceLine(), 5);
  EXPECT_EQ(s.parser.SkipToEOL(), "w");
  EXPECT_EQ(s.parser.SkipToEOL(), "");
}

TEST(KorviParserTest, ZeroByteEndsTheInput) {
  Scan s(std::string("ab c\0d\nefg", 10));
  EXPECT_EQ(s.parser.SkipToEOL(), "ab c");
  EXPECT_EQ(s.parser.Token(), toEOF);
  EXPECT_EQ(s.parser.SkipToEOL(), "");
  EXPECT_EQ(s.parser.SkipToEOF(), "");
}

// A line never reaches past the 4096-byte buffer: the scanner holds back
// the tail after the last line feed of a full buffer and raises for a line
// that leaves no line feed to cut at.
TEST(KorviParserTest, LongLinesRaiseAndWholeLinesCrossRefills) {
  const struct {
    std::string text;
    const char* message;
  } too_long[] = {
      {std::string(5000, 'a'), "Error: line to long on line 1"},
      {std::string(4095, 'a') + "\n", "Error: line to long on line 1"},
      {"x\n\n" + std::string(5000, 'b'), "Error: line to long on line 3"},
  };
  for (const auto& c : too_long) {
    ExpectThrowMessage<EParserError>(
        [&] {
          TStringStream in(c.text);
          TKorviParser parser(in, nullptr);
          while (parser.Token() != toEOF)
            parser.SkipToEOL();
        },
        c.message);
  }

  std::string text;
  std::vector<std::string> lines;
  for (int i = 0; i < 400; ++i) {
    lines.push_back("line" + std::to_string(i) + std::string(i % 37, 'x'));
    text += lines.back() + "\r\n";
  }
  lines.push_back(std::string(4094, 'L'));
  text += lines.back() + "\n";
  TStringStream in(text);
  TKorviParser parser(in, nullptr);
  for (const std::string& line : lines)
    ASSERT_EQ(parser.SkipToEOL(), line);
  EXPECT_EQ(parser.SkipToEOL(), "");
  EXPECT_EQ(parser.SourceLine(), 402);
}

TEST(KorviParserTest, SourcePosCountsFromWhereTheStreamStoodAcrossRefills) {
  std::string text = "skip";
  for (int i = 0; i < 300; ++i)
    text += "\nword" + std::to_string(i) + " filler filler";
  TStringStream in(text);
  in.SetPosition(4);
  TKorviParser parser(in, nullptr);
  for (int i = 0; i < 300; ++i) {
    ASSERT_EQ(parser.TokenString(), "word" + std::to_string(i));
    ASSERT_EQ(
        text.compare(4 + parser.SourcePos(), parser.TokenString().size(), parser.TokenString()), 0);
    parser.SkipToEOL();
  }
}

TEST(KorviParserTest, DestructionPutsTheStreamAtTheCurrentToken) {
  const struct {
    std::string text;
    std::int64_t start;
    int tokens_read;
    std::int64_t position;
  } cases[] = {
      {"abc def", 0, 0, 0},
      {"abc def", 0, 1, 4},
      {"xx  abc def", 2, 0, 4},
      {"abc", 0, 1, 3},
  };
  for (const auto& c : cases) {
    TStringStream in(c.text);
    in.SetPosition(c.start);
    {
      TKorviParser parser(in, nullptr);
      for (int i = 0; i < c.tokens_read; ++i)
        parser.NextToken();
    }
    EXPECT_EQ(in.Position(), c.position) << c.text << " after " << c.tokens_read;
  }
}

TEST(KorviParserTest, ChecksRaiseTheirMessagesWithTheLine) {
  const struct {
    const char* text;
    char token;
    const char* message;
  } cases[] = {
      {"<x", '>', "''>'' expected on line 1"},
      {"\n\n<", toSymbol, "Identifier Expected on line 3"},
      {"x", toString, "String Expected on line 1"},
      {"x", toInteger, "Number Expected on line 1"},
      {"x", toFloat, "Number Expected on line 1"},
  };
  for (const auto& c : cases) {
    Scan s(c.text);
    ExpectThrowMessage<EParserError>([&] { s.parser.CheckToken(c.token); }, c.message);
  }
  Scan symbol("Begin");
  symbol.parser.CheckToken(toSymbol);
  symbol.parser.CheckTokenSymbol("BEGIN");
  EXPECT_TRUE(symbol.parser.TokenSymbolIs("begin"));
  ExpectThrowMessage<EParserError>([&] { symbol.parser.CheckTokenSymbol("End"); },
                                   "End expected on line 1");
  Scan dotted("a.b.c d");
  EXPECT_EQ(dotted.parser.TokenComponentIdent(), "a.b.c");
  EXPECT_EQ(dotted.parser.NextToken(), toSymbol);
  EXPECT_EQ(dotted.parser.TokenString(), "d");
  Scan bad("a.9");
  ExpectThrowMessage<EParserError>([&] { bad.parser.TokenComponentIdent(); },
                                   "Identifier Expected on line 1");
}

TEST(KorviParserTest, TokenNumbersUseTheHostConversions) {
  Scan s("42 x");
  EXPECT_EQ(s.parser.TokenInt(), 4);  // the token is the single character "4"
  s.parser.NextToken();
  EXPECT_EQ(s.parser.TokenInt(), 2);
  EXPECT_DOUBLE_EQ(s.parser.TokenFloat(), 2.0);
  s.parser.NextToken();
  EXPECT_THROW(s.parser.TokenInt(), EConvertError);
  EXPECT_THROW(s.parser.TokenFloat(), EConvertError);
}

TEST(KorviParserTest, CopySkipToTokenReturnsWhatLiesBetween) {
  Scan s("<#t a=1\n  \"b c\"> rest");
  s.parser.SkipToken(false);  // "#"
  s.parser.SkipToken(false);  // "t"
  s.out.SetSize(0);
  EXPECT_EQ(s.parser.CopyToToken('>'), " a=1\n  \"b c\"");
  EXPECT_EQ(s.parser.Token(), '>');
  EXPECT_EQ(s.out.DataString(), " a=1\n  \"b c\">");
  EXPECT_EQ(s.parser.SourceLine(), 2);
  EXPECT_EQ(s.parser.SkipToToken('>'), "");  // already there
  EXPECT_EQ(s.parser.SkipToToken('!'), " rest");
  EXPECT_EQ(s.parser.Token(), toEOF);
}

// CopySkipTo and CopySkipToEOF cross buffer refills; CopyToEOL copies the
// line and the next token with the blanks before it.
TEST(KorviParserTest, CopyReadersCrossRefillsAndCopyWhenAsked) {
  std::string text;
  for (int i = 0; i < 1000; ++i)
    text += "row " + std::to_string(i) + "\n";
  {
    Scan s(text);
    const std::string taken = s.parser.CopyTo(6000);
    EXPECT_TRUE(taken == text.substr(0, 6000));
    EXPECT_TRUE(s.out.DataString() == taken);
    // The caller reads on with a new token: blanks skipped, from byte 6000.
    s.parser.SkipToken(false);
    EXPECT_TRUE(s.parser.SkipTo(1000000) == TrimLeft(text.substr(6000)));
  }
  {
    Scan s("  " + text);
    EXPECT_TRUE(s.parser.CopyToEOF() == text);
    EXPECT_TRUE(s.out.DataString() == "  " + text);
    EXPECT_EQ(s.parser.Token(), toEOF);
  }
  {
    // The line end, the blanks and the next token are copied even when
    // skipping; the skipped line itself is not.
    Scan s("a b\r\n  c d\n e");
    EXPECT_EQ(s.parser.CopyToEOL(), "a b");
    EXPECT_EQ(s.out.DataString(), "a b\r\n  c");
    EXPECT_EQ(s.parser.SkipToEOL(), "c d");
    EXPECT_EQ(s.out.DataString(), "a b\r\n  c\n e");
  }
}

}  // namespace
}  // namespace korvi
