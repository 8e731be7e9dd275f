// Multipart form parsing. The body is read as lines of at most 250 bytes;
// its first line is the delimiter. Each part contributes its text (lines
// joined with CR LF), the byte range of its content and its file name.
#include "korvi/web/multipart_form.h"

#include <algorithm>

#include "korvi/host/exceptions.h"
#include "korvi/host/streams.h"
#include "korvi/host/string_list.h"
#include "korvi/host/sysutils.h"

namespace korvi {

namespace {

// Longest piece read as one line.
constexpr std::size_t kMaxLine = 250;

// Reads a body line by line: a line ends at CR LF within the next 250
// bytes; without one, those 250 bytes (or what is left) are the line.
class LineReader {
 public:
  explicit LineReader(std::string_view body) : body_(body) {}

  bool AtEnd() const { return pos_ >= body_.size(); }
  std::size_t Position() const { return pos_; }

  std::string_view ReadLine() {
    std::string_view piece = body_.substr(pos_, kMaxLine);
    std::size_t crlf = piece.find("\r\n");
    if (crlf == std::string_view::npos) {
      pos_ += piece.size();
      return piece;
    }
    pos_ += crlf + 2;
    return piece.substr(0, crlf);
  }

 private:
  std::string_view body_;
  std::size_t pos_ = 0;
};

// The value of `attribute`="..." in a part header line (the attribute name
// found without regard to case, the first occurrence winning); empty when
// absent or unterminated.
std::string HeaderAttribute(std::string_view line, std::string_view attribute) {
  std::string key = LowerCase(attribute) + "=\"";
  std::size_t at = LowerCase(line).find(key);
  if (at == std::string::npos) return {};
  std::size_t start = at + key.size();
  std::size_t close = line.find('"', start);
  if (close == std::string_view::npos) return {};
  return std::string(line.substr(start, close - start));
}

}  // namespace

void ParseMultiPartForm(std::string_view body, TStringList& form_fields, TStringList& file_ranges,
                        TStringList& file_names) {
  LineReader reader(body);
  const std::string delimiter(reader.ReadLine());
  while (!reader.AtEnd()) {
    std::string_view header = reader.ReadLine();
    std::string name = HeaderAttribute(header, "name");
    file_names.Add(name + "=" + HeaderAttribute(header, "filename"));
    // A "Content-Type" line is followed by the empty line that ends the
    // part's header; any other line is taken as that empty line.
    if (LowerCase(reader.ReadLine()).find("content-type") != std::string::npos) reader.ReadLine();

    const std::size_t start = reader.Position();
    std::string text;
    std::size_t line_start = reader.Position();
    std::string_view line = reader.ReadLine();
    while (!reader.AtEnd() && line.find(delimiter) == std::string_view::npos) {
      if (!text.empty()) text += "\r\n";
      text += line;
      line_start = reader.Position();
      line = reader.ReadLine();
    }
    // The content ends at the CR LF in front of the delimiter. The delimiter
    // is located within the stopping line, since a line cut at 250 bytes
    // may leave the line feed of that CR LF in front of it.
    std::size_t found = line.find(delimiter);
    std::size_t stop = line_start + (found == std::string_view::npos ? 0 : found);
    std::size_t end = std::max(start, stop >= 2 ? stop - 2 : 0);
    form_fields.Add(name + "=" + text);
    file_ranges.Add(Format("%s=%d,%d", {name, start, end}));
  }
}

bool FormPartRange(const std::string& range, std::int64_t body_size, std::int64_t& start,
                   std::int64_t& end) {
  std::size_t comma = range.find(',');
  if (comma == std::string::npos) return false;
  try {
    start = StrToInt64(range.substr(0, comma));
    end = StrToInt64(range.substr(comma + 1));
  } catch (const EConvertError&) {
    return false;
  }
  return start >= 0 && end <= body_size;
}

std::unique_ptr<TMemoryStream> CopyFormPart(TStream& body, const std::string& range) {
  std::int64_t start = 0;
  std::int64_t end = 0;
  if (!FormPartRange(range, body.Size(), start, end)) return nullptr;
  auto part = std::make_unique<TMemoryStream>();
  if (end > start) {
    body.SetPosition(start);
    part->CopyFrom(body, end - start);
  }
  return part;
}

}  // namespace korvi
