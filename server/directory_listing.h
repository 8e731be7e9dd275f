// The HTML listing of a directory, written into the outgoing text of a
// built-in answer as a complete answer: the status line "HTTP/1.0 200 OK"
// with the "Server", "Date" and "Content-type: text/html; charset=utf-8"
// headers, the empty line, then the page. Links are percent-encoded
// (HTTPEncodePath) so that every entry is reached through its own link;
// names and links are HTML-escaped; hidden entries are left out.
#pragma once

#include <optional>
#include <string>

namespace korvi {

class TOutputText;
struct TSearchRec;

// How names appear in a listing: file rows lower-cased whole, links
// included (the case-insensitive resolution still finds the files), or as
// the file system stores them.
enum class TListingCase { Lower, AsStored };

// Opening of the listing page.
extern const char* const ListingPageOpen;

// Writes the answer listing `directory` (a path ending in "/") for the request
// path `url`, showing the entries that match `mask` ("*.*" when empty) and
// ending with `product_line` as WritePageFooter (error_page.h) does. With a
// `links_within` directory, an entry whose real path (symbolic links
// resolved) leaves that directory is left out.
void WriteDirectoryListing(TOutputText& out, const std::string& directory, const std::string& url,
                           const std::string& mask,
                           const std::optional<std::string>& product_line = std::nullopt,
                           const std::string& links_within = {},
                           TListingCase name_case = TListingCase::Lower);
// Writes the table row of one entry under `base_url` (ending in "/"); false
// (and nothing written) for ".", ".." and hidden entries.
bool WriteListingRow(TOutputText& out, const TSearchRec& entry, const std::string& base_url,
                     TListingCase name_case = TListingCase::Lower);

}  // namespace korvi
