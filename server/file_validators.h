/// \file
/// Validators of a file answer: the file's entity tag, and the conditional
/// request headers that turn a GET or HEAD of the file into
/// "304 Not Modified" or decide whether its "Range" is honoured.
///
/// Header values are passed as received, empty when the request has none.
/// Modification times are whole seconds since the Unix epoch.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace korvi {

/// The strong entity tag of a file of `size` bytes last written at
/// `last_write`: both in hex, quoted: "\"1F4-5F3E2A10\"".
std::string FileETag(std::int64_t size, std::int64_t last_write);

/// True when the client's copy of the file whose tag is `etag` (as FileETag
/// writes it) and modification time `last_write` is current.
/// An "If-None-Match" value decides alone when present: "*", or a tag of its
/// list equal to `etag` with any W/ ignored. Otherwise an
/// "If-Modified-Since" date not older than `last_write` gives true; a value
/// that is no HTTP date is ignored.
bool IsNotModified(std::string_view if_none_match, std::string_view if_modified_since,
                   std::string_view etag, std::int64_t last_write);

/// True when a "Range" may be honoured under the "If-Range" value
/// `if_range`: always without one; for an entity tag when it is `etag`
/// itself (a weak tag never is); for a date when it is `last_write` to the
/// second. Any other value is false, and the whole file is sent.
bool IfRangeHolds(std::string_view if_range, std::string_view etag, std::int64_t last_write);

}  // namespace korvi
