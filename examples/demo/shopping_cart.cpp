// TShoppingCart: the lines of one browser's cart behind a lock.
#include "shopping_cart.h"

#include <algorithm>

#include <korvi/host/sysutils.h>

namespace korvi {

void TShoppingCart::Add(int tea, int grams) {
  std::lock_guard<std::mutex> guard(lock_);
  for (TLine& line : lines_) {
    if (line.Tea == tea && line.Grams == grams) {
      ++line.Quantity;
      return;
    }
  }
  lines_.push_back({tea, grams, 1});
}

bool TShoppingCart::SetQuantity(int tea, int grams, int quantity) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto line = std::find_if(lines_.begin(), lines_.end(), [&](const TLine& candidate) {
    return candidate.Tea == tea && candidate.Grams == grams;
  });
  if (line == lines_.end()) return false;
  if (quantity > 0)
    line->Quantity = quantity;
  else
    lines_.erase(line);
  return true;
}

void TShoppingCart::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  lines_.clear();
}

std::vector<TShoppingCart::TLine> TShoppingCart::Lines() const {
  std::lock_guard<std::mutex> guard(lock_);
  return lines_;
}

int TShoppingCart::ItemCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  int count = 0;
  for (const TLine& line : lines_)
    count += line.Quantity;
  return count;
}

double TinPrice(double price_per_100g, int grams) {
  return price_per_100g * grams / 100.0;
}

std::string Money(double amount) {
  return FloatToStrF(amount, ffFixed, 15, 2);
}

}  // namespace korvi
