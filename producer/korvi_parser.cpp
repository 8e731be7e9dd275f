// TKorviParser: the whole-lines buffer with its zero sentinel, token
// recognition by byte class, and the copy-or-skip readers.
//
// The buffer holds the bytes read so far up to fill_end_. Scanning stops at
// the sentinel, a zero written at source_end_ over the first byte not yet to
// be scanned (saved in save_char_); when the buffer is full, source_end_ is
// placed after the last line feed so that only whole lines are scanned and
// the tail waits for the next refill.
#include "korvi/producer/korvi_parser.h"

#include <cstring>

#include "korvi/host/streams.h"
#include "korvi/host/sysutils.h"

namespace korvi {

namespace {

bool IsIdentStart(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

bool IsIdentChar(char c) {
  return IsIdentStart(c) || (c >= '0' && c <= '9');
}

// Blanks are the bytes 1 to 32; zero is the sentinel.
bool IsBlank(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 1 && byte <= 32;
}

}  // namespace

TKorviParser::TKorviParser(TStream& input, TStream* output)
    : input_(input), output_(output), buffer_(new char[kBufferSize]) {
  buffer_[0] = 0;
  SkipToken(true);
}

TKorviParser::~TKorviParser() {
  try {
    input_.Seek(-static_cast<std::int64_t>(fill_end_ - token_start_), TSeekOrigin::soCurrent);
  } catch (const std::exception&) {
    // A stream that cannot seek keeps its position; a destructor cannot report it.
  }
}

void TKorviParser::ReadBuffer() {
  origin_ += static_cast<std::int64_t>(source_);
  buffer_[source_end_] = save_char_;
  const std::size_t kept = fill_end_ - source_;
  if (kept != 0) std::memmove(buffer_.get(), buffer_.get() + source_, kept);
  fill_end_ = kept;
  fill_end_ += static_cast<std::size_t>(
      input_.Read(buffer_.get() + fill_end_, static_cast<std::int64_t>(kBufferSize - fill_end_)));
  source_ = 0;
  token_start_ = 0;
  source_end_ = fill_end_;
  if (source_end_ == kBufferSize) {
    // Only whole lines are scanned: look for the last line feed, leaving out
    // the first and the last byte.
    std::size_t i = kBufferSize - 2;
    while (i >= 1 && buffer_[i] != '\n')
      --i;
    if (i == 0) {
      // Nothing scannable is left; the sentinel at the start keeps any later
      // call inside the buffer.
      source_end_ = 0;
      save_char_ = buffer_[0];
      buffer_[0] = 0;
      Error("Error: line to long");
    }
    source_end_ = i + 1;
  }
  save_char_ = buffer_[source_end_];
  buffer_[source_end_] = 0;
}

void TKorviParser::WriteOut(std::size_t from, std::size_t to) {
  if (output_ != nullptr && to > from) {
    output_->WriteBuffer(buffer_.get() + from, static_cast<std::int64_t>(to - from));
  }
}

void TKorviParser::UpdateOutStream(std::size_t from) {
  WriteOut(from, source_);
}

void TKorviParser::SkipBlanks(bool copy_blanks) {
  SkipBlanksInto(copy_blanks, nullptr);
}

void TKorviParser::SkipBlanksInto(bool copy_blanks, std::string* collected) {
  std::size_t start = source_;
  // Hands the blanks pending since `start` to the output and the collector.
  auto flush = [&] {
    if (copy_blanks) WriteOut(start, source_);
    if (collected != nullptr) collected->append(buffer_.get() + start, source_ - start);
  };
  for (;;) {
    const char c = buffer_[source_];
    if (c == 0) {
      flush();
      ReadBuffer();
      if (buffer_[source_] == 0) return;
      start = source_;
      continue;
    }
    if (!IsBlank(c)) {
      flush();
      return;
    }
    if (c == '\n') ++source_line_;
    ++source_;
  }
}

char TKorviParser::SkipToNextToken(bool copy_blanks, bool copy_token) {
  SkipBlanks(copy_blanks);
  token_start_ = source_;
  const char c = buffer_[source_];
  if (IsIdentStart(c)) {
    ++source_;
    while (IsIdentChar(buffer_[source_]))
      ++source_;
    token_ = toSymbol;
  } else {
    token_ = c;
    if (c != 0) ++source_;
  }
  if (copy_token) CopyTokenToOutput();
  return token_;
}

std::string TKorviParser::TokenString() const {
  return std::string(buffer_.get() + token_start_, source_ - token_start_);
}

std::int32_t TKorviParser::TokenInt() const {
  return StrToInt(TokenString());
}

double TKorviParser::TokenFloat() const {
  return StrToFloat(TokenString());
}

bool TKorviParser::TokenSymbolIs(std::string_view symbol) const {
  return token_ == toSymbol && SameText(TokenString(), symbol);
}

std::string TKorviParser::TokenComponentIdent() {
  CheckToken(toSymbol);
  while (buffer_[source_] == '.') {
    ++source_;
    if (!IsIdentStart(buffer_[source_])) Error("Identifier Expected");
    ++source_;
    while (IsIdentChar(buffer_[source_]))
      ++source_;
  }
  return TokenString();
}

void TKorviParser::CheckToken(char token) {
  if (token_ == token) return;
  switch (token) {
    case toSymbol:
      Error("Identifier Expected");
    case toString:
      Error("String Expected");
    case toInteger:
    case toFloat:
      Error("Number Expected");
    default:
      ErrorFmt("''%s'' expected", {std::string(1, token)});
  }
}

void TKorviParser::CheckTokenSymbol(std::string_view symbol) {
  if (!TokenSymbolIs(symbol)) ErrorFmt("%s expected", {symbol});
}

void TKorviParser::ErrorFmt(std::string_view format, std::initializer_list<FormatArg> args) const {
  Error(Format(format, args));
}

void TKorviParser::ErrorStr(const std::string& message) const {
  throw EParserError(Format("%s on line %d", {message, source_line_}));
}

std::string TKorviParser::CopySkipToToken(char token, bool copy) {
  std::string result;
  while (token_ != token && token_ != toEOF) {
    SkipBlanksInto(copy, &result);
    SkipToNextToken(copy, copy);
    if (token_ != token) result += TokenString();
  }
  return result;
}

std::string TKorviParser::CopySkipToEOL(bool copy) {
  std::size_t stop = token_start_;
  while (buffer_[stop] != 0 && buffer_[stop] != '\n' && buffer_[stop] != '\r')
    ++stop;
  std::string result(buffer_.get() + token_start_, stop - token_start_);
  if (buffer_[stop] == '\r') ++stop;
  source_ = stop;
  if (copy) UpdateOutStream(token_start_);
  NextToken();
  return result;
}

void TKorviParser::TakeBuffered(std::int64_t limit, bool copy, std::string& result) {
  std::size_t end = source_;
  while (buffer_[end] != 0 && static_cast<std::int64_t>(end - source_) < limit) {
    if (buffer_[end] == '\n') ++source_line_;
    ++end;
  }
  result.append(buffer_.get() + source_, end - source_);
  if (copy) WriteOut(source_, end);
  source_ = end;
}

std::string TKorviParser::CopySkipTo(std::int64_t count, bool copy) {
  std::string result;
  source_ = token_start_;
  while (static_cast<std::int64_t>(result.size()) < count) {
    TakeBuffered(count - static_cast<std::int64_t>(result.size()), copy, result);
    if (static_cast<std::int64_t>(result.size()) >= count) break;
    ReadBuffer();
    if (buffer_[source_] == 0) break;
  }
  return result;
}

std::string TKorviParser::CopySkipToEOF(bool copy) {
  std::string result;
  source_ = token_start_;
  for (;;) {
    TakeBuffered(INT64_MAX, copy, result);
    ReadBuffer();
    if (buffer_[source_] == 0) break;
  }
  token_start_ = source_;
  token_ = toEOF;
  return result;
}

}  // namespace korvi
