// HTTP text utilities: URL coding, field splitting, HTTP dates and path
// delimiter conversion. Nothing here keeps state.
#include "korvi/web/http_text.h"

#include <cctype>
#include <vector>

#include "korvi/host/exceptions.h"
#include "korvi/host/string_list.h"
#include "korvi/host/sysutils.h"

namespace korvi {

TCharSet::TCharSet(std::initializer_list<char> chars) {
  for (char c : chars)
    Include(c);
}

namespace {

bool IsHexDigit(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return (std::toupper(static_cast<unsigned char>(c)) - 'A') + 10;
}

// The byte of the escape whose "%" stands at `percent`. Its two characters
// are read as the hex number "$xy"; a bad or missing character raises the
// conversion error the integer conversion gives for that text.
char DecodeEscape(std::string_view text, std::size_t percent) {
  std::string_view digits = text.substr(percent + 1, 2);
  if (digits.size() < 2 || !IsHexDigit(digits[0]) || !IsHexDigit(digits[1])) {
    throw EConvertError(Format("'%s' is not a valid integer value", {"$" + std::string(digits)}));
  }
  return static_cast<char>(HexValue(digits[0]) * 16 + HexValue(digits[1]));
}

bool PassesUnencoded(char c) {
  if (std::isalnum(static_cast<unsigned char>(c)) != 0) return true;
  switch (c) {
    case '!':
    case '$':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '-':
    case '.':
    case '@':
    case '_':
      return true;
    default:
      return false;
  }
}

// Writes "%XX" for `c` at `out` of `result` (sized for it); returns the
// position after it.
std::size_t WriteEscape(std::string& result, std::size_t out, char c) {
  static const char kHex[] = "0123456789ABCDEF";
  const auto byte = static_cast<unsigned char>(c);
  result[out++] = '%';
  result[out++] = kHex[byte >> 4];
  result[out++] = kHex[byte & 0x0F];
  return out;
}

// Copies `text` with every `from` replaced by `to`.
std::string ReplaceChar(std::string_view text, char from, char to) {
  std::string result(text);
  for (char& c : result) {
    if (c == from) c = to;
  }
  return result;
}

// One token of an HTTP date: a word, a digit run or a single other character.
struct DateToken {
  enum Kind { kWord, kNumber, kOther, kEnd } kind;
  std::string text;
};

bool IsWordStart(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) != 0 || c == '_';
}
bool IsWordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

std::vector<DateToken> TokenizeDate(std::string_view text) {
  std::vector<DateToken> tokens;
  std::size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (static_cast<unsigned char>(c) <= ' ') {
      ++i;
      continue;
    }
    std::size_t start = i++;
    DateToken::Kind kind = DateToken::kOther;
    if (IsWordStart(c)) {
      kind = DateToken::kWord;
      while (i < text.size() && IsWordChar(text[i]))
        ++i;
    } else if (IsDigit(c)) {
      kind = DateToken::kNumber;
      while (i < text.size() && IsDigit(text[i]))
        ++i;
    }
    tokens.push_back({kind, std::string(text.substr(start, i - start))});
  }
  return tokens;
}

// Walks the tokens of a date text; past the end it stands on an end token.
class DateCursor {
 public:
  explicit DateCursor(std::string_view text) : tokens_(TokenizeDate(text)) {}
  const DateToken& Current() const { return pos_ < tokens_.size() ? tokens_[pos_] : end_; }
  void Next() {
    if (pos_ < tokens_.size()) ++pos_;
  }
  // Moves past the current token when it is the single character `c`.
  void Skip(char c) {
    if (Current().kind == DateToken::kOther && Current().text[0] == c) Next();
  }
  // The current token as a number (the integer conversion raises otherwise).
  int Number() const { return StrToInt(Current().text); }
  // The number of the month named by the current word, 13 when it names none.
  int Month() const {
    if (Current().kind == DateToken::kWord) {
      for (int m = 0; m < 12; ++m) {
        if (SameText(Current().text, ShortMonthNames[m])) return m + 1;
      }
    }
    return 13;
  }

 private:
  std::vector<DateToken> tokens_;
  std::size_t pos_ = 0;
  DateToken end_{DateToken::kEnd, ""};
};

// Hour, minute and second from "hh:mm:ss", leaving the cursor after them.
TDateTime ReadTime(DateCursor& cursor) {
  int hour = cursor.Number();
  cursor.Next();
  cursor.Skip(':');
  int minute = cursor.Number();
  cursor.Next();
  cursor.Skip(':');
  int second = cursor.Number();
  cursor.Next();
  return EncodeTime(hour, minute, second, 0);
}

}  // namespace

std::string HTTPDecode(std::string_view text) {
  std::string result(text.size(), '\0');
  std::size_t out = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      result[out++] = ' ';
    } else if (c != '%') {
      result[out++] = c;
    } else if (i + 1 < text.size() && text[i + 1] == '%') {
      result[out++] = '%';
      ++i;
    } else {
      result[out++] = DecodeEscape(text, i);
      i += 2;
    }
  }
  result.resize(out);
  return result;
}

std::string HTTPEncode(std::string_view text) {
  std::string result(text.size() * 3, '\0');
  std::size_t out = 0;
  for (char c : text) {
    if (PassesUnencoded(c)) {
      result[out++] = c;
    } else if (c == ' ') {
      result[out++] = '+';
    } else {
      out = WriteEscape(result, out, c);
    }
  }
  result.resize(out);
  return result;
}

std::string HTTPEncodePath(std::string_view path) {
  std::string result(path.size() * 3, '\0');
  std::size_t out = 0;
  for (char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= ' ' || byte >= 0x7F || c == '%' || c == '#' || c == '?' || c == '+') {
      out = WriteEscape(result, out, c);
    } else {
      result[out++] = c;
    }
  }
  result.resize(out);
  return result;
}

std::string HeaderSafe(std::string_view value) {
  std::string text(value);
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

std::string HeaderLinesOf(const TStringList& headers, std::string_view left_out) {
  std::string lines;
  for (int i = 0; i < headers.Count(); ++i) {
    const std::string name = headers.Names(i);
    if (!left_out.empty() && SameText(name, left_out)) continue;
    lines += HeaderSafe(name) + ": " + HeaderSafe(headers.Values(name)) + "\r\n";
  }
  return lines;
}

std::string HTMLEscape(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        result += "&amp;";
        break;
      case '<':
        result += "&lt;";
        break;
      case '>':
        result += "&gt;";
        break;
      case '"':
        result += "&quot;";
        break;
      default:
        result += c;
    }
  }
  return result;
}

TDateTime ParseDate(std::string_view text) {
  DateCursor cursor(text);
  // Step over the day name and its punctuation ("Sun, " or "x: Sun ").
  cursor.Next();
  cursor.Skip(':');
  cursor.Next();
  cursor.Skip(',');

  int year = 0;
  int month = cursor.Month();
  int day = 0;
  TDateTime time = 0.0;
  if (month != 13) {
    // Month first: "Nov 6 08:49:37 1994".
    cursor.Next();
    day = cursor.Number();
    cursor.Next();
    time = ReadTime(cursor);
    year = cursor.Number();
  } else {
    // Day first: "06 Nov 1994 08:49:37" or "06-Nov-94 08:49:37".
    day = cursor.Number();
    cursor.Next();
    cursor.Skip('-');
    month = cursor.Month();
    cursor.Next();
    cursor.Skip('-');
    year = cursor.Number();
    if (year < 100) year += 1900;
    cursor.Next();
    time = ReadTime(cursor);
  }
  return EncodeDate(year, month, day) + time;
}

void ExtractHeaderFields(const TCharSet& separators, const TCharSet& blanks,
                         std::string_view content, TStringList& fields, bool decode) {
  const std::size_t n = content.size();
  std::size_t i = 0;
  while (i < n) {
    while (i < n && (blanks.Contains(content[i]) || content[i] == '\r' || content[i] == '\n')) {
      ++i;
    }
    if (i >= n) break;
    std::string_view field;
    char first = content[i];
    if (first == '"' || first == '\'') {
      // A quoted field runs to the same quote (or to the end of the text);
      // whatever follows the closing quote is read as a field of its own.
      std::size_t close = content.find(first, i + 1);
      std::size_t end = close == std::string_view::npos ? n : close;
      field = content.substr(i + 1, end - (i + 1));
      i = end + 1;
    } else {
      std::size_t start = i;
      while (i < n && !separators.Contains(content[i]) && content[i] != '\r' &&
             content[i] != '\n') {
        ++i;
      }
      field = content.substr(start, i - start);
      ++i;
    }
    if (!field.empty()) fields.Add(decode ? HTTPDecode(field) : std::string(field));
  }
}

void ExtractHTTPFields(const TCharSet& separators, const TCharSet& blanks, std::string_view content,
                       TStringList& fields) {
  ExtractHeaderFields(separators, blanks, content, fields, true);
}

std::string UnixPathToDosPath(std::string_view path) {
  return ReplaceChar(path, '/', '\\');
}

std::string DosPathToUnixPath(std::string_view path) {
  return ReplaceChar(path, '\\', '/');
}

}  // namespace korvi
