/// \file
/// HTTP/1.1 dates. Answers carry the IMF-fixdate form, always in GMT; a
/// request's If-Modified-Since or If-Range may carry any of the three forms
/// HTTP/1.1 accepts. Moments are whole seconds since the Unix epoch (UTC),
/// the unit of file modification times. Stateless; safe on any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvi {

/// The moment `unix_seconds` as IMF-fixdate: "Wed, 09 Dec 2026 14:54:54 GMT".
std::string FormatHttpDate(std::int64_t unix_seconds);

/// Reads an HTTP date in one of its three forms, exactly as written (names
/// and "GMT" are case-sensitive, single blanks):
///   IMF-fixdate  "Sun, 06 Nov 1994 08:49:37 GMT"
///   RFC 850      "Sunday, 06-Nov-94 08:49:37 GMT"  (two-digit years 70 to 99
///                are 19xx, 00 to 69 are 20xx)
///   asctime      "Sun Nov  6 08:49:37 1994"
/// Blanks around the text are ignored; the day name is not checked against
/// the date. Returns the moment, or nothing for any other text and for dates
/// that do not exist (31 April, 29 February of a common year, hour 24).
std::optional<std::int64_t> ParseHttpDate(std::string_view text);

}  // namespace korvi
