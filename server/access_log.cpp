// The access log: Common Log Format lines and the file they are appended to.
#include "korvi/server/access_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "korvi/host/application.h"
#include "korvi/host/datetime.h"
#include "korvi/host/exceptions.h"
#include "korvi/host/sysutils.h"
#include "korvi/server/korvi_thread.h"

namespace korvi {

namespace {

const char* const kHexDigits = "0123456789abcdef";

// The request line as a quoted field, escaped; "-" when there is none.
std::string QuotedRequestLine(std::string_view line) {
  return "\"" + (line.empty() ? std::string("-") : EscapeLogText(line)) + "\"";
}

// "[dd/Mon/yyyy:hh:nn:ss +hhmm]" for the moment `time` at `offset` seconds from UTC.
std::string LogDate(std::int64_t time, int offset) {
  const int minutes = std::abs(offset) / 60;
  const std::string zone =
      Format("%s%.2d%.2d", {offset < 0 ? "-" : "+", minutes / 60, minutes % 60});
  return "[" + FormatDateTime("dd/mmm/yyyy:hh:nn:ss", UnixToDateTime(time + offset)) + " " + zone +
         "]";
}

// Opens `path` for appending, creating it; -1 with errno set on failure.
int OpenForAppending(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

}  // namespace

std::string EscapeLogText(std::string_view text) {
  std::string escaped;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      escaped += '\\';
      escaped += c;
    } else if (byte < 0x20 || byte > 0x7E) {
      escaped += "\\x";
      escaped += kHexDigits[byte >> 4];
      escaped += kHexDigits[byte & 0x0F];
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::string FormatAccessLine(const TAccessEntry& entry) {
  return (entry.Address.empty() ? "-" : entry.Address) + " - - " +
         LogDate(entry.Time, entry.UTCOffset) + " " + QuotedRequestLine(entry.RequestLine) + " " +
         (entry.Status > 0 ? IntToStr(entry.Status) : "-") + " " +
         (entry.Bytes > 0 ? IntToStr(entry.Bytes) : "-") + "\n";
}

TAccessEntry AccessEntryOf(const TKorviThread& thread, std::int64_t bytes) {
  TAccessEntry entry;
  entry.Address = thread.HeaderLines.Values("remote-address");
  entry.RequestLine = thread.RequestLine();
  entry.Status = thread.ResponseStatus();
  entry.Bytes = std::max<std::int64_t>(0, bytes - thread.HeaderBlockLength());
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  entry.Time = static_cast<std::int64_t>(now);
  entry.UTCOffset = static_cast<int>(local.tm_gmtoff);
  return entry;
}

TAccessLog::TAccessLog(std::string path) : path_(std::move(path)) {
  fd_ = OpenForAppending(path_);
  if (fd_ < 0) throw EFOpenError("Cannot open file \"" + path_ + "\". " + std::strerror(errno));
}

TAccessLog::~TAccessLog() {
  ::close(fd_);
}

void TAccessLog::Write(std::string_view line) {
  std::lock_guard<std::mutex> lock(lock_);
  if (reopen_.exchange(false)) {
    const int fd = OpenForAppending(path_);
    if (fd < 0) {
      Application().MessageBox("Cannot open file \"" + path_ + "\". " + std::strerror(errno) +
                                   "; the lines go on into the file open before.",
                               "Access log");
    } else {
      ::close(fd_);
      fd_ = fd;
    }
  }
  // O_APPEND moves to the end and writes in one step, whoever else appends.
  while (::write(fd_, line.data(), line.size()) < 0 && errno == EINTR) {
  }
}

}  // namespace korvi
