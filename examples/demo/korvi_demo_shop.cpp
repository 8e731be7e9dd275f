// TKorviDemo's shop pages: the home page and the tea list, made by loop
// producers over the database, and the tea page with its review form, run
// by the page processor.
#include "korvi_demo.h"

#include <algorithm>
#include <memory>
#include <string>

#include "data/data_source.h"
#include "data/memory_data_set.h"
#include "data/query.h"
#include "host/sysutils.h"
#include "html_producer.h"
#include "shopping_cart.h"
#include "web/http_text.h"
#include "web/korvi_request.h"
#include "web/korvi_response.h"

namespace korvi {

namespace {

constexpr int kTeasPerPage = 4;

// The links between the pages of the tea list, for page `page` of `pages`.
std::string Pager(int page, int pages) {
  const auto link = [](int target, const char* rel, const char* text) {
    return "<a rel=\"" + std::string(rel) + "\" href=\"/shop?page=" + std::to_string(target) +
           "\">" + text + "</a>";
  };
  std::string html = "<nav class=\"pager\">";
  if (page > 1) html += link(page - 1, "prev", "&larr; Previous");
  html += "<span id=\"page-number\">Page " + std::to_string(page) + " of " + std::to_string(pages) +
          "</span>";
  if (page < pages) html += link(page + 1, "next", "Next &rarr;");
  return html + "</nav>";
}

}  // namespace

void TKorviDemo::ServeHome(TKorviRequest& request, TKorviResponse& response) {
  THTMLProducer producer(TemplatePath("home.htm"),
                         {{"nav", NavigationBar(CartOf(request, response)->ItemCount())}});
  producer.AddDataSet("kinds", database_.Kinds());
  response.SetContent(producer.Content());
}

void TKorviDemo::ServeShop(TKorviRequest& request, TKorviResponse& response) {
  std::unique_ptr<TQuery> teas = database_.Teas();
  const int pages = std::max(1, (teas->RecordCount() + kTeasPerPage - 1) / kTeasPerPage);
  const int page = std::clamp(StrToIntDef(request.GetFieldValue("page", "1"), 1), 1, pages);

  THTMLProducer producer(TemplatePath("shop.htm"),
                         {{"nav", NavigationBar(CartOf(request, response)->ItemCount())},
                          {"pager", Pager(page, pages)}});
  // Every tea's order form lists the tin sizes: a loop inside the loop.
  producer.AddDataSet("teas", std::move(teas));
  producer.AddDataSet("sizes", database_.TinSizes());
  // List mode: the loop over the teas writes the rows of one page only.
  producer.ListMode = true;
  producer.SetListDS("teas");
  producer.FirstRecord = (page - 1) * kTeasPerPage + 1;
  producer.MaxRecords = kTeasPerPage;
  response.SetContent(producer.Content());
}

void TKorviDemo::ServeTea(TKorviRequest& request, TKorviResponse& response) {
  CartOf(request, response);
  RenderTeaPage(request, response, "");
}

void TKorviDemo::AddReview(TKorviRequest& request, TKorviResponse& response) {
  CartOf(request, response);
  // ProcessQuery checks the fields the form names in FRequired, then runs
  // the query it names in FQuery with the form's fields as parameters.
  std::string message;
  if (request.MethodType() == mtPost &&
      processor_.ProcessQuery(server_.get(), &request, &response, {database_.NamedQueries()},
                              message)) {
    // Back to the tea page, so reloading it does not post the review again.
    const int tea = StrToIntDef(request.GetFieldValue("id", ""), 0);
    response.SendRedirect("/tea?id=" + std::to_string(tea) + "#reviews");
    return;
  }
  RenderTeaPage(request, response, message);
}

void TKorviDemo::RenderTeaPage(TKorviRequest& request, TKorviResponse& response,
                               const std::string& message) {
  // The processor puts data-set fields into the page as they are. The
  // message may quote the request (a field's help text comes with the
  // form), so it is escaped here.
  TMemoryDataSet form(nullptr);
  form.AddField("message");
  form.AppendRecord({Variant(HTMLEscape(message))});
  form.Open();
  TDataSource form_source(nullptr);
  form_source.SetName("form");
  form_source.SetDataSet(&form);

  // The page opens qTea and qReviews itself, with ADDQUERY directives whose
  // parameters come from the request's "id" field.
  processor_.ProcessHtmlFile(server_.get(), &request, &response, TemplatePath("tea.htm"),
                             {&form_source}, {database_.NamedQueries()});
}

}  // namespace korvi
