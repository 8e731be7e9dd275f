// The data producer over real SQLite tables: the data-source slots, entries
// (by name and number, "+" in names, "%%", a "%" at the end of a line,
// TIME/DATE, the error text, OnEntryField, swallowed data-layer errors), the
// line-by-line tag expansion and the exact bytes of the two-pass page.
#include "korvi/producer/data_producer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "korvi/data/data_source.h"
#include "korvi/host/datetime.h"
#include "korvi/host/streams.h"
#include "tests/producer/sqlite_tables.h"

namespace korvi {
namespace {

// `n` times the two CR LF pairs of one expanded empty line.
std::string Pairs(int n) {
  std::string out;
  for (int i = 0; i < n; ++i)
    out += "\r\n\r\n";
  return out;
}

class DataProducerTest : public ::testing::Test {
 protected:
  DataProducerTest() {
    tables_.Table("customer", "City text, \"First Name\" text, Mark text",
                  {"'Oslo', 'Ann', '<#t from=field>'"});
    tables_.Table("orders", "Item text, City text", {"'pear', 'Bergen'"});
    customer_ = tables_.Source("Customer", "select * from customer");
    orders_ = tables_.Source("Orders", "select * from orders");
    producer_.AddDataSource(orders_);
    producer_.AddDataSource(customer_);
  }

  test::SQLiteTables tables_;
  TDataSource* customer_ = nullptr;
  TDataSource* orders_ = nullptr;
  TKorviDataProducer producer_{nullptr};
};

TEST_F(DataProducerTest, EntriesResolveFromTheDataSources) {
  const struct {
    const char* line;
    const char* expanded;
  } cases[] = {
      {"%Customer.City%", "Oslo"},
      {"%customer.CITY% and %ORDERS.city%", "Oslo and Bergen"},
      {"%2.City% %1.City%", "Oslo Bergen"},
      {"%City%", "Bergen"},  // the first source that has the field
      {"%First+Name%", "Ann"},
      {"%Customer.First+Name%", "Ann"},
      {"[%%]", "[]"},
      {"50% off, 20% more", "50% off, 20% more"},
      {"100%", "100%"},
      {"a%b c%Item%", "a%b cpear"},
      {"%\tItem\t%", "pear"},
      {"%Nothing%", " ERROR: Field [Nothing] not found "},
      {"%Customer.Item%", " ERROR: Field [Customer.Item] not found "},
      {"%3.City%", " ERROR: Field [3.City] not found "},
      {"%Nobody.City%", " ERROR: Field [Nobody.City] not found "},
  };
  for (const auto& c : cases)
    EXPECT_EQ(producer_.ExpandDynamicContent(c.line), std::string(c.expanded) + "\r\n\r\n")
        << c.line;
}

// TIME and DATE (any case) give the local time and date when nothing else
// resolves them; a test straddling a second boundary accepts either side.
TEST_F(DataProducerTest, TimeAndDateEntries) {
  for (const char* name : {"time", "TIME"}) {
    const std::string before = TimeToStr(Time());
    const std::string value = producer_.ExpandDynamicContent(std::string("%") + name + "%");
    const std::string after = TimeToStr(Time());
    EXPECT_TRUE(value == before + "\r\n\r\n" || value == after + "\r\n\r\n") << value;
  }
  const std::string before = DateToStr(Date());
  const std::string value = producer_.ExpandDynamicContent("%Date%");
  EXPECT_TRUE(value == before + "\r\n\r\n" || value == DateToStr(Date()) + "\r\n\r\n") << value;
}

// OnEntryField sees only the entries no source resolved; what it leaves
// unhandled goes on to TIME/DATE and the error text.
TEST_F(DataProducerTest, EntryEventTakesUnresolvedNames) {
  std::vector<std::string> asked;
  producer_.OnEntryField = [&](TObject* sender, const std::string& name, std::string& replace,
                               bool& handled) {
    EXPECT_EQ(sender, &producer_);
    EXPECT_EQ(replace, "");
    EXPECT_FALSE(handled);
    asked.push_back(name);
    if (name == "user") {
      replace = "<#t from=event>";
      handled = true;
    }
  };
  producer_.OnHTMLTag = [](TObject*, TTag, const std::string&, TStringList& params,
                           std::string& replace) { replace = "{" + params.Values("from") + "}"; };
  EXPECT_EQ(producer_.ExpandDynamicContent("%user%|%City%|%who+me%|%date%"),
            "{event}|Bergen| ERROR: Field [who+me] not found |" + DateToStr(Date()) + "\r\n\r\n");
  EXPECT_EQ(asked, (std::vector<std::string>{"user", "who+me", "date"}));
}

// Failures of the data layer count as "not found" for that source only.
TEST_F(DataProducerTest, DataLayerErrorsAreSwallowed) {
  TDataSource no_dataset(nullptr);
  no_dataset.SetName("Empty");
  TKorviDataProducer producer(nullptr);
  producer.AddDataSource(&no_dataset);
  producer.AddDataSource(orders_);
  producer.AddDataSource(customer_);
  tables_.Query(1).Close();  // orders: its fields stay, reading them raises
  bool handled = true;
  EXPECT_EQ(producer.HandleEntry("City", handled), "Oslo");
  EXPECT_TRUE(handled);
  EXPECT_EQ(producer.HandleEntry("Item", handled), "");
  EXPECT_FALSE(handled);
  EXPECT_EQ(producer.HandleEntry("Empty.City", handled), "");
  EXPECT_FALSE(handled);
  EXPECT_EQ(producer.HandleEntry("", handled), "");
  EXPECT_TRUE(handled);
}

TEST_F(DataProducerTest, TagsExpandOnTheirLineOnly) {
  std::vector<std::string> seen;
  producer_.OnHTMLTag = [&](TObject*, TTag, const std::string& name, TStringList& params,
                            std::string& replace) {
    std::string shown = name;
    for (int i = 0; i < params.Count(); ++i)
      shown += "," + params[i];
    seen.push_back(shown);
    replace = "*";
  };
  const struct {
    const char* line;
    const char* expanded;
  } cases[] = {
      {"a <#t x=1> b", "a * b\r\n"},  {"a <#t> b<#u  y=a+b   z>", "a * b*\r\n"},
      {"a <#t x=1", "a <#t x=1\r\n"}, {"a < #t x=1>", "a < #t x=1>\r\n"},
      {"<#a<#b>", "*\r\n"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(producer_.ExpandTags(c.line), c.expanded) << c.line;
  EXPECT_EQ(seen, (std::vector<std::string>{"t,x=1", "t", "u,y=a b,z", "a<#b"}));
}

// The first pass drops blank lines and indentation and writes two CR LF
// pairs per line plus 26 empty reads; the second (tag) pass expands tags
// that span lines and tags in field values.
TEST_F(DataProducerTest, PageBytesOfBothPasses) {
  producer_.OnHTMLTag = [](TObject*, TTag, const std::string& name, TStringList& params,
                           std::string& replace) {
    replace = "{" + name + ":" + params.Values("from") + "}";
  };
  EXPECT_EQ(producer_.ContentFromString("a\r\n\r\n   b\n"), "a" + Pairs(1) + "b" + Pairs(27));
  EXPECT_EQ(producer_.ContentFromString(""), Pairs(26));
  EXPECT_EQ(producer_.ContentFromString("  %Customer.Mark% <#s\nfrom=two\n lines>!"),
            "{t:field} {s:two}!" + Pairs(27));
  // The stream is read from its start whatever its position.
  TStringStream stream("%Item%");
  stream.SetPosition(3);
  EXPECT_EQ(producer_.ContentFromStream(stream), "pear" + Pairs(27));
}

TEST(DataProducerSlotsTest, TwelveNumberedSlotsWithoutGaps) {
  std::vector<std::unique_ptr<TDataSource>> sources;
  TKorviDataProducer producer(nullptr);
  EXPECT_FALSE(producer.AddDataSource(nullptr));
  for (int i = 1; i <= 13; ++i) {
    sources.push_back(std::make_unique<TDataSource>(nullptr));
    sources.back()->SetName(i == 3 ? "-1" : "Src" + std::to_string(i));
    EXPECT_EQ(producer.AddDataSource(sources.back().get()), i <= 12) << i;
  }
  EXPECT_EQ(producer.TotalDS(), 12);
  TDataSource* second = sources[1].get();
  TDataSource* third = sources[2].get();
  const struct {
    const char* reference;
    TDataSource* source;
  } cases[] = {
      {"0", nullptr},  {"2", second}, {" 2", second},   {"$2", second},
      {"99", nullptr}, {"-1", third}, {"src2", second}, {"SRC13", nullptr},
      {"2 ", nullptr}, {"", nullptr}, {"-5", nullptr},
  };
  for (const auto& c : cases)
    EXPECT_EQ(producer.GetDS(c.reference), c.source) << "'" << c.reference << "'";
  EXPECT_EQ(producer.GetDSByName("SRC3"), nullptr);

  producer.DelDataSource(1);
  EXPECT_EQ(producer.TotalDS(), 11);
  EXPECT_EQ(producer.GetDSByNumber(1), second);
  EXPECT_EQ(producer.GetDSByNumber(2), third);
  EXPECT_EQ(producer.GetDSByNumber(12), nullptr);
  for (int number : {0, 12, -1})
    producer.DelDataSource(number);
  EXPECT_EQ(producer.TotalDS(), 11);
  EXPECT_TRUE(producer.AddDataSource(sources[0].get()));
  EXPECT_EQ(producer.GetDSByNumber(12), sources[0].get());
}

}  // namespace
}  // namespace korvi
