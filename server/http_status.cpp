// The status tables. The status-line table leaves out 203 and 402 and keeps
// its own spelling of the 503 reason, which is what goes on the wire. The
// codes that HTTP/1.1 added are known only to the HTTP/1.1 profile, so an
// HTTP/1.0 answer keeps the table it always had.
#include "korvi/server/http_status.h"

#include <string_view>

namespace korvi {

namespace {

struct StatusEntry {
  int code;
  std::string_view line_reason;  // reason in status lines; empty: no entry
  std::string_view reason;
  bool http11_only = false;  // a code HTTP/1.1 added
};

constexpr StatusEntry kStatusTable[] = {
    {100, "Continue", "Continue"},
    {101, "Switching Protocols", "Switching Protocols"},
    {200, "OK", "OK"},
    {201, "Created", "Created"},
    {202, "Accepted", "Accepted"},
    {203, "", "Non-Authoritative Information"},
    {204, "No Content", "No Content"},
    {205, "Reset Content", "Reset Content"},
    {206, "Partial Content", "Partial Content"},
    {300, "Multiple Choices", "Multiple Choices"},
    {301, "Moved Permanently", "Moved Permanently"},
    {302, "Moved Temporarily", "Moved Temporarily"},
    {303, "See Other", "See Other"},
    {304, "Not Modified", "Not Modified"},
    {305, "Use Proxy", "Use Proxy"},
    {400, "Bad Request", "Bad Request"},
    {401, "Unauthorized", "Unauthorized"},
    {402, "", "Payment Required"},
    {403, "Forbidden", "Forbidden"},
    {404, "Not Found", "Not Found"},
    {405, "Method Not Allowed", "Method Not Allowed"},
    {406, "None Acceptable", "None Acceptable"},
    {407, "Proxy Authentication Required", "Proxy Authentication Required"},
    {408, "Request Timeout", "Request Timeout"},
    {409, "Conflict", "Conflict"},
    {410, "Gone", "Gone"},
    {411, "Length Required", "Length Required"},
    {412, "Unless True", "Unless True"},
    {416, "Range Not Satisfiable", "Range Not Satisfiable", true},
    {500, "Internal Server Error", "Internal Server Error"},
    {501, "Not Implemented", "Not Implemented"},
    {502, "Bad Gateway", "Bad Gateway"},
    {503, "Service Unvailable", "Service Unavailable"},
    {504, "Gateway Timeout", "Gateway Timeout"},
    {505, "HTTP Version Not Supported", "HTTP Version Not Supported", true},
};

const StatusEntry* FindStatus(int code, bool http11) {
  for (const StatusEntry& entry : kStatusTable) {
    if (entry.code == code && (http11 || !entry.http11_only)) return &entry;
  }
  return nullptr;
}

}  // namespace

std::string GetHTTPStatus(int code, bool http11) {
  const StatusEntry* entry = FindStatus(code, http11);
  if (entry == nullptr || entry->line_reason.empty()) return {};
  return std::to_string(code) + " " + std::string(entry->line_reason);
}

std::string StatusString(int code, bool http11) {
  const StatusEntry* entry = FindStatus(code, http11);
  return entry == nullptr ? std::string() : std::string(entry->reason);
}

}  // namespace korvi
