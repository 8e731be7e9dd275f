// Temporary document roots and latency percentiles for the benchmarks.
#include "document_tree.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace korvi::bench {

TDocumentTree::TDocumentTree() {
  char name[] = "/tmp/korvi-bench-XXXXXX";
  if (mkdtemp(name) == nullptr) throw std::runtime_error("cannot create a temporary directory");
  root_ = name;
}

TDocumentTree::~TDocumentTree() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

void TDocumentTree::Write(const std::string& relative, std::size_t bytes) const {
  const std::filesystem::path path = root_ + "/" + relative;
  std::filesystem::create_directories(path.parent_path());
  std::string content(bytes, 'x');
  for (std::size_t i = 63; i < bytes; i += 64)
    content[i] = '\n';
  std::ofstream out(path, std::ios::binary);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + relative);
}

double Percentile(const std::vector<double>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  const auto index = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1));
  return sorted[index];
}

}  // namespace korvi::bench
