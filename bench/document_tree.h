// TDocumentTree: a temporary document root for the load benchmarks, removed
// with everything in it when the object goes away; and the percentiles of
// the latencies they measure.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace korvi::bench {

class TDocumentTree {
 public:
  // Creates an empty root under /tmp; raises std::runtime_error when it cannot.
  TDocumentTree();
  ~TDocumentTree();
  TDocumentTree(const TDocumentTree&) = delete;
  TDocumentTree& operator=(const TDocumentTree&) = delete;

  const std::string& Root() const { return root_; }
  // Writes `relative` (its directories created) with `bytes` bytes of
  // printable text in lines of 64; raises std::runtime_error on failure.
  void Write(const std::string& relative, std::size_t bytes) const;

 private:
  std::string root_;
};

// The value at `fraction` (0 to 1) of the sorted values; 0 when there are none.
double Percentile(const std::vector<double>& sorted, double fraction);

}  // namespace korvi::bench
