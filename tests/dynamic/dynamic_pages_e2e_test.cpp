// End to end with curl: a form posted to the server inserts a row through
// ProcessQuery, and the processed listing page shows it.
#include "korvi/dynamic/korvi_processor.h"

#include <gtest/gtest.h>

#include <string>

#include "korvi/web/korvi_request.h"
#include "korvi/web/korvi_response.h"
#include "tests/dynamic/page_fixture.h"
#include "tests/support/curl.h"

namespace korvi {
namespace {

using test::Has;

class DynamicPagesEndToEnd : public test::PageTest {
 protected:
  DynamicPagesEndToEnd() {
    Exec("create table guests(id integer primary key, name text, nights integer)");
    Exec("insert into guests(name, nights) values('Ann', 2)");
    AddQuery(module_, "qGuests", "select name, nights from guests order by id");
    AddQuery(module_, "qAddGuest", "insert into guests(name, nights) values(:name, :nights)",
             {{ftString, "^name"}, {ftInteger, "^nights"}});
    const std::string list = WritePage("guests.htm",
                                       "<html><body><ul>\n"
                                       "<#q Action=ADDQUERY Name=qGuests>\n"
                                       "<!LOOP DS=1><li>%name% (%nights%)</li>\n<!ENDLOOP>\n"
                                       "</ul></body></html>\n");
    // A posted form runs its query first; either way the list follows.
    SetHandler([this, list](TKorviRequest& request, TKorviResponse& response) {
      std::string message;
      if (request.MethodType() == mtPost &&
          !processor_.ProcessQuery(&server_, &request, &response, {&module_}, message)) {
        response.SetContent("<p>" + message + "</p>");
        return;
      }
      processor_.ProcessHtmlFile(&server_, &request, &response, list, {}, {&module_});
    });
  }

  std::string Post(const std::string& form) {
    const test::ChildResult run = test::RunCurl(server_.ServerPort(), "/guests", {"--data", form});
    EXPECT_EQ(run.exit_code, 0) << run.errors;
    return run.output;
  }
};

TEST_F(DynamicPagesEndToEnd, PostedFormInsertsAndListingShowsTheRow) {
  EXPECT_EQ(Post("FQuery=qAddGuest&FRequired=name;nights&name=Zed"),
            "<p>ERROR: Missing Required Field [nights]</p>");
  const std::string posted = Post("FQuery=qAddGuest&FRequired=name;nights&name=Zed+Lee&nights=3");
  EXPECT_TRUE(Has(posted, "<li>Zed Lee (3)</li>")) << posted;

  const std::string listed = test::Curl(server_.ServerPort(), "/guests");
  EXPECT_TRUE(Has(listed, "<li>Ann (2)</li>")) << listed;
  EXPECT_TRUE(Has(listed, "<li>Zed Lee (3)</li>")) << listed;
  EXPECT_EQ(Rows("select count(*) from guests"), "2;");
}

}  // namespace
}  // namespace korvi
