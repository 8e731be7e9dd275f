// Scanning an SQL text for ":name" parameter markers, stepping over quoted
// texts and comments the way SQLite's and PostgreSQL's tokenizers do.
#include "korvi/data/sql_params.h"

#include "korvi/host/sysutils.h"

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

// The length of the opening "$tag$" of a dollar-quoted text at `pos`, or 0
// when none starts there (a "$" inside a name, or "$1").
size_t DollarQuoteLength(std::string_view sql, size_t pos) {
  if (pos > 0 && IsNameChar(sql[pos - 1])) return 0;
  size_t end = pos + 1;
  while (end < sql.size() && sql[end] != '$' && IsNameChar(sql[end]))
    ++end;
  if (end >= sql.size() || sql[end] != '$') return 0;
  if (end > pos + 1 && sql[pos + 1] >= '0' && sql[pos + 1] <= '9') return 0;
  return end + 1 - pos;
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
    case ':':
      return next == ':' ? pos + 2 : pos + 1;
    case '$':
      if (const size_t length = DollarQuoteLength(sql, pos)) {
        return After(sql, pos + length, sql.substr(pos, length));
      }
      return pos + 1;
    default:
      return pos + 1;
  }
}

}  // namespace

std::vector<TSQLMarker> ParamMarkersInSQL(std::string_view sql) {
  std::vector<TSQLMarker> markers;
  size_t pos = 0;
  while (pos < sql.size()) {
    if (sql[pos] != ':' || pos + 1 >= sql.size() || !IsNameChar(sql[pos + 1])) {
      pos = SkipNonName(sql, pos);
      continue;
    }
    const size_t start = pos++;
    while (pos < sql.size() && IsNameChar(sql[pos]))
      ++pos;
    markers.push_back({start, std::string(sql.substr(start + 1, pos - start - 1))});
  }
  return markers;
}

std::vector<std::string> ParamNamesInSQL(std::string_view sql) {
  std::vector<std::string> names;
  for (TSQLMarker& marker : ParamMarkersInSQL(sql)) {
    bool known = false;
    for (const std::string& seen : names)
      known = known || SameText(seen, marker.name);
    if (!known) names.push_back(std::move(marker.name));
  }
  return names;
}

}  // namespace korvi
