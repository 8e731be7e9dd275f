/// \file
/// Pieces of the HTTP/1.1 message grammar shared by the request checks, the
/// chunked body decoder and the header value readers: token characters,
/// field value characters, optional whitespace, comma lists and hex digits. Stateless.
#pragma once

#include <string_view>
#include <vector>

namespace korvi {

/// True for the characters a token may hold: letters, digits and
/// !\#$%&'*+-.^_\`|~
bool IsTokenChar(char c);
/// True when `text` is a non-empty token.
bool IsToken(std::string_view text);
/// True for the characters a header field value may hold: tab, blank,
/// visible characters and bytes of 128 and above (no other control
/// character, no DEL).
bool IsFieldValueChar(char c);
/// `text` without the blanks and tabs at either end.
std::string_view TrimOws(std::string_view text);
/// The elements of a comma-separated header value, trimmed, empty elements
/// left out ("a, ,b" gives "a" and "b").
std::vector<std::string_view> SplitHeaderList(std::string_view value);
/// The value of a hex digit (either case), -1 for any other character.
int HexDigitValue(char c);

}  // namespace korvi
