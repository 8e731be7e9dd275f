/// \file
/// Byte ranges of a file answer: which bytes a "Range" header asks for, and
/// the "Content-Range" text that describes them.
///
/// One range ("bytes=first-last", "bytes=first-" or "bytes=-suffix") that
/// the file can satisfy gives a 206 answer with those bytes; one that it
/// cannot gives 416. No header, another unit, several ranges and a header
/// that does not follow the grammar give the whole file with 200.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace korvi {

/// The kind of file answer a request gets.
enum class TRangeKind {
  Whole,          ///< 200 with the whole file
  Partial,        ///< 206 with the bytes First to Last
  Unsatisfiable,  ///< 416 with "Content-Range: bytes */<size>"
};

/// The bytes of a file that answer a request.
struct TByteRange {
  /// Whole, partial or unsatisfiable.
  TRangeKind Kind = TRangeKind::Whole;
  std::int64_t First = 0;  ///< first byte sent (Partial)
  std::int64_t Last = -1;  ///< last byte sent, inclusive (Partial)
  /// Bytes sent for a Partial range.
  std::int64_t Length() const { return Last - First + 1; }
};

/// The range that the "Range" header value `header` (empty when the request
/// has none) selects from a file of `size` bytes. A last position past the
/// end is cut to size - 1; a suffix longer than the file takes it whole
/// (still a Partial range of every byte). An empty file satisfies no
/// first-last range and sends itself whole for a suffix.
TByteRange ResolveRange(std::string_view header, std::int64_t size);

/// The "Content-Range" value for `range` of a file of `size` bytes:
/// "bytes 0-499/1234" for a Partial range, "bytes */1234" for an
/// Unsatisfiable one, empty for the whole file.
std::string ContentRange(const TByteRange& range, std::int64_t size);

}  // namespace korvi
