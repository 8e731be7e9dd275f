// Malformed templates: seeded random fragments and bytes, every truncation
// of a loop template, 100 nested loops and a 5000-byte line, run through the
// page, data and loop producers over real SQLite tables. Each must end with
// a page or one of the errors the producers specify, never a hang or a crash.
#include "korvi/producer/loop_producer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "korvi/host/exceptions.h"
#include "tests/producer/sqlite_tables.h"

namespace korvi {
namespace {

// Pieces random templates are made of: directives whole and cut short,
// tags, entries, line ends, quotes, a zero byte and bad escapes.
const std::vector<std::string> kFragments = {
    "<!LOOP",
    "<!LOOP DS=1>",
    "<!loopA DS=2&DIRECTION=REVERSE>",
    "<!LOOPB DS=Fruit>",
    "<!LOOP DS=9>",
    "<!LOOP>",
    "<!ENDLOOP",
    "<!ENDLOOP>",
    "<!ENDLOOPA>",
    "<!endloopB>",
    "<#",
    "<#t a=1 b=%41>",
    "<# image src='x y'>",
    "<",
    ">",
    "#",
    "%",
    "%Name%",
    "%1.N%",
    "%Fruit.Name%",
    "%%",
    "%zz",
    "\r\n",
    "\n",
    "\r",
    " ",
    "\t",
    std::string(1, '\0'),
    "&",
    "=",
    "\"",
    "'",
    "text",
    "DS=",
    std::string(700, 'w'),
};

class MalformedTemplateTest : public ::testing::Test {
 protected:
  MalformedTemplateTest() {
    tables_.Table("fruit", "Name text, N integer", {"'a', 1", "'b', 2", "'c', 3"});
    tables_.Table("pair", "Name text, N integer", {"'x', 7", "'<#t>', 8"});
    fruit_ = tables_.Source("Fruit", "select * from fruit");
    pair_ = tables_.Source("Pair", "select * from pair");
  }

  // Runs `templ` through the three producers; every outcome must be a page
  // or a specified error.
  void Produce(const std::string& templ, const std::string& what) {
    TKorviPageProducer page(nullptr);
    TKorviDataProducer data(nullptr);
    TKorviProducer loop(nullptr);
    const THTMLTagEvent tag = [](TObject*, TTag, const std::string& name, TStringList&,
                                 std::string& replace) { replace = "[" + name + "%N%]"; };
    page.OnHTMLTag = data.OnHTMLTag = loop.OnHTMLTag = tag;
    for (TKorviDataProducer* producer : {&data, static_cast<TKorviDataProducer*>(&loop)}) {
      producer->AddDataSource(fruit_);
      producer->AddDataSource(pair_);
    }
    loop.ListMode = true;
    loop.SetListDS("2");
    loop.MaxRecords = 1;
    for (TCustomKorviProducer* producer :
         {static_cast<TCustomKorviProducer*>(&page), static_cast<TCustomKorviProducer*>(&data),
          static_cast<TCustomKorviProducer*>(&loop)}) {
      try {
        const std::string result = producer->ContentFromString(templ);
        ASSERT_LT(result.size(), 64u * 1024 * 1024) << what;
        ++pages_;
      } catch (const EParserError& e) {
        EXPECT_TRUE(e.Message().starts_with("Error: line to long on line ")) << what;
        ++errors_;
      } catch (const EConvertError& e) {
        // A bad "%" escape in tag parameters.
        EXPECT_TRUE(e.Message().ends_with("' is not a valid integer value")) << what;
        ++errors_;
      } catch (const Exception& e) {
        const std::string& m = e.Message();
        EXPECT_TRUE(m == " ERROR: DS not set in Loop Directive " ||
                    (m.starts_with("Unterminated Loop Driective [") && m.ends_with("]")) ||
                    m.starts_with("Loop Directive nested too deeply ["))
            << what << ": " << m;
        ++errors_;
      }
    }
  }

  test::SQLiteTables tables_;
  TDataSource* fruit_ = nullptr;
  TDataSource* pair_ = nullptr;
  int pages_ = 0;
  int errors_ = 0;
};

TEST_F(MalformedTemplateTest, EveryTemplateEndsWithAPageOrASpecifiedError) {
  std::mt19937 random(20261208);
  auto below = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  for (int round = 0; round < 300; ++round) {
    std::string templ;
    for (int n = below(60); n > 0; --n) {
      if (below(4) == 0) {
        templ += static_cast<char>(below(256));
      } else {
        templ += kFragments[static_cast<std::size_t>(below(static_cast<int>(kFragments.size())))];
      }
    }
    Produce(templ, "fragments, round " + std::to_string(round));
  }
  for (int round = 0; round < 40; ++round) {
    std::string bytes(static_cast<std::size_t>(below(6000)), '\0');
    for (char& c : bytes)
      c = static_cast<char>(below(256));
    Produce(bytes, "random bytes, round " + std::to_string(round));
  }
  EXPECT_GT(pages_, 0);
  EXPECT_GT(errors_, 0);
}

TEST_F(MalformedTemplateTest, TruncatedLoopTemplates) {
  const std::string whole =
      "head <#t a=1>\r\n<!LOOPA DS=1&DIRECTION=REVERSE>%Name%\r\n<!LOOPB DS=Pair>%1.N% "
      "%Pair.Name%\r\n<!ENDLOOPB>\r\n<!ENDLOOPA> tail %Fruit.N%\r\n";
  for (std::size_t length = 0; length <= whole.size(); ++length)
    Produce(whole.substr(0, length), "truncated at " + std::to_string(length));
}

TEST_F(MalformedTemplateTest, DeepNestingAndLongLines) {
  std::string labelled;
  std::string unlabelled;
  for (int i = 0; i < 100; ++i) {
    labelled = "<!LOOPL" + std::to_string(i) + "_ DS=" + std::to_string(1 + i % 2) + ">%N%\n" +
               labelled + "<!ENDLOOPL" + std::to_string(i) + "_>\n";
    unlabelled += "<!LOOP DS=1>\n";
  }
  Produce(labelled, "100 nested labelled loops");
  Produce(unlabelled, "100 nested loops without end");
  Produce(unlabelled + unlabelled, "200 nested loops without end");
  Produce(std::string(5000, 'x'), "a 5000-byte line");
  Produce("<!LOOP DS=1>\n" + std::string(5000, 'x') + "\n<!ENDLOOP>", "a long line in a loop");
  Produce("<#t a=" + std::string(5000, 'y') + ">", "a long tag");
  EXPECT_EQ(pages_ + errors_, 18);
}

}  // namespace
}  // namespace korvi
