/// \file
/// Strict syntax checks of an HTTP/1.1 request, as pure functions over its
/// request line and its header lines as received (each without its CRLF).
/// Each returns the status code to answer: 0 when the request may be served,
/// 400 for a malformed request, 505 for an HTTP major version other than 1,
/// 501 for a transfer coding other than chunked.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace korvi {

/// Checks "METHOD SP target SP HTTP/x.y": a token method, a target without
/// blanks or control characters, and a version of that exact form (400
/// otherwise, also when the version is missing); a major version other than
/// 1 gives 505.
int CheckRequestLine(std::string_view request_line);

/// Checks the header lines: no line may start with a blank or tab (folded
/// lines are refused); each is a token name, ":" and a value without control
/// characters other than tab (a CR left in a line is one). At most one Host,
/// and exactly one when `host_required`. Content-Length values (also repeated
/// in a list or on several lines) must be one decimal number; Transfer-Encoding
/// may not come with Content-Length and must end with "chunked" (400
/// otherwise); a coding besides "chunked" gives 501.
int CheckHeaderLines(std::span<const std::string> header_lines, bool host_required);

/// CheckRequestLine, then CheckHeaderLines, with Host required for HTTP/1.1
/// and later minor versions; the first status that is not 0.
int CheckRequestSyntax(std::string_view request_line, std::span<const std::string> header_lines);

}  // namespace korvi
