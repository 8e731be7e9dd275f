// TShoppingCart: the lines of one browser's cart behind a lock.
#include "shopping_cart.h"

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

}  // namespace korvi
