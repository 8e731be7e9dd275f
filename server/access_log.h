/// \file
/// The access log: one line per answered request in the Common Log Format,
/// which the usual log analysers read:
///   127.0.0.1 - - [08/Dec/2026:04:05:09 +0100] "GET /a.htm HTTP/1.0" 200 1043
/// the client's address, two fields the server does not know (identity and
/// user), the local time the answer ended with its offset from UTC, the
/// request line, the status the client received and the bytes of the body
/// that went out, the header block not counted ("-" for none). TAccessLog appends such lines to a
/// file and opens it again on request, so that the file can be rotated.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace korvi {

class TKorviThread;

/// One answered request as the access log records it.
struct TAccessEntry {
  std::string Address;      ///< the client's address
  std::string RequestLine;  ///< as received; empty when none arrived
  int Status = 0;           ///< status code the client received; 0: none
  std::int64_t Bytes = 0;   ///< bytes of the body that went out
  std::int64_t Time = 0;    ///< when the answer ended, in seconds since the Unix epoch
  int UTCOffset = 0;        ///< local time's offset from UTC then, in seconds
};

/// `text` with `"` and `\` written `\"` and `\\`, and bytes outside printable
/// ASCII `\xhh`, so that what a client sent can neither end a quoted field or
/// a line of a log nor reach a terminal as a control sequence.
std::string EscapeLogText(std::string_view text);

/// The Common Log Format line of `entry`, ending in a line feed. The request
/// line is escaped by EscapeLogText; an empty request line, a status of 0
/// and 0 bytes are written "-".
std::string FormatAccessLine(const TAccessEntry& entry);

/// The entry of the answer `thread` is sending, of which `bytes` went out
/// (header block and body, as OnResponseDone counts them), stamped with the
/// current local time.
TAccessEntry AccessEntryOf(const TKorviThread& thread, std::int64_t bytes);

/// An access log file that lines are appended to.
class TAccessLog {
 public:
  /// Opens `path` for appending, creating it when missing; raises
  /// EFOpenError when it cannot be opened.
  explicit TAccessLog(std::string path);
  /// Closes the file.
  ~TAccessLog();
  TAccessLog(const TAccessLog&) = delete;
  TAccessLog& operator=(const TAccessLog&) = delete;

  /// Appends `line` in one write, so that lines of concurrent callers never
  /// mix; opens the file again first when Reopen asked for it. When that
  /// fails, the lines go on into the file open before, and standard error
  /// says so once.
  void Write(std::string_view line);
  /// Asks for the file to be opened again by its name before the next line
  /// (after it was moved away for rotation). Safe from a signal handler.
  void Reopen() { reopen_ = true; }

 private:
  std::string path_;
  int fd_ = -1;
  std::atomic<bool> reopen_{false};
  std::mutex lock_;  ///< fd_ while it is replaced or written
};

}  // namespace korvi
