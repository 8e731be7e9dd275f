// The chunked body decoder: a byte-at-a-time state machine for the lines,
// bulk copies for chunk data.
#include "korvi/web/chunked_decoder.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "korvi/web/http_grammar.h"

namespace korvi {

namespace {

// A chunk size above this would overflow on its next hex digit.
constexpr std::int64_t kLargestBeforeDigit = std::numeric_limits<std::int64_t>::max() >> 4;

}  // namespace

TChunkedDecoder::TChunkedDecoder(std::int64_t max_size, TSink sink)
    : max_size_(max_size), sink_(std::move(sink)) {}

std::size_t TChunkedDecoder::Feed(std::string_view data) {
  std::size_t used = 0;
  while (used < data.size() && status_ == TChunkedStatus::NeedMore)
    used += Take(data.substr(used));
  return used;
}

std::size_t TChunkedDecoder::Take(std::string_view data) {
  const char c = data.front();
  switch (step_) {
    case TStep::SizeFirst:
      if (HexDigitValue(c) < 0) return Fail(TChunkedStatus::Malformed);
      chunk_left_ = 0;
      line_length_ = 0;
      step_ = TStep::Size;
      return Take(data);
    case TStep::Size:
      if (HexDigitValue(c) >= 0) {
        if (chunk_left_ > kLargestBeforeDigit) return Fail(TChunkedStatus::Malformed);
        chunk_left_ = chunk_left_ * 16 + HexDigitValue(c);
        return LineByte(c);
      }
      if (c == '\r') return Next(TStep::SizeLf);
      if (c != ';' && c != ' ' && c != '\t') return Fail(TChunkedStatus::Malformed);
      step_ = TStep::Extension;
      return LineByte(c);
    case TStep::Extension:
      return c == '\r' ? Next(TStep::SizeLf) : LineByte(c);
    case TStep::SizeLf:
      if (c != '\n') return Fail(TChunkedStatus::Malformed);
      if (chunk_left_ == 0) return Next(TStep::TrailerStart);
      if (chunk_left_ > max_size_ - decoded_) return Fail(TChunkedStatus::TooLarge);
      return Next(TStep::Data);
    case TStep::Data: {
      const auto take =
          static_cast<std::size_t>(std::min(chunk_left_, static_cast<std::int64_t>(data.size())));
      sink_(data.substr(0, take));
      chunk_left_ -= static_cast<std::int64_t>(take);
      decoded_ += static_cast<std::int64_t>(take);
      if (chunk_left_ == 0) step_ = TStep::DataCr;
      return take;
    }
    case TStep::DataCr:
      return c == '\r' ? Next(TStep::DataLf) : Fail(TChunkedStatus::Malformed);
    case TStep::DataLf:
      return c == '\n' ? Next(TStep::SizeFirst) : Fail(TChunkedStatus::Malformed);
    case TStep::TrailerStart:
      if (c == '\r') return Next(TStep::FinalLf);
      line_length_ = 0;
      step_ = TStep::Trailer;
      return LineByte(c);
    case TStep::Trailer:
      return c == '\r' ? Next(TStep::TrailerLf) : LineByte(c);
    case TStep::TrailerLf:
      return c == '\n' ? Next(TStep::TrailerStart) : Fail(TChunkedStatus::Malformed);
    case TStep::FinalLf:
      if (c != '\n') return Fail(TChunkedStatus::Malformed);
      status_ = TChunkedStatus::Done;
      return 1;
  }
  return Fail(TChunkedStatus::Malformed);
}

std::size_t TChunkedDecoder::LineByte(char c) {
  if (!IsFieldValueChar(c) || ++line_length_ > ChunkedMaxLineLength)
    return Fail(TChunkedStatus::Malformed);
  return 1;
}

std::size_t TChunkedDecoder::Next(TStep step) {
  step_ = step;
  return 1;
}

std::size_t TChunkedDecoder::Fail(TChunkedStatus status) {
  status_ = status;
  return 1;
}

}  // namespace korvi
