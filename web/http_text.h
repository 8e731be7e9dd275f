/// \file
/// HTTP text utilities: URL decoding and encoding, HTML escaping, splitting
/// header values and form bodies into name=value fields, HTTP dates, and the
/// conversion between URL paths and file-system paths. Stateless; safe on
/// any thread.
#pragma once

#include <bitset>
#include <initializer_list>
#include <string>
#include <string_view>

#include "korvi/host/datetime.h"

namespace korvi {

class TStringList;

/// A set of byte characters (0 to 255).
class TCharSet {
 public:
  TCharSet() = default;
  /// The set of `chars`.
  TCharSet(std::initializer_list<char> chars);
  /// True when `c` is in the set.
  bool Contains(char c) const { return bits_.test(static_cast<unsigned char>(c)); }
  /// Adds `c` to the set.
  void Include(char c) { bits_.set(static_cast<unsigned char>(c)); }

 private:
  std::bitset<256> bits_;
};

/// Decodes "+" to a blank, "%%" to "%" and "%xx" to the byte with that hex
/// value; raises EConvertError for a bad or truncated escape.
std::string HTTPDecode(std::string_view text);
/// Encodes every byte but letters, digits and !$'()*-.\@_ as "%XX"; a blank
/// becomes "+".
std::string HTTPEncode(std::string_view text);
/// Percent-encodes ("%XX") what a URL path cannot carry as it is: blanks,
/// "%", "#", "?", "+", control bytes and bytes of 128 and above; "/" and the
/// other characters stay, so the path decodes (HTTPDecode) to `path` again.
std::string HTTPEncodePath(std::string_view path);
/// `text` with &, <, > and " written as HTML entities, for putting text into
/// a page or an attribute value.
std::string HTMLEscape(std::string_view text);
/// `value` with line breaks turned into blanks, so that no value can end its
/// header line early and smuggle in header lines of its own.
std::string HeaderSafe(std::string_view value);
/// "name: value" CR LF for every name=value line of `headers` but those named
/// `left_out` (without regard to case), names and values made HeaderSafe.
std::string HeaderLinesOf(const TStringList& headers, std::string_view left_out = {});
/// Reads an HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94
/// 08:49:37 GMT", "x: Sun Nov 6 08:49:37 1994") as written, without any zone
/// conversion; raises EConvertError on malformed text.
TDateTime ParseDate(std::string_view text);
/// Cuts `content` into fields at `separators`, CR and LF, skipping leading
/// `blanks`, and appends every non-empty field to `fields` (through
/// HTTPDecode when `decode`). A field opening with a quote runs to the same
/// quote. Decode errors are passed on; fields appended before stay.
void ExtractHeaderFields(const TCharSet& separators, const TCharSet& blanks,
                         std::string_view content, TStringList& fields, bool decode);
/// ExtractHeaderFields with decoding on.
void ExtractHTTPFields(const TCharSet& separators, const TCharSet& blanks, std::string_view content,
                       TStringList& fields);
/// `path` with every "/" turned into a backslash.
std::string UnixPathToDosPath(std::string_view path);
/// `path` with every backslash turned into "/".
std::string DosPathToUnixPath(std::string_view path);

}  // namespace korvi
