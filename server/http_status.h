// HTTP status texts: the status-line form ("404 Not Found") that the server
// writes, and the bare reason phrase ("Not Found").
#pragma once

#include <string>

namespace korvi {

// The code, a blank and its reason as written in status lines; empty for a
// code the table does not hold (203 and 402 among them).
std::string GetHTTPStatus(int code);
// The reason phrase alone; empty for an unknown code.
std::string StatusString(int code);

}  // namespace korvi
