/// \file
/// HTTP status texts: the status-line form ("404 Not Found") that the server
/// writes, and the bare reason phrase ("Not Found").
///
/// `http11` selects the table of the HTTP/1.1 profile: the same entries plus
/// "416 Range Not Satisfiable" and "505 HTTP Version Not Supported", which
/// the HTTP/1.0 table does not hold.
#pragma once

#include <string>

namespace korvi {

/// The code, a blank and its reason as written in status lines; empty for a
/// code the table does not hold (203 and 402 among them).
std::string GetHTTPStatus(int code, bool http11 = false);
/// The reason phrase alone; empty for an unknown code.
std::string StatusString(int code, bool http11 = false);

}  // namespace korvi
