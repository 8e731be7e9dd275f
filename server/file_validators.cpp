// Entity tags and the If-None-Match, If-Modified-Since and If-Range checks.
#include "korvi/server/file_validators.h"

#include "korvi/host/sysutils.h"
#include "korvi/web/http_date.h"
#include "korvi/web/http_grammar.h"

namespace korvi {

namespace {

// True when the If-None-Match value `list` is "*" or holds `etag`, weak
// tags compared by their quoted part. A list that breaks off in a malformed
// element matches nothing from there on.
bool ListHoldsTag(std::string_view list, std::string_view etag) {
  list = TrimOws(list);
  if (list == "*") return true;
  while (true) {
    while (!list.empty() && (list.front() == ',' || list.front() == ' ' || list.front() == '\t'))
      list.remove_prefix(1);
    if (list.starts_with("W/")) list.remove_prefix(2);
    if (!list.starts_with('"')) return false;
    const std::size_t close = list.find('"', 1);
    if (close == std::string_view::npos) return false;
    if (list.substr(0, close + 1) == etag) return true;
    list = TrimOws(list.substr(close + 1));
    if (!list.starts_with(',')) return false;
  }
}

}  // namespace

std::string FileETag(std::int64_t size, std::int64_t last_write) {
  return "\"" + IntToHex(size, 1) + "-" + IntToHex(last_write, 1) + "\"";
}

bool IsNotModified(std::string_view if_none_match, std::string_view if_modified_since,
                   std::string_view etag, std::int64_t last_write) {
  if (!TrimOws(if_none_match).empty()) return ListHoldsTag(if_none_match, etag);
  const std::optional<std::int64_t> since = ParseHttpDate(if_modified_since);
  return since.has_value() && last_write <= *since;
}

bool IfRangeHolds(std::string_view if_range, std::string_view etag, std::int64_t last_write) {
  if_range = TrimOws(if_range);
  if (if_range.empty()) return true;
  if (if_range.starts_with('"') || if_range.starts_with("W/")) return if_range == etag;
  return ParseHttpDate(if_range) == last_write;
}

}  // namespace korvi
