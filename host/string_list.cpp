// TStringList: ordered lines with optional objects, name=value access,
// sorting, text and comma forms, and loading and saving through streams.
#include "korvi/host/string_list.h"

#include <algorithm>

#include "korvi/host/exceptions.h"
#include "korvi/host/streams.h"
#include "korvi/host/sysutils.h"

namespace korvi {

namespace {

[[noreturn]] void RaiseIndexError(int index) {
  throw EListError(Format("List index out of bounds (%d)", {index}));
}

// The position of the name/value separator in `line`, or npos.
std::size_t SeparatorOf(std::string_view line) {
  return line.find('=');
}

}  // namespace

TStringList::TStringList(std::initializer_list<std::string> lines) {
  for (const std::string& line : lines)
    Add(line);
}

TStringList::~TStringList() {
  for (Item& item : items_)
    FreeObject(item.object);
}

TStringList& TStringList::operator=(TStringList&& other) noexcept {
  if (this == &other) return *this;
  for (Item& item : items_)
    FreeObject(item.object);
  items_ = std::move(other.items_);
  other.items_.clear();
  owns_objects_ = other.owns_objects_;
  return *this;
}

void TStringList::FreeObject(TObject* object) {
  if (owns_objects_) delete object;
}

const std::string& TStringList::Strings(int index) const {
  if (index < 0 || index >= Count()) RaiseIndexError(index);
  return items_[index].text;
}

void TStringList::Put(int index, std::string text) {
  if (index < 0 || index >= Count()) RaiseIndexError(index);
  items_[index].text = std::move(text);
}

TObject* TStringList::Objects(int index) const {
  if (index < 0 || index >= Count()) RaiseIndexError(index);
  return items_[index].object;
}

void TStringList::PutObject(int index, TObject* object) {
  if (index < 0 || index >= Count()) RaiseIndexError(index);
  if (items_[index].object != object) FreeObject(items_[index].object);
  items_[index].object = object;
}

int TStringList::Add(std::string text) {
  return AddObject(std::move(text), nullptr);
}

int TStringList::AddObject(std::string text, TObject* object) {
  InsertObject(Count(), std::move(text), object);
  return Count() - 1;
}

void TStringList::Insert(int index, std::string text) {
  InsertObject(index, std::move(text), nullptr);
}

void TStringList::InsertObject(int index, std::string text, TObject* object) {
  if (index < 0 || index > Count()) RaiseIndexError(index);
  items_.insert(items_.begin() + index, Item{std::move(text), object});
}

void TStringList::Delete(int index) {
  if (index < 0 || index >= Count()) RaiseIndexError(index);
  TObject* object = items_[index].object;
  items_.erase(items_.begin() + index);
  FreeObject(object);
}

void TStringList::Clear() {
  std::vector<Item> old;
  old.swap(items_);
  for (Item& item : old)
    FreeObject(item.object);
}

void TStringList::AddStrings(const TStringList& other) {
  // A copy first, so that adding a list to itself doubles it once.
  const std::vector<Item> lines = other.items_;
  items_.insert(items_.end(), lines.begin(), lines.end());
}

void TStringList::Assign(const TStringList& other) {
  if (&other == this) return;
  Clear();
  items_ = other.items_;
}

int TStringList::IndexOf(std::string_view text) const {
  for (int i = 0; i < Count(); ++i) {
    if (SameText(items_[i].text, text)) return i;
  }
  return -1;
}

int TStringList::IndexOfName(std::string_view name) const {
  for (int i = 0; i < Count(); ++i) {
    const std::string_view line = items_[i].text;
    const std::size_t separator = SeparatorOf(line);
    if (separator != std::string_view::npos && SameText(line.substr(0, separator), name)) return i;
  }
  return -1;
}

std::string TStringList::Names(int index) const {
  const std::string& line = Strings(index);
  const std::size_t separator = SeparatorOf(line);
  return separator == std::string::npos ? std::string() : line.substr(0, separator);
}

std::string TStringList::ValueFromIndex(int index) const {
  const std::string& line = Strings(index);
  const std::size_t separator = SeparatorOf(line);
  return separator == std::string::npos ? std::string() : line.substr(separator + 1);
}

std::string TStringList::Values(std::string_view name) const {
  const int index = IndexOfName(name);
  return index < 0 ? std::string() : ValueFromIndex(index);
}

void TStringList::SetValue(std::string_view name, std::string_view value) {
  int index = IndexOfName(name);
  if (value.empty()) {
    if (index >= 0) Delete(index);
    return;
  }
  if (index < 0) index = Add({});
  Put(index, std::string(name) + "=" + std::string(value));
}

void TStringList::Sort() {
  std::stable_sort(items_.begin(), items_.end(),
                   [](const Item& a, const Item& b) { return CompareText(a.text, b.text) < 0; });
}

std::string TStringList::Text() const {
  std::string out;
  for (const Item& item : items_) {
    out += item.text;
    out += "\r\n";
  }
  return out;
}

void TStringList::SetText(std::string_view text) {
  Clear();
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) {
      Add(std::string(text.substr(pos)));
      break;
    }
    Add(std::string(text.substr(pos, end - pos)));
    pos = end + 1;
    if (text[end] == '\r' && pos < text.size() && text[pos] == '\n') ++pos;
  }
}

std::string TStringList::CommaText() const {
  std::string out;
  for (int i = 0; i < Count(); ++i) {
    const std::string& line = items_[i].text;
    if (i > 0) out += ',';
    const bool quote = line.empty() || std::any_of(line.begin(), line.end(), [](char c) {
                         return static_cast<unsigned char>(c) <= 32 || c == '"' || c == ',';
                       });
    if (!quote) {
      out += line;
      continue;
    }
    out += '"';
    for (char c : line) {
      if (c == '"') out += '"';
      out += c;
    }
    out += '"';
  }
  return out;
}

void TStringList::LoadFromFile(const std::string& path) {
  TFileStream file(path, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(file);
}

void TStringList::SaveToFile(const std::string& path) const {
  TFileStream file(path, fmCreate);
  SaveToStream(file);
}

void TStringList::LoadFromStream(TStream& stream) {
  const std::int64_t left = stream.Size() - stream.Position();
  std::string text(left > 0 ? left : 0, '\0');
  text.resize(stream.Read(text.data(), static_cast<std::int64_t>(text.size())));
  SetText(text);
}

void TStringList::SaveToStream(TStream& stream) const {
  const std::string text = Text();
  stream.WriteBuffer(text.data(), static_cast<std::int64_t>(text.size()));
}

}  // namespace korvi
