// The outgoing text of a built-in answer and its header writers.
#include "korvi/server/output_text.h"

#include <cstring>
#include <ctime>

#include "korvi/host/datetime.h"
#include "korvi/host/exceptions.h"
#include "korvi/server/http_status.h"
#include "korvi/web/http_date.h"
#include "korvi/web/http_text.h"

namespace korvi {

namespace {

// The text starts with room for one chunk and its terminator and grows
// past it in steps of whole chunks.
constexpr int kChunk = 8192;

// Central Standard Time is six hours behind UTC.
constexpr std::int64_t kCstOffsetSeconds = -6 * 3600;

std::int64_t SystemClock() {
  return static_cast<std::int64_t>(std::time(nullptr));
}

}  // namespace

std::string FormatHeaderDate(std::int64_t unix_seconds) {
  // "nn" is the minutes specifier; the written text is the same as the
  // classic "hh:mm:ss" form.
  return FormatDateTime("ddd, d mmm yyyy hh:nn:ss \"CST\"",
                        UnixToDateTime(unix_seconds + kCstOffsetSeconds));
}

// The room is made at the first write, by the thread that writes (a worker
// is created on the accepting thread, and an exchange made afresh for each
// request may never write), and is left unwritten: only written bytes are
// ever read.
TOutputText::TOutputText() : clock_(SystemClock) {}

int TOutputText::WriteString(std::string_view text) {
  const int length = static_cast<int>(text.size());
  size_t needed = kChunk + 1;
  if (out_length_ + length > kChunk)
    needed = static_cast<size_t>(out_length_) + 1 + kChunk * (length / kChunk + 1);
  if (needed > capacity_) {
    auto grown = std::make_unique_for_overwrite<char[]>(needed);
    if (out_length_ > 0) std::memcpy(grown.get(), buffer_.get(), static_cast<size_t>(out_length_));
    buffer_ = std::move(grown);
    capacity_ = needed;
  }
  if (length > 0) std::memcpy(buffer_.get() + out_length_, text.data(), text.size());
  out_length_ += length;
  return kChunk - out_length_;
}

void TOutputText::WriteStatuss(std::string_view status_text) {
  WriteString(http11_ ? "HTTP/1.1 " : "HTTP/1.0 ");
  WriteString(status_text);
  WriteString("\r\n");
  if (!local_host_name_.empty()) WriteHeaders("Server", local_host_name_);
  WriteHeaders("Date", DateText(clock_()));
}

void TOutputText::WriteStatus(int code) {
  written_status_ = code;
  WriteStatuss(GetHTTPStatus(code, http11_));
}

std::string TOutputText::DateText(std::int64_t unix_seconds) const {
  return http11_ ? FormatHttpDate(unix_seconds) : FormatHeaderDate(unix_seconds);
}

int TOutputText::BodyOffset() const {
  const std::string_view text(Data(), static_cast<size_t>(out_length_));
  const size_t end = text.find("\r\n\r\n");
  return end == std::string_view::npos ? -1 : static_cast<int>(end + 4);
}

void TOutputText::InsertHeaderLines(std::string_view lines) {
  const int body = BodyOffset();
  if (body < 0 || lines.empty()) return;
  const std::string rest(buffer_.get() + body - 2, static_cast<size_t>(out_length_ - body + 2));
  out_length_ = body - 2;
  WriteString(lines);
  WriteString(rest);
}

void TOutputText::TakeRoom(TOutputText& used) {
  if (!used.buffer_ || used.capacity_ != kChunk + 1) return;
  buffer_ = std::move(used.buffer_);
  capacity_ = used.capacity_;
  used.capacity_ = 0;
  used.out_length_ = 0;
}

void TOutputText::DropBody() {
  const int body = BodyOffset();
  if (body >= 0) out_length_ = body;
}

void TOutputText::WriteHeaders(std::string_view name, std::string_view value) {
  if (name == "Content-Length") has_content_length_ = true;
  WriteString(name);
  WriteString(": ");
  WriteString(value);
  WriteString("\r\n");
}

void TOutputText::WriteHeader(std::string_view name, std::int64_t value) {
  WriteHeaders(name, Format("%d", {value}));
}

void TOutputText::WriteFileType(std::string_view type) {
  if (!type.empty()) WriteHeaders("Content-type", type);
}

void TOutputText::WriteFileHeaders(std::string_view type, std::int64_t size,
                                   std::int64_t last_write, int status, const TStringList* extra) {
  WriteStatus(status);
  WriteFileType(type);
  WriteHeader("Content-Length", size);
  WriteHeaders("Last-Modified", DateText(last_write));
  if (extra != nullptr) WriteString(HeaderLinesOf(*extra));
  WriteString("\r\n");
}

}  // namespace korvi
