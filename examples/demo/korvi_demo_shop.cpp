// TKorviDemo's shop pages: the home page and the tea list, made by loop
// producers over the database, and the tea page with its review form, run
// by the page processor.
#include "korvi_demo.h"

#include <algorithm>
#include <memory>
#include <string>

#include <korvi/data/data_source.h>
#include <korvi/data/field.h>
#include <korvi/data/memory_data_set.h>
#include <korvi/data/query.h>
#include <korvi/host/sysutils.h>
#include <korvi/web/http_text.h>
#include <korvi/web/korvi_request.h>
#include <korvi/web/korvi_response.h>

#include "html_producer.h"
#include "shopping_cart.h"

namespace korvi {

namespace {

constexpr int kTeasPerPage = 4;
// The longest author name and review text taken.
constexpr std::size_t kMaxAuthor = 60;
constexpr std::size_t kMaxReviewBody = 2000;

// The links between the pages of the tea list, for page `page` of `pages`
// of the teas of kind `kind` ("": every kind).
std::string Pager(int page, int pages, const std::string& kind) {
  const std::string kind_field = kind.empty() ? "" : "kind=" + HTTPEncode(kind) + "&amp;";
  const auto link = [&](int target, const char* rel, const char* text) {
    return "<a rel=\"" + std::string(rel) + "\" href=\"/shop?" + kind_field +
           "page=" + std::to_string(target) + "\">" + text + "</a>";
  };
  std::string html = "<nav class=\"pager\">";
  if (page > 1) html += link(page - 1, "prev", "&larr; Previous");
  html += "<span id=\"page-number\">Page " + std::to_string(page) + " of " + std::to_string(pages) +
          "</span>";
  if (page < pages) html += link(page + 1, "next", "Next &rarr;");
  return html + "</nav>";
}

// The reason the fields of a review cannot be stored, "" when they can.
// Empty fields are left to the form's required fields.
std::string ReviewProblem(TKorviRequest& request) {
  const std::string rating = request.GetFormField("rating", "");
  if (!rating.empty() && (rating.size() != 1 || rating[0] < '1' || rating[0] > '5'))
    return "Please choose a rating from 1 to 5.";
  if (request.GetFormField("author", "").size() > kMaxAuthor)
    return "Please shorten your name to " + std::to_string(kMaxAuthor) + " characters.";
  if (request.GetFormField("body", "").size() > kMaxReviewBody)
    return "Please shorten your review to " + std::to_string(kMaxReviewBody) + " characters.";
  return "";
}

// The review form's query and the messages for its empty fields.
const TFormQuery kReviewForm = {"qAddReview",
                                {{"author", "Please tell us your name."},
                                 {"body", "Please write a few words about this tea."},
                                 {"rating", "Please choose a rating."}}};

}  // namespace

void TKorviDemo::ServeHome(TKorviRequest& request, TKorviResponse& response) {
  THTMLProducer producer(TemplatePath("home.htm"),
                         {{"nav", NavigationBar(CartOf(request, response)->ItemCount())}});
  producer.AddDataSet("kinds", database_.Kinds());
  response.SetContent(producer.Content());
}

void TKorviDemo::ServeShop(TKorviRequest& request, TKorviResponse& response) {
  const std::string kind = request.GetFieldValue("kind", "");
  std::unique_ptr<TQuery> teas = database_.Teas(kind);
  const int pages = std::max(1, (teas->RecordCount() + kTeasPerPage - 1) / kTeasPerPage);
  const int page = std::clamp(StrToIntDef(request.GetFieldValue("page", "1"), 1), 1, pages);
  std::shared_ptr<TShoppingCart> cart = CartOf(request, response);

  THTMLProducer producer(TemplatePath("shop.htm"),
                         {{"nav", NavigationBar(cart->ItemCount())},
                          {"heading", kind.empty() ? "Our teas" : HTMLEscape(kind) + " teas"},
                          {"pager", Pager(page, pages, kind)},
                          {"token", TokenField(request, response)}});
  // Every tea's order form lists the tin sizes with their prices: a loop
  // inside the loop, whose %tinprice% entry comes from both rows.
  std::unique_ptr<TQuery> sizes = database_.TinSizes();
  producer.OnEntryField = [tea = teas.get(), size = sizes.get()](TObject*, const std::string& name,
                                                                 std::string& text, bool& handled) {
    if (!SameText(name, "tinprice")) return;
    text = Money(TinPrice(StrToFloat(tea->FieldByName("price").AsString()),
                          size->FieldByName("grams").AsInteger()));
    handled = true;
  };
  producer.AddDataSet("kinds", database_.Kinds());
  producer.AddDataSet("teas", std::move(teas));
  producer.AddDataSet("sizes", std::move(sizes));
  // List mode: the loop over the teas writes the rows of one page only.
  producer.ListMode = true;
  producer.SetListDS("teas");
  producer.FirstRecord = (page - 1) * kTeasPerPage + 1;
  producer.MaxRecords = kTeasPerPage;
  response.SetContent(producer.Content());
}

void TKorviDemo::ServeTea(TKorviRequest& request, TKorviResponse& response) {
  CartOf(request, response);
  if (TeaFound(request, response)) RenderTeaPage(request, response, "");
}

void TKorviDemo::AddReview(TKorviRequest& request, TKorviResponse& response) {
  CartOf(request, response);
  if (RefusedForm(request, response) || !TeaFound(request, response)) return;
  // The server checks the fields; ProcessQuery then runs the query the
  // application names, never one the form names.
  std::string message = ReviewProblem(request);
  if (message.empty() &&
      processor_.ProcessQuery(server_.get(), &request, &response, {database_.NamedQueries()},
                              kReviewForm, message)) {
    // Back to the tea page, so reloading it does not post the review again.
    const int tea = StrToIntDef(request.GetFieldValue("id", ""), 0);
    response.SendRedirect("/tea?id=" + std::to_string(tea) + "#reviews");
    return;
  }
  response.SetStatusCode(400);
  RenderTeaPage(request, response, message);
}

bool TKorviDemo::TeaFound(TKorviRequest& request, TKorviResponse& response) {
  if (database_.Tea(StrToIntDef(request.GetFieldValue("id", ""), 0))->RecordCount() > 0)
    return true;
  RenderProblem(request, response, 404, "Not Found", "The shop has no such tea.");
  return false;
}

void TKorviDemo::RenderTeaPage(TKorviRequest& request, TKorviResponse& response,
                               const std::string& message) {
  // The processor escapes the message with every other field value.
  TMemoryDataSet form(nullptr);
  form.AddField("message");
  form.AppendRecord({Variant(message)});
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
