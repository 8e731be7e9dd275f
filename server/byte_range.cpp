// The single byte range of a "Range" header and its "Content-Range" text.
#include "korvi/server/byte_range.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "korvi/host/sysutils.h"
#include "korvi/web/http_grammar.h"

namespace korvi {

namespace {

constexpr std::int64_t kLargest = std::numeric_limits<std::int64_t>::max();

// Reads the byte position `text` (one or more decimal digits); a position
// too large for the type reads as the largest one, which lies past the end
// of every file. False for any other text.
bool ReadPosition(std::string_view text, std::int64_t& value) {
  if (text.empty()) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const int digit = c - '0';
    value = value > (kLargest - digit) / 10 ? kLargest : value * 10 + digit;
  }
  return true;
}

TByteRange Partial(std::int64_t first, std::int64_t last) {
  return {TRangeKind::Partial, first, last};
}

// The range of the one range `text` ("first-last", "first-" or
// "-suffix").
TByteRange ResolveOne(std::string_view text, std::int64_t size) {
  const TByteRange whole;
  const TByteRange unsatisfiable{TRangeKind::Unsatisfiable};
  const std::size_t dash = text.find('-');
  if (dash == std::string_view::npos) return whole;
  const std::string_view last_text = text.substr(dash + 1);
  std::int64_t last = kLargest;
  if (!last_text.empty() && !ReadPosition(last_text, last)) return whole;
  if (dash == 0) {
    if (last_text.empty()) return whole;
    if (last == 0) return unsatisfiable;
    if (size == 0) return whole;
    return Partial(size - std::min(last, size), size - 1);
  }
  std::int64_t first = 0;
  if (!ReadPosition(text.substr(0, dash), first) || last < first) return whole;
  if (first >= size) return unsatisfiable;
  return Partial(first, std::min(last, size - 1));
}

}  // namespace

TByteRange ResolveRange(std::string_view header, std::int64_t size) {
  header = TrimOws(header);
  const std::size_t equals = header.find('=');
  if (equals == std::string_view::npos || !SameText(header.substr(0, equals), "bytes")) return {};
  const std::vector<std::string_view> ranges = SplitHeaderList(header.substr(equals + 1));
  if (ranges.size() != 1) return {};
  return ResolveOne(ranges.front(), size);
}

std::string ContentRange(const TByteRange& range, std::int64_t size) {
  switch (range.Kind) {
    case TRangeKind::Partial:
      return "bytes " + std::to_string(range.First) + "-" + std::to_string(range.Last) + "/" +
             std::to_string(size);
    case TRangeKind::Unsatisfiable:
      return "bytes */" + std::to_string(size);
    case TRangeKind::Whole:
      break;
  }
  return {};
}

}  // namespace korvi
