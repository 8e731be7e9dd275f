// Query work of the processor over real requests and a real SQLite file:
// parameters set from text, ProcessQuery with every outcome, and the
// ADDQUERY / DELQUERY directives of a page with their renumbering.
#include "korvi/dynamic/korvi_processor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "korvi/data/data_source.h"
#include "korvi/data/query.h"
#include "korvi/host/datetime.h"
#include "korvi/host/exceptions.h"
#include "korvi/web/korvi_response.h"
#include "tests/dynamic/page_fixture.h"
#include "tests/support/expect_message.h"

namespace korvi {
namespace {

using test::Has;

// Every declared type takes a text as the table of types says; "0" and ""
// set an empty text whatever the type.
TEST(SetParam, TypeTable) {
  struct Case {
    TFieldType type;
    std::string text;
    Variant value;
    TFieldType declared;
  };
  const std::vector<Case> cases = {
      {ftString, "abc", Variant("abc"), ftString},
      {ftMemo, "long", Variant("long"), ftMemo},
      {ftSmallint, "7", Variant(7), ftSmallint},
      {ftInteger, "42", Variant(42), ftInteger},
      {ftInteger, "abc", Variant(0), ftInteger},
      {ftWord, "9", Variant(9), ftWord},
      {ftBoolean, "true", Variant(true), ftBoolean},
      {ftBoolean, "T", Variant(true), ftBoolean},
      {ftBoolean, "yes", Variant(false), ftBoolean},
      {ftFloat, "1.5", Variant(1.5), ftFloat},
      {ftCurrency, "1.23456", Variant::FromCurrency(1.2346), ftCurrency},
      {ftBCD, "2.5", Variant::FromCurrency(2.5), ftBCD},
      {ftDate, "2024-03-01", Variant::FromDateTime(EncodeDate(2024, 3, 1)), ftDate},
      {ftTime, "10:30", Variant::FromDateTime(EncodeTime(10, 30, 0, 0)), ftTime},
      {ftDateTime, "2024-03-01 10:30",
       Variant::FromDateTime(EncodeDate(2024, 3, 1) + EncodeTime(10, 30, 0, 0)), ftDateTime},
      {ftBlob, "\x01raw", Variant("\x01raw"), ftBlob},
      {ftInteger, "0", Variant(""), ftString},
      {ftBoolean, "", Variant(""), ftString},
      {ftAutoInc, "0", Variant(""), ftString},
  };
  for (const Case& c : cases) {
    TParam param("p");
    param.SetDataType(c.type);
    TKorviProcessor::SetParam(param, c.text);
    EXPECT_EQ(param.Value(), c.value) << c.type << " " << c.text;
    EXPECT_EQ(param.DataType(), c.declared) << c.type << " " << c.text;
  }
}

// Types without a text form are refused by name; bad numbers and dates
// raise the conversion error.
TEST(SetParam, RefusedTypesAndConversionErrors) {
  for (TFieldType type : {ftUnknown, ftBytes, ftVarBytes, ftAutoInc, ftGraphic, ftDataSet}) {
    TParam param("id");
    param.SetDataType(type);
    test::ExpectThrowMessage<Exception>([&] { TKorviProcessor::SetParam(param, "5"); },
                                        "Unmatched parameter type for [id]");
  }
  for (TFieldType type : {ftFloat, ftCurrency, ftDate, ftDateTime}) {
    TParam param("p");
    param.SetDataType(type);
    EXPECT_THROW(TKorviProcessor::SetParam(param, "x1"), EConvertError) << type;
  }
}

class ProcessQueryTest : public test::PageTest {
 protected:
  ProcessQueryTest() {
    Exec("create table people(id integer primary key, name text, email text, age, active)");
    AddQuery(
        module_, "qInsert",
        "insert into people(name, email, age, active) values(:name, :email, :age, :active)",
        {{ftString, "^name"}, {ftString, "^email"}, {ftInteger, "^age"}, {ftBoolean, "^active"}});
    AddQuery(module_, "qAuto", "insert into people(id) values(:id)", {{ftAutoInc, "^id"}});
    AddQuery(module_, "qBroken", "insert into nowhere values(:a)", {{ftString, "^a"}});
    (new TDataSource(&module_))->SetName("qSource");
    // A query that is open but can no longer be copied: its table is gone.
    Exec("create table gone(x)");
    AddQuery(module_, "qStale", "select x from gone")->Open();
    Exec("drop table gone");
    // Modules are searched in order, empty entries skipped.
    SetHandler([this](TKorviRequest& request, TKorviResponse& response) {
      std::string message;
      const bool ran = processor_.ProcessQuery(&server_, &request, &response,
                                               {nullptr, &other_, &module_}, message);
      response.SetContent((ran ? "ran|" : "failed|") + message);
    });
  }

  TDataModule other_{nullptr};
};

// Each way a form can fail gives its message and runs nothing.
TEST_F(ProcessQueryTest, Messages) {
  struct Case {
    std::string query;
    std::string answer;
  };
  std::vector<Case> cases = {
      {"FQuery=qInsert&name=Ann", "failed|Internal Error: Unable to get value for FRequired"},
      {"FQuery=qInsert&FRequired=name;email&name=Ann",
       "failed|ERROR: Missing Required Field [email]"},
      {"FQuery=qInsert&FRequired=name;email&name=Ann&emailHelp=Please+give+an+e-mail+address",
       "failed|Please give an e-mail address"},
      {"FQuery=qInsert&FRequired=name;&name=Ann", "failed|ERROR: Missing Required Field []"},
      {"FRequired=name&name=Ann", "failed|Internal Error: Unable to get value for FQuery"},
      {"FQuery=qNone&FRequired=name&name=Ann",
       "failed|Internal Error: Unable to find query [qNone] in datamodules"},
      {"FQuery=qAuto&FRequired=id&id=5", "failed|ERROR: Unmatched parameter type for [id]"},
      {"FQuery=qSource&FRequired=a&a=1", "failed|ERROR: Component [qSource] is not a query"},
      {"FQuery=qStale&FRequired=a&a=1", "failed|Internal Error: Unable to copy query [qStale]"},
      {"FQuery=qBroken&FRequired=a&a=1", "failed|ERROR: no such table: nowhere"},
  };
  // A long list of required fields is checked to its end.
  std::string required = "FQuery=qInsert&FRequired=";
  std::string given;
  for (int n = 10; n < 30; ++n) {
    required += "field_number_" + std::to_string(n) + (n < 29 ? ";" : "");
    if (n < 29) given += "&field_number_" + std::to_string(n) + "=x";
  }
  cases.push_back({required + given, "failed|ERROR: Missing Required Field [field_number_29]"});
  for (const Case& c : cases)
    EXPECT_EQ(Body("/form?" + c.query), c.answer) << c.query;
  EXPECT_EQ(Rows("select count(*) from people"), "0;");
}

// A form that passes runs the insert with each parameter converted from its
// request field; the message is left alone.
TEST_F(ProcessQueryTest, RunsTheQueryWithConvertedParameters) {
  for (const char* query : {"name=Ann&email=a%40x&age=42&active=true", "name=Bob&age=abc&active=T",
                            "name=%3CCy%3E&age=0&active=yes"})
    EXPECT_EQ(Body(std::string("/form?FQuery=qInsert&FRequired=name&") + query), "ran|") << query;
  EXPECT_EQ(Rows("select name, email, typeof(age), age, active from people order by id"),
            "Ann,a@x,integer,42,1;Bob,,integer,0,1;<Cy>,,text,,0;");
}

// The form of ProcessQuery with the query fixed by the application: the
// request's FQuery, FRequired and <name>Help fields change nothing, and an
// empty required field gets the application's message.
TEST_F(ProcessQueryTest, FixedQueryIgnoresWhatTheFormAsksFor) {
  const TFormQuery form{"qInsert", {{"name", "Please give your name"}, {"email", ""}}};
  SetHandler([this, form](TKorviRequest& request, TKorviResponse& response) {
    std::string message;
    const bool ran =
        processor_.ProcessQuery(&server_, &request, &response, {&module_}, form, message);
    response.SetContent((ran ? "ran|" : "failed|") + message);
  });
  const struct {
    const char* query;
    const char* answer;
  } cases[] = {
      {"name=Ann&email=a%40x&FQuery=qBroken&FRequired=none", "ran|"},
      {"email=a%40x&FRequired=email", "failed|Please give your name"},
      {"email=a%40x&nameHelp=Forged", "failed|Please give your name"},
      {"name=Bob&FRequired=name&emailHelp=Forged", "failed|ERROR: Missing Required Field [email]"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Body(std::string("/form?") + c.query), c.answer) << c.query;
  EXPECT_EQ(Rows("select name, email from people"), "Ann,a@x;");
}

class QueryDirectiveTest : public test::PageTest {
 protected:
  QueryDirectiveTest() {
    Exec("create table orders(id integer primary key, cust text, item text)");
    Exec("insert into orders(cust, item) values('7','bolt'),('7','nut'),('8','gear')");
    AddQuery(module_, "qOrders", "select cust, item from orders where cust = :CustNo order by id",
             {{ftString, ""}});
    stock_.SetDatabaseName(db_);
    stock_.SetSQL("select 'lamp' as title");
    stock_.Open();
    stock_source_.SetDataSet(&stock_);
    extra_.SetDatabaseName(db_);
    extra_.SetSQL("select 'e' as extra");
    extra_.Open();
    extra_source_.SetDataSet(&extra_);
    processor_.HTTPFieldPrefix = "f_";
  }

  TQuery stock_{nullptr};
  TDataSource stock_source_{nullptr};
  TQuery extra_{nullptr};
  TDataSource extra_source_{nullptr};
};

// With two sources from the caller an added query becomes source 3 and
// loops; removing source 1 moves the others down; numbers that are no
// source change nothing; the caller's source is only taken off the list.
TEST_F(QueryDirectiveTest, AddAndDeleteRenumber) {
  ServePage(WritePage("orders.htm",
                      "<#q Action=ADDQUERY Name=qOrders CustNo=^cust>\n"
                      "<#q Action=ADDQUERY Name=qMissing>\n"
                      "a:%#3.item%|%3.cust%:\n"
                      "<!LOOP DS=3>r:%item%;\n<!ENDLOOP>\n"
                      "<#q action=delquery DS=1>\n"
                      "b:%#2.cust%|%#1.extra%:\n"
                      "<#q Action=DELQUERY DS=x><#q Action=DELQUERY DS=9>\n"
                      "c:%#2.cust%|%#1.extra%:\n"
                      "<#q Action=DELQUERY DS=2>\n"
                      "d:%#2.cust%:\n"),
            {&stock_source_, &extra_source_});
  const std::string page = Body("/?f_cust=7");
  for (const char* part : {"a:bolt|7:", "r:bolt;", "r:nut;",
                           "b:7|e:", "c:7|e:", "d: ERROR: Field [#2.cust] not found :"})
    EXPECT_TRUE(Has(page, part)) << part << "\n" << page;
  EXPECT_FALSE(Has(page, "gear"));
  EXPECT_FALSE(Has(page, "Action"));
  EXPECT_TRUE(stock_.Active());
  EXPECT_EQ(stock_source_.DataSet(), &stock_);
}

// Only custom tags are directives, and only while HandleQueryTags is on;
// every other tag goes to OnHTMLTag with its kind, name and parameters.
TEST_F(QueryDirectiveTest, WhichTagsAreDirectives) {
  processor_.OnHTMLTag = [](TObject*, TKorviRequest*, TKorviResponse*, TTag tag,
                            const std::string& name, TStringList& params, std::string& text) {
    text = "[" + std::to_string(tag) + ":" + name + ":" + params.Text() + "]";
  };
  struct Case {
    bool handle_query_tags;
    std::string tag;
    std::string shown;
    bool opened;
  };
  const std::vector<Case> cases = {
      {true, "<#x Action=addquery Name=qOrders CustNo=^cust>", "", true},
      {false, "<#x Action=addquery Name=qOrders CustNo=^cust>",
       "[0:x:Action=addquery\r\nName=qOrders\r\nCustNo=^cust\r\n]", false},
      {true, "<#LINK Action=ADDQUERY Name=qOrders>", "[1:LINK:Action=ADDQUERY\r\nName=qOrders\r\n]",
       false},
      {true, "<#other a=1>", "[0:other:a=1\r\n]", false},
  };
  for (const Case& c : cases) {
    processor_.HandleQueryTags = c.handle_query_tags;
    ServePage(WritePage("tag.htm", "(" + c.tag + ")\n%#1.item%\n"));
    const std::string page = Body("/?f_cust=7");
    EXPECT_TRUE(Has(page, "(" + c.shown + ")")) << c.tag << "\n" << page;
    EXPECT_EQ(Has(page, "bolt"), c.opened) << c.tag;
  }
}

// Deleting the source a loop walks ends the page with an error rather
// than reading a freed data set.
TEST_F(QueryDirectiveTest, DeletingTheSourceOfARunningLoop) {
  ServePage(WritePage("inner.htm",
                      "<#q Action=ADDQUERY Name=qOrders CustNo=^cust>\n"
                      "<!LOOP DS=1>%item%\n<#q Action=DELQUERY DS=1>\n<!ENDLOOP>\n"));
  EXPECT_TRUE(Body("/?f_cust=7").starts_with("ERROR: "));
}

// A query that cannot be copied adds no source, and the page goes on.
TEST_F(QueryDirectiveTest, QueryWithoutCopyAddsNothing) {
  Exec("create table gone(x)");
  AddQuery(module_, "qStale", "select x from gone")->Open();
  Exec("drop table gone");
  ServePage(WritePage("stale.htm", "<#q Action=ADDQUERY Name=qStale>\nafter:%#1.x%\n"));
  EXPECT_TRUE(Has(Body("/"), "after: ERROR: Field [#1.x] not found "));
}

}  // namespace
}  // namespace korvi
