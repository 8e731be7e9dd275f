// The HTML error page of a built-in answer. It always goes out with the
// status line "HTTP/1.0 200 OK"; the page names the actual error.
#pragma once

#include <string>

namespace korvi {

class TOutputText;

// Opening of the error page.
extern const char* const ErrorPageOpen;
// Web address of the product, shown at the foot of listings and error pages.
extern const char* const KorviProductAddress;

// Text := "ERROR : " + the status text of `code`.
void SendHTTPError(int code, std::string& text);
// Writes `text`, then " (" + KorviProductAddress + ")</BODY>": the foot of
// listings and error pages.
void WritePageFooter(TOutputText& out, const char* text);
// Writes the complete error answer for `code`: status line, "Server" and
// "Date" headers, the empty line and the page.
void WriteErrorPage(TOutputText& out, int code);

}  // namespace korvi
