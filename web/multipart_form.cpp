// Multipart form parsing. The body's first line is the delimiter. Each part
// has header lines up to an empty line, then its content, which ends at the
// CR LF in front of the next line that is the delimiter (or the delimiter
// followed by "--"). Each part contributes its text (its content read as
// lines of at most 250 bytes, joined with CR LF), the byte range of its
// content and its file name.
#include "korvi/web/multipart_form.h"

#include <algorithm>

#include "korvi/host/exceptions.h"
#include "korvi/host/streams.h"
#include "korvi/host/string_list.h"
#include "korvi/host/sysutils.h"

namespace korvi {

namespace {

// Longest piece of content read as one line of a part's text.
constexpr std::size_t kMaxPiece = 250;
constexpr std::string_view kDisposition = "content-disposition";

// The line of `body` starting at `pos`: the bytes up to the next CR LF, or
// to the end of the body when there is none.
std::string_view LineAt(std::string_view body, std::size_t pos) {
  std::size_t crlf = body.find("\r\n", pos);
  return body.substr(pos, crlf == std::string_view::npos ? std::string_view::npos : crlf - pos);
}

// The position after the line starting at `pos` and its CR LF.
std::size_t NextLine(std::string_view body, std::size_t pos) {
  std::size_t crlf = body.find("\r\n", pos);
  return crlf == std::string_view::npos ? body.size() : crlf + 2;
}

bool IsDelimiterLine(std::string_view line, std::string_view delimiter) {
  return line.substr(0, delimiter.size()) == delimiter &&
         (line.size() == delimiter.size() ||
          (line.size() == delimiter.size() + 2 && line.substr(delimiter.size()) == "--"));
}

// The piece of text starting at `pos`: the bytes before a CR LF within
// the next 250 bytes, or without one those 250 bytes (or what is left).
// `next` is set to the position after the piece and its CR LF.
std::string_view PieceAt(std::string_view body, std::size_t pos, std::size_t& next) {
  std::string_view piece = body.substr(pos, kMaxPiece);
  std::size_t crlf = piece.find("\r\n");
  if (crlf == std::string_view::npos) {
    next = pos + piece.size();
    return piece;
  }
  next = pos + crlf + 2;
  return piece.substr(0, crlf);
}

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

// Reads a part's header lines from `pos` up to and including the empty
// line, leaving `pos` at the content. The result is the line that names
// the part: its Content-Disposition line, or else its first line.
std::string_view ReadPartHeader(std::string_view body, std::size_t& pos) {
  std::string_view naming;
  bool named = false;
  while (pos < body.size()) {
    std::string_view line = LineAt(body, pos);
    pos = NextLine(body, pos);
    if (line.empty()) break;
    if (!named && SameText(line.substr(0, kDisposition.size()), kDisposition)) {
      naming = line;
      named = true;
    } else if (naming.empty()) {
      naming = line;
    }
  }
  return naming;
}

// The start of the delimiter line that ends the content starting at
// `start`. Without one, the start of the last piece the content reads as,
// so that the last line of a body cut short is left out.
std::size_t PartEnd(std::string_view body, std::size_t start, std::string_view delimiter) {
  for (std::size_t pos = start; pos < body.size(); pos = NextLine(body, pos)) {
    if (IsDelimiterLine(LineAt(body, pos), delimiter)) return pos;
  }
  std::size_t last = start;
  for (std::size_t pos = start, next = 0; pos < body.size(); pos = next) {
    last = pos;
    PieceAt(body, pos, next);
  }
  return last;
}

// The content from `start` read as pieces, joined with CR LF, leaving out
// empty pieces at its start. A piece starting at the CR LF's line feed in
// front of the delimiter line is not part of it.
std::string PartText(std::string_view body, std::size_t start, std::size_t delimiter_line) {
  std::string text;
  for (std::size_t pos = start, next = 0; pos + 2 <= delimiter_line; pos = next) {
    std::string_view piece = PieceAt(body, pos, next);
    if (!text.empty()) text += "\r\n";
    text += piece;
  }
  return text;
}

}  // namespace

void ParseMultiPartForm(std::string_view body, TStringList& form_fields, TStringList& file_ranges,
                        TStringList& file_names) {
  const std::string_view delimiter = LineAt(body, 0);
  std::size_t pos = NextLine(body, 0);
  while (pos < body.size()) {
    std::string_view header = ReadPartHeader(body, pos);
    std::string name = HeaderAttribute(header, "name");
    file_names.Add(name + "=" + HeaderAttribute(header, "filename"));

    const std::size_t start = pos;
    const std::size_t delimiter_line = PartEnd(body, start, delimiter);
    const std::size_t end = std::max(start, delimiter_line >= 2 ? delimiter_line - 2 : 0);
    form_fields.Add(name + "=" + PartText(body, start, delimiter_line));
    file_ranges.Add(Format("%s=%d,%d", {name, start, end}));
    pos = delimiter_line < body.size() ? NextLine(body, delimiter_line) : body.size();
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
