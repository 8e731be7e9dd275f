// Lines: the lines of a TStringList as a vector, for comparing whole lists
// in one expectation.
#pragma once

#include <string>
#include <vector>

#include "korvi/host/string_list.h"

namespace korvi::test {

using LineVector = std::vector<std::string>;

// Every line of `list`, in order.
inline LineVector Lines(const TStringList& list) {
  LineVector out;
  for (int i = 0; i < list.Count(); ++i)
    out.push_back(list[i]);
  return out;
}

}  // namespace korvi::test
