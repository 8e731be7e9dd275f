// TKorviDataProducer: the data-source slots, entry resolution, the line
// expansions and the two-pass page.
#include "korvi/producer/data_producer.h"

#include <exception>

#include "korvi/data/data_set.h"
#include "korvi/data/data_source.h"
#include "korvi/host/datetime.h"
#include "korvi/host/streams.h"
#include "korvi/host/sysutils.h"
#include "korvi/producer/korvi_parser.h"
#include "korvi/web/http_text.h"

namespace korvi {

namespace {

// The first pass ends once more than this many consecutive empty reads have
// been written (the scanner returns empty lines only once the input is
// exhausted).
constexpr int kEmptyReadsBeforeEnd = 25;

// The value of field `field` in the data set of `source`, through FindField
// (`must_exist` false) or FieldByName. False when the source has no data set
// or no such field, or when the data layer fails.
bool ReadField(TDataSource* source, const std::string& field, bool must_exist, std::string& value) {
  try {
    TDataSet* dataset = source->DataSet();
    if (dataset == nullptr) return false;
    TField* found = must_exist ? &dataset->FieldByName(field) : dataset->FindField(field);
    if (found == nullptr) return false;
    value = found->AsString();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// Where `open` (one or two bytes) first stands in `text` from `from` on. A
// two-byte opening is looked for by its second byte, which pages hold far
// less often than the first ("#" against "<").
std::size_t FindOpening(std::string_view text, std::string_view open, std::size_t from) {
  if (open.size() == 1) return text.find(open[0], from);
  for (std::size_t at = from + 1; (at = text.find(open[1], at)) != text.npos; ++at) {
    if (text[at - 1] == open[0]) return at - 1;
  }
  return text.npos;
}

// Appends `text` to `out` with every stretch from `open` to the next `close`
// replaced by replace(text between them). An `open` with no `close` after
// it, or whose text `accept` refuses, is copied as its first byte and the
// search goes on after that byte.
template <typename Accept, typename Replace>
void AppendReplaced(std::string_view text, std::string_view open, char close, Accept accept,
                    Replace replace, std::string& out) {
  std::size_t i = 0;
  for (;;) {
    const std::size_t start = FindOpening(text, open, i);
    if (start == text.npos) break;
    out.append(text.substr(i, start - i));
    const std::size_t inner = start + open.size();
    const std::size_t end = text.find(close, start + 1);
    if (end == text.npos || !accept(text.substr(inner, end - inner))) {
      out += open[0];
      i = start + 1;
      continue;
    }
    out += replace(text.substr(inner, end - inner));
    i = end + 1;
  }
  out.append(text.substr(i));
}

}  // namespace

bool TKorviDataProducer::AddDataSource(TDataSource* source) {
  if (source == nullptr || total_ds_ >= kMaxDataSources) return false;
  sources_[total_ds_++] = source;
  return true;
}

void TKorviDataProducer::DelDataSource(int number) {
  if (number < 1 || number > total_ds_) return;
  for (int i = number; i < total_ds_; ++i)
    sources_[i - 1] = sources_[i];
  sources_[--total_ds_] = nullptr;
}

TDataSource* TKorviDataProducer::GetDSByNumber(int number) const {
  if (number < 1 || number > total_ds_) return nullptr;
  return sources_[number - 1];
}

TDataSource* TKorviDataProducer::GetDS(const std::string& reference) const {
  std::int32_t number = 0;
  if (TryStrToInt(reference, number) && number != -1) return GetDSByNumber(number);
  for (int i = 0; i < total_ds_; ++i) {
    if (SameText(sources_[i]->Name(), reference)) return sources_[i];
  }
  return nullptr;
}

std::string TKorviDataProducer::HandleEntry(const std::string& name, bool& handled) {
  handled = true;
  std::string value;
  if (name.empty()) return value;
  const std::string decoded = HTTPDecode(name);
  handled = false;
  const std::size_t dot = decoded.find('.');
  const std::string source_part = dot == std::string::npos ? "" : decoded.substr(0, dot);
  const std::string field = dot == std::string::npos ? decoded : decoded.substr(dot + 1, 255);
  if (source_part.empty()) {
    for (int i = 0; i < total_ds_ && !handled; ++i)
      handled = ReadField(sources_[i], field, false, value);
  } else if (TDataSource* source = GetDS(source_part)) {
    handled = ReadField(source, field, true, value);
  }
  return value;
}

std::string TKorviDataProducer::ResolveEntry(const std::string& name) {
  bool handled = false;
  std::string value = HandleEntry(name, handled);
  if (handled) return value;
  if (OnEntryField) {
    std::string replace;
    OnEntryField(this, name, replace, handled);
    if (handled) return replace;
  }
  if (SameText(name, "TIME")) return TimeToStr(Time());
  if (SameText(name, "DATE")) return DateToStr(Date());
  return " ERROR: Field [" + name + "] not found ";
}

std::string TKorviDataProducer::ExpandDynamicContent(const std::string& line) {
  std::string out;
  AppendDynamicContent(line, out);
  return out;
}

void TKorviDataProducer::AppendDynamicContent(std::string_view line, std::string& out) {
  // An entry is "%", a name without blanks, "%"; any other "%" is text. The
  // tags of the line and of the entries' values follow; no tag can close on
  // the line ends, so they are added after both passes.
  if (line.find('%') == line.npos) {
    AppendTags(line, out);
  } else {
    std::string entries;
    entries.reserve(line.size() + 64);
    AppendReplaced(
        line, "%", '%', [](std::string_view name) { return name.find(' ') == name.npos; },
        [this](std::string_view name) { return ResolveEntry(Trim(name)); }, entries);
    AppendTags(entries, out);
  }
  out += "\r\n\r\n";
}

std::string TKorviDataProducer::ExpandTags(const std::string& line) {
  std::string out;
  AppendTags(line, out);
  out += "\r\n";
  return out;
}

void TKorviDataProducer::AppendTags(std::string_view text, std::string& out) {
  AppendReplaced(
      text, "<#", '>', [](std::string_view) { return true; },
      [this](std::string_view tag) {
        const std::string inner = Trim(tag);
        const std::size_t space = inner.find(' ');
        TStringList params;
        if (space != std::string::npos) SplitTagParams(Trim(inner.substr(space + 1)), params);
        return HandleTag(inner.substr(0, space), params);
      },
      out);
}

std::string TKorviDataProducer::ContentFromStream(TStream& stream) {
  TStringStream expanded;
  stream.SetPosition(0);
  {
    // The scanner's copies are not wanted: it writes to no stream.
    TKorviParser parser(stream, nullptr);
    int empty_reads = 0;
    for (;;) {
      const std::string line = parser.SkipToEOL();
      empty_reads = line.empty() ? empty_reads + 1 : 0;
      expanded.WriteString(ExpandDynamicContent(line));
      if (empty_reads > kEmptyReadsBeforeEnd) break;
    }
  }
  expanded.SetPosition(0);
  return TKorviCustomPageProducer::ContentFromStream(expanded);
}

}  // namespace korvi
