// The loop producer over real SQLite tables: the exact bytes of a loop,
// forwards and in reverse, nesting by label, empty and unknown data sets,
// the directive errors, unterminated and missing end directives, list mode
// and the nesting limit.
#include "korvi/producer/loop_producer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "korvi/data/data_set.h"
#include "korvi/data/data_source.h"
#include "korvi/data/database_error.h"
#include "korvi/host/exceptions.h"
#include "korvi/host/streams.h"
#include "tests/producer/sqlite_tables.h"
#include "tests/support/expect_message.h"

namespace korvi {
namespace {

using test::ExpectThrowMessage;

// `n` times the two CR LF pairs of one expanded empty line.
std::string Pairs(int n) {
  std::string out;
  for (int i = 0; i < n; ++i)
    out += "\r\n\r\n";
  return out;
}

// What a loop writes for a row whose body expands to the lines `lines`.
std::string Row(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines)
    out += line + "\r\n\r\n";
  return out + Pairs(25);
}

// The template's lines joined with CR LF.
std::string Lines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines)
    out += line + "\r\n";
  return out;
}

class LoopProducerTest : public ::testing::Test {
 protected:
  LoopProducerTest() {
    tables_.Table("fruit", "Name text, Price integer", {"'a', 1", "'b', 2", "'c', 3"});
    tables_.Table("empty", "Name text", {});
    std::vector<std::string> numbers;
    for (int i = 1; i <= 10; ++i)
      numbers.push_back(std::to_string(i));
    tables_.Table("numbers", "N integer", numbers);
    fruit_ = tables_.Source("Fruit", "select * from fruit order by Name");
    numbers_ = tables_.Source("Numbers", "select * from numbers order by N");
    empty_ = tables_.Source("Empty", "select * from empty");
    producer_.AddDataSource(fruit_);
    producer_.AddDataSource(numbers_);
    producer_.AddDataSource(empty_);
  }

  // The rows a template writes, as the text of its expanded lines only.
  std::string Visible(const std::vector<std::string>& templ) {
    std::string page = producer_.ContentFromString(Lines(templ));
    std::string out;
    for (char c : page)
      if (c != '\r' && c != '\n') out += c;
    return out;
  }

  test::SQLiteTables tables_;
  TDataSource* fruit_ = nullptr;
  TDataSource* numbers_ = nullptr;
  TDataSource* empty_ = nullptr;
  TKorviProducer producer_{nullptr};
};

// Field values go into the page as stored unless escaping is asked for;
// escaped, a stored "<#x>" is no tag either.
TEST_F(LoopProducerTest, FieldValuesEscapedOnlyWhenAsked) {
  EXPECT_FALSE(producer_.EscapeFieldValues);
  tables_.Table("notes", "Note text", {"'<#x> \"a\" & <b>'"});
  producer_.AddDataSource(tables_.Source("Notes", "select * from notes"));
  const std::vector<std::string> templ = {"<!LOOP DS=Notes>", "[%Notes.Note%]", "<!ENDLOOP>"};
  EXPECT_EQ(Visible(templ), "[ \"a\" & <b>]");
  producer_.EscapeFieldValues = true;
  EXPECT_EQ(Visible(templ), "[&lt;#x&gt; &quot;a&quot; &amp; &lt;b&gt;]");
}

TEST_F(LoopProducerTest, PageBytesOfOneLoop) {
  const std::string page =
      producer_.ContentFromString(Lines({"x <!LOOP DS=1>[%Name%]", "  %Price%", "<!ENDLOOP> y"}));
  EXPECT_EQ(page, "x " + Pairs(1) + "\r\n" + Row({"[a]", "1"}) + Row({"[b]", "2"}) +
                      Row({"[c]", "3"}) + "\r\n" + " y" + Pairs(1) + Pairs(25));
  EXPECT_EQ(producer_.ContentFromString("plain"), "plain" + Pairs(26));
}

// A tag that fails on a row ends the loop there: the output holds the rows
// before it and the lines of that row before the failing one.
TEST_F(LoopProducerTest, FailingTagEndsTheLoopAfterTheLinesBeforeIt) {
  producer_.OnHTMLTag = [this](TObject*, TTag, const std::string&, TStringList&,
                               std::string& replace) {
    if (fruit_->DataSet()->FieldByName("Name").AsString() == "b") throw Exception("tag failed");
    replace = "T";
  };
  TStringStream body(Lines({"[%Name%]", "x <#t>"}));
  TStringStream output;
  EXPECT_THROW(producer_.ProcessLoop("<!LOOP DS=Fruit>", "", body, output), Exception);
  EXPECT_EQ(output.DataString(), Row({"[a]", "x T"}) + "[b]\r\n\r\n");
}

TEST_F(LoopProducerTest, LoopsWalkForwardsOrInReverseAndDropUnknownSources) {
  const struct {
    const char* directive;
    const char* rows;
  } cases[] = {
      {"<!LOOP DS=1>", "[a][b][c]"},
      {"<!loop ds=Fruit&direction=reverse>", "[c][b][a]"},
      {"<!LOOP DS=fruit&DIRECTION=forward>", "[a][b][c]"},
      {"<!LOOP DS=1 DIRECTION=REVERSE>", ""},  // DS reads "1 DIRECTION=REVERSE"
      {"<!LOOP DS=7>", ""},
      {"<!LOOP DS=Empty>", ""},
      {"<!LOOP DS=3&DIRECTION=REVERSE>", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Visible({"<", std::string(c.directive) + "[%Name%]", "<!ENDLOOP>", ">"}),
              std::string("<") + c.rows + ">")
        << c.directive;
}

TEST_F(LoopProducerTest, NestedLoopsByLabel) {
  // The inner loop runs over all of its rows for every outer row.
  EXPECT_EQ(Visible({"<!LOOPA DS=1&DIRECTION=REVERSE>%Name%:", "<!LOOPb DS=Numbers>%N%",
                     "<!ENDLOOPB>;", "<!ENDLOOPA>."}),
            "c:12345678910;b:12345678910;a:12345678910;.");
  // An outer loop without a label ends at the inner loop's end directive:
  // the inner loop, left without one, runs to the end of the outer body.
  EXPECT_EQ(Visible({"<!LOOP DS=1>%Name%", "<!LOOP DS=2>%N%", "<!ENDLOOP>|", "<!ENDLOOP>."}),
            "a12345678910b12345678910c12345678910|<!ENDLOOP>.");
}

// Loops nested over one data set share its cursor; a loop still makes at
// most one pass per record, so walking it the other way inside cannot make
// the outer loop run for ever.
TEST_F(LoopProducerTest, LoopsOverTheSameDataSetEnd) {
  EXPECT_EQ(
      Visible({"<!LOOPA DS=1>%Name%:", "<!LOOPB DS=1>%Name%", "<!ENDLOOPB>;", "<!ENDLOOPA>."}),
      "a:abc;.");
  EXPECT_EQ(Visible({"<!LOOPA DS=1>%Name%:", "<!LOOPB DS=1&DIRECTION=REVERSE>%Name%",
                     "<!ENDLOOPB>;", "<!ENDLOOPA>."}),
            "a:cba;b:cba;b:cba;.");
}

TEST_F(LoopProducerTest, DirectiveErrorsEndThePage) {
  const struct {
    std::vector<std::string> templ;
    std::string message;
  } cases[] = {
      {{"<!LOOP>", "x", "<!ENDLOOP>"}, " ERROR: DS not set in Loop Directive "},
      {{"<!LOOP DIRECTION=REVERSE>", "<!ENDLOOP>"}, " ERROR: DS not set in Loop Directive "},
      {{"<!LOOP DS=>", "<!ENDLOOP>"}, " ERROR: DS not set in Loop Directive "},
      {{"ok", "a <!LOOP DS=1"}, "Unterminated Loop Driective [<!LOOP DS=1]"},
  };
  for (const auto& c : cases) {
    ExpectThrowMessage<Exception>([&] { producer_.ContentFromString(Lines(c.templ)); }, c.message);
  }
  tables_.Query(0).Close();
  ExpectThrowMessage<EDatabaseError>(
      [&] {
        producer_.ContentFromString(Lines({"<!LOOP DS=1>", "<!ENDLOOP>"}));
      },
      "Cannot perform this operation on a closed dataset");
}

// A missing or unterminated end directive ends the template at that loop,
// which runs with the lines collected so far.
TEST_F(LoopProducerTest, UnterminatedEndDirectiveEndsTheTemplate) {
  EXPECT_EQ(Visible({"<!LOOPX DS=1>%Name%", "-", "<!ENDLOOPX", "after"}), "a-b-c-<!ENDLOOPX");
  EXPECT_EQ(Visible({"<!LOOPX DS=1>%Name%", "-"}), "a-b-c-");
  EXPECT_EQ(Visible({"<!LOOP DS=2>"}), "");
  const std::string page = producer_.ContentFromString("<!LOOP DS=1>%Name%");
  EXPECT_EQ(page, Pairs(1) + "\r\n" + Row({"a"}) + Row({"b"}) + Row({"c"}) + "\r\n" + Pairs(1));
}

TEST_F(LoopProducerTest, ListModeLimitsTheLoopsOverTheListSource) {
  producer_.ListMode = true;
  const struct {
    const char* list_ds;
    int first;
    int max;
    const char* direction;
    const char* rows;
  } cases[] = {
      {"2", 3, 2, "", "34|abc"},
      {"Numbers", 0, 3, "", "123|abc"},
      {"numbers", 9, 5, "", "910|abc"},
      {"2", 1, 0, "", "1|abc"},
      {"2", 3, 2, "&DIRECTION=REVERSE", "87|abc"},
      {"2", 11, 2, "", "|abc"},
      {"1", 2, 1, "", "12345678910|b"},
  };
  for (const auto& c : cases) {
    producer_.SetListDS(c.list_ds);
    producer_.FirstRecord = c.first;
    producer_.MaxRecords = c.max;
    producer_.ListCount = -1;
    EXPECT_EQ(Visible({"<!LOOPN DS=2" + std::string(c.direction) + ">%N%", "<!ENDLOOPN>|",
                       "<!LOOPF DS=1>%Name%", "<!ENDLOOPF>"}),
              c.rows)
        << c.list_ds << " " << c.first << " " << c.max << c.direction;
    EXPECT_EQ(producer_.ListCount, std::string(c.list_ds) == "1" ? 3 : 10);
  }
  producer_.ListMode = false;
  EXPECT_EQ(Visible({"<!LOOP DS=2>%N%", "<!ENDLOOP>"}), "12345678910");
}

// Loops nest up to kMaxLoopDepth levels; one more ends the page.
TEST_F(LoopProducerTest, NestingIsLimited) {
  auto nested = [](int depth) {
    std::vector<std::string> templ;
    for (int i = 0; i < depth; ++i)
      templ.push_back("<!LOOPL" + std::to_string(i) + "_ DS=3>");
    templ.push_back("<!LOOPIN DS=1>%Name%");
    templ.push_back("<!ENDLOOPIN>");
    for (int i = depth - 1; i >= 0; --i)
      templ.push_back("<!ENDLOOPL" + std::to_string(i) + "_>");
    return templ;
  };
  tables_.Exec("insert into empty values('only')");
  tables_.Query(2).Close();
  tables_.Query(2).Open();
  EXPECT_EQ(Visible(nested(TKorviProducer::kMaxLoopDepth - 1)), "abc");
  ExpectThrowMessage<Exception>(
      [&] { producer_.ContentFromString(Lines(nested(TKorviProducer::kMaxLoopDepth))); },
      "Loop Directive nested too deeply [<!LOOPIN DS=1>]");
}

}  // namespace
}  // namespace korvi
