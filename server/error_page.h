// The HTML error page of a built-in answer. Its status line carries the
// error's own code and status text ("HTTP/1.0 404 Not Found"); the page
// names the error again for people.
//
// Error pages and listings end with the product line under a rule. The
// server's ProductLine replaces it (HTML, written as it is) or, when empty,
// drops it with its rule; without one each page keeps its own line.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvi {

class TOutputText;

// Opening of the error page.
extern const char* const ErrorPageOpen;
// Web address of the product, shown at the foot of listings and error pages.
extern const char* const KorviProductAddress;

// Text := "ERROR : " + the status text of `code` (from the HTTP/1.1 table
// when `http11`).
void SendHTTPError(int code, std::string& text, bool http11 = false);
// Writes the foot of a listing or an error page: "<HR WIDTH=\"100%\">" and
// the product line, then "</BODY>". The product line is `product_line` when
// given (an empty one writes neither it nor the rule), else `own_line` + " ("
// + KorviProductAddress + ")".
void WritePageFooter(TOutputText& out, std::string_view own_line,
                     const std::optional<std::string>& product_line);
// Writes the complete error answer for `code`: the status line of `code`
// (of 500 when the status table has no text for it), "Server" and "Date"
// headers ("Allow: GET, HEAD" too for 405), the empty line and the page,
// ending with `product_line` as WritePageFooter does.
void WriteErrorPage(TOutputText& out, int code,
                    const std::optional<std::string>& product_line = std::nullopt);

}  // namespace korvi
