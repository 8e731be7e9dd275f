// TShoppingCart: what one browser has put in its cart, kept as an object in
// that browser's session. A browser may send several requests at once, each
// on a worker thread of its own, so every operation takes the cart's lock.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include <korvi/host/object.h>

namespace korvi {

class TShoppingCart : public TObject {
 public:
  // One line of the cart: a tea, a tin size and how many tins.
  struct TLine {
    int Tea = 0;
    int Grams = 0;
    int Quantity = 0;
  };

  // Adds one tin of `grams` grams of tea `tea`.
  void Add(int tea, int grams);
  // Sets the number of tins of the line for `grams` grams of tea `tea`; 0
  // removes the line. False when the cart has no such line.
  bool SetQuantity(int tea, int grams, int quantity);
  // Empties the cart.
  void Clear();
  // The lines in the order they were first added.
  std::vector<TLine> Lines() const;
  // The number of tins in the cart.
  int ItemCount() const;

 private:
  mutable std::mutex lock_;
  std::vector<TLine> lines_;
};

// The price of a tin of `grams` grams of a tea that costs `price_per_100g`.
double TinPrice(double price_per_100g, int grams);
// An amount of money with two decimals.
std::string Money(double amount);

}  // namespace korvi
