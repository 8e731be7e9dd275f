// TMapForm: reading the URL map file, the rules of Add, Replace and Delete,
// and saving the map in one write.
#include "korvi/design/map_form.h"

#include "korvi/host/application.h"
#include "korvi/host/files.h"
#include "korvi/host/ini_file.h"
#include "korvi/host/sysutils.h"

namespace korvi {

namespace {

constexpr const char* kMapSection = "MAP";
constexpr const char* kVersionSection = "VERSION";
constexpr const char* kVersionKey = "PIRNASK";
constexpr const char* kVersion = "0.1";

// The URL path as stored: trimmed, with a leading "/" and no trailing ones
// (the server never looks a key ending in "/" up). Empty stays empty.
std::string MapPath(std::string_view typed) {
  std::string path = Trim(typed);
  if (path.empty()) return path;
  if (path.front() != '/') path.insert(0, 1, '/');
  while (path.size() > 1 && path.back() == '/')
    path.pop_back();
  return path;
}

// True when the file can hold the line path=directory as one entry that
// reads back the same.
bool Storable(std::string_view path, std::string_view directory) {
  return path.find_first_of("=\r\n") == std::string_view::npos &&
         directory.find_first_of("\r\n") == std::string_view::npos;
}

// Shows a refusal; always false.
bool Refuse(std::string_view message) {
  Application().MessageBox(std::string(message), std::string(TMapForm::Caption));
  return false;
}

}  // namespace

TMapForm::TMapForm(std::string IniFileName) : ini_file_name_(std::move(IniFileName)) {}

TMapForm::~TMapForm() = default;

void TMapForm::FormShow() {
  ini_file_ = std::make_unique<TIniFile>(ini_file_name_, TIniSaving::OnUpdateFile);
  if (!ini_file_->ReadError().empty()) {
    Application().MessageBox(
        ini_file_->ReadError() + "; editing " + ExpandFileName(FallbackFile) + " instead.",
        std::string(Caption));
    ini_file_ = std::make_unique<TIniFile>(std::string(FallbackFile), TIniSaving::OnUpdateFile);
  }
  TStringList lines;
  ini_file_->ReadSectionValues(kMapSection, lines);
  map_list_.Clear();
  const std::string heading_name = Trim(HeadingLine.substr(0, HeadingLine.find('=')));
  for (int i = 0; i < lines.Count(); ++i) {
    // Neither a line without a path nor a stored heading is a mapping.
    const std::string name = lines.Names(i);
    if (!name.empty() && name != heading_name) map_list_.Add(lines[i]);
  }
  map_list_.Add(std::string(HeadingLine));
  map_list_.Sort();
  modified_ = false;
}

void TMapForm::FormClose() {
  if (!modified_) return;
  TStringList mappings;
  for (int i = 0; i < map_list_.Count(); ++i) {
    if (!map_list_.Names(i).empty() && map_list_[i] != HeadingLine) mappings.Add(map_list_[i]);
  }
  ini_file_->WriteString(kVersionSection, kVersionKey, kVersion);
  ini_file_->ReplaceSectionValues(kMapSection, mappings);
  ini_file_->UpdateFile();
  modified_ = false;
}

bool TMapForm::ShowModal(const TMapSession& Session) {
  FormShow();
  Session(*this);
  const bool changed = modified_;
  FormClose();
  return changed;
}

const std::string& TMapForm::FileName() const {
  return ini_file_ ? ini_file_->FileName() : ini_file_name_;
}

int TMapForm::RowCount() const {
  return map_list_.Count() < 2 ? 2 : map_list_.Count();
}

std::string TMapForm::Cells(int Col, int Row) const {
  if (Row < 0 || Row >= map_list_.Count()) return {};
  return Col == 0 ? map_list_.Names(Row) : map_list_.ValueFromIndex(Row);
}

int TMapForm::RowOf(std::string_view Path, int Except) const {
  for (int row = 0; row < RowCount(); ++row) {
    if (row != Except && SameText(Cells(0, row), Path)) return row;
  }
  return -1;
}

int TMapForm::FindRow(std::string_view Path) const {
  const std::string path = MapPath(Path);
  if (path.empty()) return -1;
  const int row = RowOf(path, 0);
  // A path written into the file by hand may lack the slash or keep a
  // trailing one; it is found as it is typed.
  return row >= 0 ? row : RowOf(Trim(Path), 0);
}

bool TMapForm::Add(std::string_view Path, std::string_view Directory) {
  const std::string directory = Trim(Directory);
  if (Trim(Path).empty() || directory.empty()) return Refuse(EmptyMessage);
  const std::string path = MapPath(Path);
  if (!Storable(path, directory)) return Refuse(InvalidMessage);
  if (RowOf(path, -1) >= 0) return Refuse(ExistsMessage);
  const std::string line = path + "=" + directory;
  const int last = map_list_.Count() - 1;
  if (map_list_[last] == Placeholder) {
    map_list_.Put(last, line);
  } else {
    map_list_.Add(line);
  }
  Changed();
  return true;
}

bool TMapForm::Replace(int Row, std::string_view Path, std::string_view Directory) {
  if (Row < 1 || Row >= RowCount()) return false;
  const std::string path = MapPath(Path);
  const std::string directory = Trim(Directory);
  if (RowOf(path, Row) >= 0) return Refuse(ExistsMessage);
  if (path.empty() || directory.empty()) return Refuse(EmptyMessage);
  if (!Storable(path, directory)) return Refuse(InvalidMessage);
  if (Row >= map_list_.Count()) map_list_.Insert(Row, "");
  map_list_.Put(Row, path + "=" + directory);
  Changed();
  return true;
}

bool TMapForm::Delete(int Row) {
  if (Row < 1 || Row >= map_list_.Count()) return false;
  map_list_.Delete(Row);
  if (map_list_.Count() == 1) map_list_.Add(std::string(Placeholder));
  Changed();
  return true;
}

void TMapForm::Changed() {
  map_list_.Sort();
  modified_ = true;
}

}  // namespace korvi
