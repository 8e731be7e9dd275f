// Pages processed for real requests: where each kind of entry gets its
// text, escaping of what the request brings, the footer and the error
// content.
#include "korvi/dynamic/korvi_processor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "korvi/data/data_source.h"
#include "korvi/data/query.h"
#include "korvi/host/datetime.h"
#include "korvi/server/error_page.h"
#include "korvi/web/korvi_response.h"
#include "tests/dynamic/page_fixture.h"

namespace korvi {
namespace {

using test::Has;

const std::string kFooter = std::string("<br><center>Produced by the Korvi web server") +
                            ", a small HTTP server embedded in applications: <a href=\"" +
                            KorviProductAddress + "\">" + KorviProductAddress + "</a></center>";

class ProcessorTest : public test::PageTest {
 protected:
  ProcessorTest() {
    Exec("create table items(title text, price)");
    Exec("insert into items values('Lamp', 12)");
    Exec("create table people(name text)");
    Exec("insert into people values('Ann'),('Bob')");
    AddQuery(module_, "qPeople", "select name from people order by name");
    AddQuery(module_, "qByName", "select name from people where name = :who", {{ftString, ""}});
    Open(stock_, stock_source_, "select title, price from items");
    stock_source_.SetName("Stock");
    Open(extra_, extra_source_, "select 30 as price");
  }

  void Open(TQuery& query, TDataSource& source, const std::string& sql) {
    query.SetDatabaseName(db_);
    query.SetSQL(sql);
    query.Open();
    source.SetDataSet(&query);
  }

  TQuery stock_{nullptr};
  TDataSource stock_source_{nullptr};
  TQuery extra_{nullptr};
  TDataSource extra_source_{nullptr};
};

TEST_F(ProcessorTest, Defaults) {
  EXPECT_TRUE(processor_.HandleHTTPFields);
  EXPECT_TRUE(processor_.HandleQueryTags);
  EXPECT_FALSE(processor_.EscapeFieldValues);
  EXPECT_EQ(processor_.HTTPFieldPrefix, "");
  EXPECT_FALSE(processor_.OnEntry);
  EXPECT_FALSE(processor_.OnHTMLTag);
  EXPECT_EQ(processor_.Footer, kFooter);
}

// An entry is taken by the first of: the data sources, a marked reference,
// the prefixed request field, OnEntry (while it leaves Handled true), the
// built-in names, the error text.
TEST_F(ProcessorTest, EntryResolutionOrder) {
  processor_.HTTPFieldPrefix = "f_";
  processor_.OnEntry = [](TObject*, TKorviRequest*, TKorviResponse*, const std::string& name,
                          std::string& text, bool& handled) {
    if (name == "total") {
      text = "T-100";
      handled = true;
    } else if (name == "greet") {
      text = "Hi <b>";
    } else if (name != "foo") {
      handled = false;
    }
  };
  struct Case {
    bool handle_http_fields;
    std::string entry;
    std::string text;
  };
  const std::vector<Case> cases = {
      {true, "%title%", "Lamp"},
      {true, "%Stock.price%", "12"},
      {true, "%name%", "Ann"},
      {true, "%^NAME%", "Ann"},
      {true, "%^title%", "Req"},
      {true, "%#2.price%", "30"},
      {true, "%#.price%", "30"},
      {true, "%#1.price%", "12"},
      {true, "%#9.price%", " ERROR: Field [#9.price] not found "},
      {true, "%&total%", "T-100"},
      {true, "%&other%", "&other"},
      {true, "%foo%", ""},
      {true, "%greet%", "Hi <b>"},
      {true, "%request.host%", "shop.example"},
      {true, "%Date%", DateToStr(Date())},
      {true, "%Nothing%", " ERROR: Field [Nothing] not found "},
      {false, "%name%", " ERROR: Field [name] not found "},
      {false, "%^name%", " ERROR: Field [^name] not found "},
      {false, "%title%", "Lamp"},
  };
  for (bool handle : {true, false}) {
    processor_.HandleHTTPFields = handle;
    std::string page;
    for (size_t i = 0; i < cases.size(); ++i)
      if (cases[i].handle_http_fields == handle)
        page += "{" + std::to_string(i) + ":" + cases[i].entry + ":}\n";
    ServePage(WritePage("entries.htm", page), {&stock_source_, &extra_source_});
    const std::string body = Body("/?f_name=Ann&f_title=Req", "Host: shop.example\r\n");
    for (size_t i = 0; i < cases.size(); ++i) {
      if (cases[i].handle_http_fields != handle) continue;
      EXPECT_TRUE(Has(body, "{" + std::to_string(i) + ":" + cases[i].text + ":}"))
          << cases[i].entry << " with HandleHTTPFields " << handle << "\n"
          << body;
    }
  }
}

// What the request brings is escaped in the page, so neither markup nor a
// forged query directive gets in; bound as a query parameter the same value
// is used raw.
TEST_F(ProcessorTest, RequestValuesAreEscapedInPagesAndRawInQueries) {
  Exec("insert into people values('<x>')");
  ServePage(WritePage("escape.htm",
                      "A:%name%:\nB:%^q%:\nC:%request.host%:\nD:%#1.name%:\n"
                      "<#q Action=ADDQUERY Name=qByName who=^who>\nE:%#1.name%:\n"));
  const std::string body = Body(
      "/?name=%3Cscript%3Ealert('x')%3C/script%3E"
      "&q=%3C%23q+Action%3DADDQUERY+Name%3DqPeople%3E&who=%3Cx%3E",
      "Host: <b>\"h\"</b>\r\n");
  for (const char* part :
       {"A:&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;:",
        "B:&lt;#q Action=ADDQUERY Name=qPeople&gt;:", "C:&lt;b&gt;&quot;h&quot;&lt;/b&gt;:",
        "D: ERROR: Field [#1.name] not found :", "E:<x>:"})
    EXPECT_TRUE(Has(body, part)) << part << "\n" << body;
  EXPECT_FALSE(Has(body, "<script>"));
}

// Data-set field values are escaped in the page only when asked for: in
// plain entries, numbered references and loops alike.
TEST_F(ProcessorTest, FieldValuesEscapedOnlyWhenAsked) {
  Exec("create table notes(note text)");
  Exec(R"(insert into notes values('<i>"Tea" & co</i>'))");
  const std::string page =
      WritePage("notes.htm", "A:%note%:\nB:%#1.note%:\n<!LOOP DS=1>C:%note%:\n<!ENDLOOP>\n");
  for (bool escape : {false, true}) {
    TQuery notes(nullptr);
    TDataSource notes_source(nullptr);
    Open(notes, notes_source, "select note from notes");
    processor_.EscapeFieldValues = escape;
    ServePage(page, {&notes_source});
    const std::string body = Body("/");
    const std::string value =
        escape ? "&lt;i&gt;&quot;Tea&quot; &amp; co&lt;/i&gt;" : "<i>\"Tea\" & co</i>";
    for (const std::string label : {"A:", "B:", "C:"})
      EXPECT_TRUE(Has(body, label + value + ":")) << label << escape << "\n" << body;
  }
}

// The application owns the footer: replaced, or dropped when empty.
TEST_F(ProcessorTest, FooterReplacedOrDropped) {
  ServePage(WritePage("ok.htm", "fine\n"));
  for (const std::string footer : {"<footer>Tea shop</footer>", ""}) {
    processor_.Footer = footer;
    const std::string body = Body("/");
    EXPECT_TRUE(body.starts_with("fine\r\n")) << body;
    EXPECT_TRUE(body.ends_with("\r\n" + footer)) << body;
    EXPECT_FALSE(Has(body, "Produced by")) << body;
  }
}

// A page ends with the footer; a failure replaces the page by "ERROR: "
// and the message, sent as HTML, without footer.
TEST_F(ProcessorTest, FooterAndErrorContent) {
  (new TDataSource(&module_))->SetName("qSource");
  struct Case {
    std::string file;
    std::string content;
  };
  const std::vector<Case> cases = {
      {WritePage("ok.htm", "fine\n"), "fine\r\n\r\n"},
      {WritePage("noloop.htm", "<!LOOP>\nx\n<!ENDLOOP>\n"),
       "ERROR:  ERROR: DS not set in Loop Directive "},
      {WritePage("badquery.htm", "<#q Action=ADDQUERY Name=qSource>\n"),
       "ERROR: Component [qSource] is not a query"},
  };
  for (const Case& c : cases) {
    ServePage(c.file);
    const std::string body = Body("/");
    if (c.content.starts_with("ERROR")) {
      EXPECT_EQ(body, c.content);
    } else {
      EXPECT_TRUE(body.starts_with(c.content)) << body;
      EXPECT_TRUE(body.ends_with(kFooter)) << body;
    }
  }

  const std::string missing = dir_.File("missing.htm");
  SetHandler([&](TKorviRequest& request, TKorviResponse& response) {
    response.SetStringVariable(8, "text/plain");
    processor_.ProcessHtmlFile(&server_, &request, &response, missing, {}, {});
  });
  const std::string answer = Answer("/");
  EXPECT_TRUE(Has(answer, "Content-type: text/html\r\n")) << answer;
  EXPECT_TRUE(Has(answer, "\r\n\r\nERROR: ")) << answer;
  EXPECT_TRUE(Has(answer, "missing.htm")) << answer;
  EXPECT_FALSE(Has(answer, "Produced by")) << answer;
}

}  // namespace
}  // namespace korvi
