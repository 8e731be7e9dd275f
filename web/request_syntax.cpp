// Request line and header line checks of the HTTP/1.1 grammar.
#include "korvi/web/request_syntax.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "korvi/host/sysutils.h"
#include "korvi/web/http_grammar.h"

namespace korvi {

namespace {

constexpr int kOk = 0;
constexpr int kBadRequest = 400;
constexpr int kNotImplemented = 501;
constexpr int kVersionNotSupported = 505;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The version digits of a request line.
struct Version {
  int major = 0;
  int minor = 0;
};

// Reads the version of a well-formed request line; nothing when the line
// is malformed.
std::optional<Version> ReadRequestLine(std::string_view line) {
  const std::size_t first_blank = line.find(' ');
  const std::size_t last_blank = line.rfind(' ');
  if (first_blank == std::string_view::npos || first_blank == last_blank) return std::nullopt;
  const std::string_view target = line.substr(first_blank + 1, last_blank - first_blank - 1);
  if (!IsToken(line.substr(0, first_blank)) || target.empty()) return std::nullopt;
  for (char c : target) {
    if (c == ' ' || c == '\t' || !IsFieldValueChar(c)) return std::nullopt;
  }
  const std::string_view version = line.substr(last_blank + 1);
  if (version.size() != 8 || !version.starts_with("HTTP/") || !IsDigit(version[5]) ||
      version[6] != '.' || !IsDigit(version[7])) {
    return std::nullopt;
  }
  return Version{version[5] - '0', version[7] - '0'};
}

// The number a Content-Length element states; nothing unless it is decimal
// digits alone and fits.
std::optional<std::int64_t> ReadLength(std::string_view text) {
  constexpr std::int64_t kLargest = std::numeric_limits<std::int64_t>::max();
  std::int64_t value = 0;
  for (char c : text) {
    if (!IsDigit(c) || value > (kLargest - (c - '0')) / 10) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// What the framing headers of a request say, gathered line by line.
class FramingHeaders {
 public:
  // Takes one header; false when its value already makes the request bad.
  bool Take(std::string_view name, std::string_view value) {
    if (SameText(name, "Host")) {
      ++hosts_;
    } else if (SameText(name, "Content-Length")) {
      return TakeLength(value);
    } else if (SameText(name, "Transfer-Encoding")) {
      has_codings_ = true;
      for (std::string_view coding : SplitHeaderList(value))
        codings_.push_back(TrimOws(coding.substr(0, coding.find(';'))));
    }
    return true;
  }

  // The status for the framing headers of the whole request.
  int Status(bool host_required) const {
    if (hosts_ > 1 || (host_required && hosts_ == 0)) return kBadRequest;
    if (!has_codings_) return kOk;
    if (length_.has_value() || codings_.empty() || !SameText(codings_.back(), "chunked"))
      return kBadRequest;
    return codings_.size() == 1 ? kOk : kNotImplemented;
  }

 private:
  bool TakeLength(std::string_view value) {
    const std::vector<std::string_view> elements = SplitHeaderList(value);
    if (elements.empty()) return false;
    for (std::string_view element : elements) {
      const std::optional<std::int64_t> length = ReadLength(element);
      if (!length.has_value() || (length_.has_value() && *length_ != *length)) return false;
      length_ = length;
    }
    return true;
  }

  int hosts_ = 0;
  std::optional<std::int64_t> length_;
  bool has_codings_ = false;
  std::vector<std::string_view> codings_;
};

}  // namespace

int CheckRequestLine(std::string_view request_line) {
  const std::optional<Version> version = ReadRequestLine(request_line);
  if (!version.has_value()) return kBadRequest;
  return version->major == 1 ? kOk : kVersionNotSupported;
}

int CheckHeaderLines(std::span<const std::string> header_lines, bool host_required) {
  FramingHeaders framing;
  for (const std::string& line : header_lines) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) return kBadRequest;
    const std::string_view name = std::string_view(line).substr(0, colon);
    const std::string_view value = std::string_view(line).substr(colon + 1);
    if (!IsToken(name)) return kBadRequest;
    for (char c : value) {
      if (!IsFieldValueChar(c)) return kBadRequest;
    }
    if (!framing.Take(name, TrimOws(value))) return kBadRequest;
  }
  return framing.Status(host_required);
}

int CheckRequestSyntax(std::string_view request_line, std::span<const std::string> header_lines) {
  const int line_status = CheckRequestLine(request_line);
  if (line_status != kOk) return line_status;
  const bool http11 = ReadRequestLine(request_line)->minor >= 1;
  return CheckHeaderLines(header_lines, http11);
}

}  // namespace korvi
