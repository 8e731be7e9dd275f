// TKorviDemo's cart pages: the browser's cart lives in its session, found
// again on every request through the session cookie.
#include "korvi_demo.h"

#include <memory>
#include <string>

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

// An amount of money with two decimals.
std::string Money(double amount) {
  return FloatToStrF(amount, ffFixed, 15, 2);
}

}  // namespace

void TKorviDemo::ServeCart(TKorviRequest& request, TKorviResponse& response) {
  RenderCartPage(*CartOf(request, response), response, "");
}

void TKorviDemo::AddToCart(TKorviRequest& request, TKorviResponse& response) {
  std::shared_ptr<TShoppingCart> cart = CartOf(request, response);
  // Only the shop's order forms change the cart; they post.
  if (request.MethodType() != mtPost) {
    response.SendRedirect("/cart");
    return;
  }
  const int tea = StrToIntDef(request.GetFieldValue("tea", ""), 0);
  const int grams = StrToIntDef(request.GetFieldValue("grams", ""), 0);
  if (database_.Tea(tea)->RecordCount() == 0 || database_.TinSize(grams)->RecordCount() == 0) {
    response.SetStatusCode(400);
    RenderCartPage(*cart, response, "That tea or tin size is not in the shop.");
    return;
  }
  cart->Add(tea, grams);
  response.SendRedirect("/cart");
}

void TKorviDemo::ClearCart(TKorviRequest& request, TKorviResponse& response) {
  std::shared_ptr<TShoppingCart> cart = CartOf(request, response);
  if (request.MethodType() == mtPost) cart->Clear();
  response.SendRedirect("/cart");
}

void TKorviDemo::RenderCartPage(const TShoppingCart& cart, TKorviResponse& response,
                                const std::string& notice) {
  // The cart's lines with the names and prices the database has now.
  auto lines = std::make_unique<TMemoryDataSet>(nullptr);
  for (const char* field : {"name", "size", "quantity", "price"})
    lines->AddField(field);
  double total = 0;
  for (const TShoppingCart::TLine& line : cart.Lines()) {
    std::unique_ptr<TQuery> tea = database_.Tea(line.Tea);
    std::unique_ptr<TQuery> size = database_.TinSize(line.Grams);
    if (tea->RecordCount() == 0 || size->RecordCount() == 0) continue;
    const double price = tea->FieldByName("price").AsFloat() * line.Grams / 100.0 * line.Quantity;
    total += price;
    lines->AppendRecord({Variant(tea->FieldByName("name").AsString()),
                         Variant(size->FieldByName("label").AsString()), Variant(line.Quantity),
                         Variant(Money(price))});
  }
  lines->Open();
  const bool empty = lines->RecordCount() == 0;

  THTMLProducer producer(
      TemplatePath("cart.htm"),
      {{"nav", NavigationBar(cart.ItemCount())},
       {"notice", notice.empty() ? "" : "<p class=\"notice\">" + HTMLEscape(notice) + "</p>"},
       {"empty", empty ? "<p id=\"cart-empty\">Your cart is empty.</p>" : ""},
       {"total", Money(total)}});
  producer.AddDataSet("lines", std::move(lines));
  response.SetContent(producer.Content());
}

}  // namespace korvi
