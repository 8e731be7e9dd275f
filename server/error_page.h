// The HTML error page of a built-in answer. Its status line carries the
// error's own code and status text ("HTTP/1.0 404 Not Found"); the page
// names the error again for people.
#pragma once

#include <string>

namespace korvi {

class TOutputText;

// Opening of the error page.
extern const char* const ErrorPageOpen;
// Web address of the product, shown at the foot of listings and error pages.
extern const char* const KorviProductAddress;

// Text := "ERROR : " + the status text of `code` (from the HTTP/1.1 table
// when `http11`).
void SendHTTPError(int code, std::string& text, bool http11 = false);
// Writes `text`, then " (" + KorviProductAddress + ")</BODY>": the foot of
// listings and error pages.
void WritePageFooter(TOutputText& out, const char* text);
// Writes the complete error answer for `code`: the status line of `code`
// (of 500 when the status table has no text for it), "Server" and "Date"
// headers ("Allow: GET, HEAD" too for 405), the empty line and the page.
void WriteErrorPage(TOutputText& out, int code);

}  // namespace korvi
