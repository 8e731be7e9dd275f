// Token and field value characters, whitespace trimming, comma lists and hex digits.
#include "korvi/web/http_grammar.h"

namespace korvi {

namespace {

bool IsOws(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsToken(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!IsTokenChar(c)) return false;
  }
  return true;
}

bool IsFieldValueChar(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return c == '\t' || (byte >= 0x20 && byte != 0x7F);
}

std::string_view TrimOws(std::string_view text) {
  while (!text.empty() && IsOws(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && IsOws(text.back()))
    text.remove_suffix(1);
  return text;
}

std::vector<std::string_view> SplitHeaderList(std::string_view value) {
  std::vector<std::string_view> elements;
  while (true) {
    const std::size_t comma = value.find(',');
    std::string_view element = TrimOws(value.substr(0, comma));
    if (!element.empty()) elements.push_back(element);
    if (comma == std::string_view::npos) return elements;
    value.remove_prefix(comma + 1);
  }
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace korvi
