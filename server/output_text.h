/// \file
/// TOutputText: the outgoing text of a built-in answer (status line, headers,
/// listing or error page) and the writers that put the exact wire text of the
/// status line and the header lines into it.
///
/// A worker thread owns one and transmits Data()/OutLength() when the answer
/// is complete. Nothing here touches a socket.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace korvi {

class TStringList;

/// Supplies the current moment, in seconds since the Unix epoch, for the
/// "Date" header.
using TClock = std::function<std::int64_t()>;

/// Formats the moment `unix_seconds` (seconds since the Unix epoch) as the
/// server writes dates in headers: in Central Standard Time (UTC-6), labelled
/// so, whatever the machine's zone: "Tue, 8 Dec 2026 04:05:09 CST".
std::string FormatHeaderDate(std::int64_t unix_seconds);

/// The outgoing text of a built-in answer and the writers of its lines.
class TOutputText {
 public:
  /// An empty text; the status line names no host and dates come from the
  /// system clock.
  TOutputText();

  /// Host name written as the "Server" header (none when empty).
  void SetLocalHostName(std::string name) { local_host_name_ = std::move(name); }
  /// Writes HTTP/1.1 answers: "HTTP/1.1" status lines (the status table's
  /// HTTP/1.1 entries), dates in the IMF-fixdate form in GMT.
  void SetHttp11(bool http11) { http11_ = http11; }
  /// True when it writes HTTP/1.1 answers.
  bool Http11() const { return http11_; }
  /// Clock used for the "Date" header.
  void SetClock(TClock clock) { clock_ = std::move(clock); }

  /// Appends `text`; returns 8192 - OutLength() (negative once the text has
  /// outgrown its first 8192 bytes).
  int WriteString(std::string_view text);
  /// "HTTP/1.0 " + `status_text` + CRLF, then "Server" (when the host name is
  /// known) and "Date" ("HTTP/1.1 " with SetHttp11).
  void WriteStatuss(std::string_view status_text);
  /// Records `code` as WrittenStatus() and writes its status line ("HTTP/1.0 "
  /// and CRLF alone for a code without a status text).
  void WriteStatus(int code);
  /// `name` + ": " + `value` + CRLF.
  void WriteHeaders(std::string_view name, std::string_view value);
  /// `name` + ": " + the decimal `value` + CRLF.
  void WriteHeader(std::string_view name, std::int64_t value);
  /// "Content-type: " + `type` + CRLF; nothing when `type` is empty.
  void WriteFileType(std::string_view type);
  /// The header block of a file answer: status `status`, "Content-type"
  /// (when `type` is not empty), "Content-Length" `size`, "Last-Modified"
  /// (the moment `last_write`, in seconds since the Unix epoch), a header
  /// line for every name=value line of `extra` (HeaderLinesOf, http_text.h)
  /// and the empty line.
  void WriteFileHeaders(std::string_view type, std::int64_t size, std::int64_t last_write,
                        int status = 200, const TStringList* extra = nullptr);

  /// Where the body begins: the offset after the empty line that ends the
  /// header block, -1 while there is none.
  int BodyOffset() const;
  /// A "Content-Length" header has been written.
  bool HasContentLength() const { return has_content_length_; }
  /// Inserts header `lines` (each ending in CRLF) before the empty line that
  /// ends the header block.
  void InsertHeaderLines(std::string_view lines);
  /// Cuts off everything after the header block.
  void DropBody();
  /// Takes over the room of `used`, whose text is dropped, when it has the
  /// usual size: the next answer on a kept connection then writes without
  /// making room again, and a room grown for a large answer is given back.
  void TakeRoom(TOutputText& used);

  /// Bytes written so far.
  int OutLength() const { return out_length_; }
  /// The written bytes (OutLength() of them; not zero-terminated).
  const char* Data() const { return buffer_ ? buffer_.get() : ""; }
  /// The written bytes as a string.
  std::string Text() const { return std::string(Data(), static_cast<size_t>(out_length_)); }
  /// Status code of the status line written (0 while none was).
  int WrittenStatus() const { return written_status_; }

 private:
  /// `unix_seconds` as dates are written in headers.
  std::string DateText(std::int64_t unix_seconds) const;

  /// Room for the text: capacity_ bytes, the first OutLength() of them written.
  std::unique_ptr<char[]> buffer_;
  size_t capacity_ = 0;
  int out_length_ = 0;
  int written_status_ = 0;
  bool http11_ = false;
  bool has_content_length_ = false;
  std::string local_host_name_;
  TClock clock_;
};

}  // namespace korvi
