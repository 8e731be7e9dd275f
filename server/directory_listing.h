// The HTML listing of a directory, written into the outgoing text of a
// built-in answer as a complete answer: the status line "HTTP/1.0 200 OK"
// with the "Server" and "Date" headers, the empty line, then the page.
// Names and links are HTML-escaped; hidden entries are left out.
#pragma once

#include <string>

namespace korvi {

class TOutputText;
struct TSearchRec;

// Opening of the listing page.
extern const char* const ListingPageOpen;

// Writes the answer listing `directory` (a path ending in "/") for the request
// path `url`, showing the entries that match `mask` ("*.*" when empty).
void WriteDirectoryListing(TOutputText& out, const std::string& directory, const std::string& url,
                           const std::string& mask);
// Writes the table row of one entry under `base_url` (ending in "/"); false
// (and nothing written) for ".", ".." and hidden entries.
bool WriteListingRow(TOutputText& out, const TSearchRec& entry, const std::string& base_url);
// `text` with &, <, > and " written as HTML entities.
std::string HTMLEscape(const std::string& text);

}  // namespace korvi
