// Multipart form bodies: splitting a body into its parts (text, byte range
// and file name per part name) and copying one part's bytes out of it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace korvi {

class TMemoryStream;
class TStream;
class TStringList;

// Parses `body`, whose first line is the delimiter, appending per part
// name=text to `form_fields`, name=start,end (byte offsets into `body`,
// end exclusive) to `file_ranges` and name=file name to `file_names`.
void ParseMultiPartForm(std::string_view body, TStringList& form_fields, TStringList& file_ranges,
                        TStringList& file_names);
// Reads a `file_ranges` value ("start,end") into `start` and `end`; false
// when it is not two numbers or the range lies outside a body of
// `body_size` bytes.
bool FormPartRange(const std::string& range, std::int64_t body_size, std::int64_t& start,
                   std::int64_t& end);
// A new stream holding the bytes of `body` in `range` ("start,end"), left
// positioned at its end; nullptr when the range is not two numbers or lies
// outside the body.
std::unique_ptr<TMemoryStream> CopyFormPart(TStream& body, const std::string& range);

}  // namespace korvi
