/// \file
/// TChunkedDecoder: decodes a request body sent with "Transfer-Encoding:
/// chunked" as its bytes arrive, in slices cut anywhere, and hands the
/// decoded data to a sink. Chunk extensions are skipped and trailer fields
/// dropped. Lines must end in CRLF; a chunk-size line or trailer line longer
/// than ChunkedMaxLineLength is refused as malformed.
///
/// One decoder reads one body; it is not safe to share between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

namespace korvi {

/// Longest chunk-size line (extensions included) or trailer line accepted.
constexpr std::size_t ChunkedMaxLineLength = 4096;

/// Where decoding stands.
enum class TChunkedStatus {
  NeedMore,   ///< the body goes on: feed the bytes that follow
  Done,       ///< the last chunk and the trailer section have been read
  Malformed,  ///< not valid chunked coding (bad size, missing CRLF, size overflow)
  TooLarge,   ///< a chunk would take the decoded body past its limit
};

/// Decodes a chunked request body as its bytes arrive.
class TChunkedDecoder {
 public:
  /// Receives each piece of decoded data, in order.
  using TSink = std::function<void(std::string_view data)>;

  /// A decoder that passes at most `max_size` decoded bytes to `sink`.
  TChunkedDecoder(std::int64_t max_size, TSink sink);

  /// Decodes the next bytes of the body; returns how many of `data` it took.
  /// That is all of them while the status stays NeedMore. When the body ends
  /// inside `data`, the bytes after it (the next request) are left; once the
  /// status is no longer NeedMore nothing more is taken.
  std::size_t Feed(std::string_view data);

  /// Where decoding stands after the bytes fed so far.
  TChunkedStatus Status() const { return status_; }
  /// Decoded bytes passed to the sink so far.
  std::int64_t DecodedSize() const { return decoded_; }

 private:
  enum class TStep {
    SizeFirst,     ///< the first hex digit of a chunk size
    Size,          ///< further hex digits
    Extension,     ///< an extension after the size, skipped
    SizeLf,        ///< the LF after the chunk-size line
    Data,          ///< chunk data
    DataCr,        ///< the CR after chunk data
    DataLf,        ///< the LF after chunk data
    TrailerStart,  ///< a trailer line, or the CR of the empty line
    Trailer,       ///< the rest of a trailer line, skipped
    TrailerLf,     ///< the LF after a trailer line
    FinalLf,       ///< the LF of the empty line that ends the body
  };

  /// Takes the bytes at the start of `data` (never empty) that the current
  /// step reads; returns their number, at least one.
  std::size_t Take(std::string_view data);
  /// Takes `c` as one more byte of a chunk-size or trailer line: Malformed
  /// for a control character or a line over ChunkedMaxLineLength.
  std::size_t LineByte(char c);
  /// Takes one byte and moves on to `step`.
  std::size_t Next(TStep step);
  /// Takes one byte and ends decoding with `status`.
  std::size_t Fail(TChunkedStatus status);

  std::int64_t max_size_;
  TSink sink_;
  TChunkedStatus status_ = TChunkedStatus::NeedMore;
  TStep step_ = TStep::SizeFirst;
  std::int64_t chunk_left_ = 0;  ///< chunk size while reading it, then bytes still to come
  std::int64_t decoded_ = 0;
  std::size_t line_length_ = 0;
};

}  // namespace korvi
