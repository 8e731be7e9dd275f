// TKorviDemo's cart pages: the browser's cart lives in its session, found
// again on every request through the session cookie.
#include "korvi_demo.h"

#include <memory>
#include <string>

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

// The most tins of one line.
constexpr int kMaxQuantity = 99;

}  // namespace

void TKorviDemo::ServeCart(TKorviRequest& request, TKorviResponse& response) {
  RenderCartPage(request, response, *CartOf(request, response), "");
}

void TKorviDemo::AddToCart(TKorviRequest& request, TKorviResponse& response) {
  std::shared_ptr<TShoppingCart> cart = CartOf(request, response);
  if (RefusedForm(request, response)) return;
  const int tea = StrToIntDef(request.GetFieldValue("tea", ""), 0);
  const int grams = StrToIntDef(request.GetFieldValue("grams", ""), 0);
  if (database_.Tea(tea)->RecordCount() == 0 || database_.TinSize(grams)->RecordCount() == 0) {
    response.SetStatusCode(400);
    RenderCartPage(request, response, *cart, "That tea or tin size is not in the shop.");
    return;
  }
  cart->Add(tea, grams);
  response.SendRedirect("/cart");
}

void TKorviDemo::UpdateCart(TKorviRequest& request, TKorviResponse& response) {
  std::shared_ptr<TShoppingCart> cart = CartOf(request, response);
  if (RefusedForm(request, response)) return;
  const int quantity = StrToIntDef(request.GetFieldValue("quantity", ""), -1);
  if (quantity < 0 || quantity > kMaxQuantity ||
      !cart->SetQuantity(StrToIntDef(request.GetFieldValue("tea", ""), 0),
                         StrToIntDef(request.GetFieldValue("grams", ""), 0), quantity)) {
    response.SetStatusCode(400);
    RenderCartPage(
        request, response, *cart,
        "Choose from 0 to " + std::to_string(kMaxQuantity) + " tins of a line in the cart.");
    return;
  }
  response.SendRedirect("/cart");
}

void TKorviDemo::ClearCart(TKorviRequest& request, TKorviResponse& response) {
  std::shared_ptr<TShoppingCart> cart = CartOf(request, response);
  if (RefusedForm(request, response)) return;
  cart->Clear();
  response.SendRedirect("/cart");
}

void TKorviDemo::RenderCartPage(TKorviRequest& request, TKorviResponse& response,
                                const TShoppingCart& cart, const std::string& notice) {
  // The cart's lines with the names and prices the database has now.
  auto lines = std::make_unique<TMemoryDataSet>(nullptr);
  for (const char* field : {"tea", "grams", "name", "size", "quantity", "price"})
    lines->AddField(field);
  double total = 0;
  for (const TShoppingCart::TLine& line : cart.Lines()) {
    std::unique_ptr<TQuery> tea = database_.Tea(line.Tea);
    std::unique_ptr<TQuery> size = database_.TinSize(line.Grams);
    if (tea->RecordCount() == 0 || size->RecordCount() == 0) continue;
    const double price = TinPrice(tea->FieldByName("price").AsFloat(), line.Grams) * line.Quantity;
    total += price;
    lines->AppendRecord({Variant(line.Tea), Variant(line.Grams),
                         Variant(tea->FieldByName("name").AsString()),
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
       {"total", Money(total)},
       {"token", TokenField(request, response)}});
  producer.AddDataSet("lines", std::move(lines));
  response.SetContent(producer.Content());
}

}  // namespace korvi
