// Scanning an SQL text for ":name" parameter markers, stepping over quoted
// texts and comments the way SQLite's tokenizer does.
#include "data/sql_params.h"

#include "host/sysutils.h"

namespace korvi {

namespace {

bool IsNameChar(char c) {
  const auto b = static_cast<unsigned char>(c);
  return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '_' ||
         b == '$' || b >= 0x80;
}

// Position just after the first `close` at or after `from` (the end when none).
size_t After(std::string_view sql, size_t from, std::string_view close) {
  const size_t found = sql.find(close, from);
  return found == std::string_view::npos ? sql.size() : found + close.size();
}

// Position after the quoted text, comment or single character at `pos`.
size_t SkipNonName(std::string_view sql, size_t pos) {
  const char c = sql[pos];
  const char next = pos + 1 < sql.size() ? sql[pos + 1] : '\0';
  switch (c) {
    case '\'':
    case '"':
    case '`':
      // A doubled quote inside ends this run and starts the next one.
      return After(sql, pos + 1, std::string_view(&sql[pos], 1));
    case '[':
      return After(sql, pos + 1, "]");
    case '-':
      return next == '-' ? After(sql, pos + 2, "\n") : pos + 1;
    case '/':
      return next == '*' ? After(sql, pos + 2, "*/") : pos + 1;
    default:
      return pos + 1;
  }
}

}  // namespace

std::vector<std::string> ParamNamesInSQL(std::string_view sql) {
  std::vector<std::string> names;
  size_t pos = 0;
  while (pos < sql.size()) {
    if (sql[pos] != ':' || pos + 1 >= sql.size() || !IsNameChar(sql[pos + 1])) {
      pos = SkipNonName(sql, pos);
      continue;
    }
    const size_t start = ++pos;
    while (pos < sql.size() && IsNameChar(sql[pos]))
      ++pos;
    std::string name(sql.substr(start, pos - start));
    bool known = false;
    for (const std::string& seen : names)
      known = known || SameText(seen, name);
    if (!known) names.push_back(std::move(name));
  }
  return names;
}

}  // namespace korvi
