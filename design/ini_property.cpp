// ZIniProperty: reading and writing the map-file property in a configuration
// file, and running the map editor on the file it names.
#include "korvi/design/ini_property.h"

#include "korvi/design/component_registration.h"
#include "korvi/host/files.h"
#include "korvi/host/ini_file.h"
#include "korvi/host/string_list.h"

namespace korvi {

namespace {

// The property a map file replaces: the server empties its root when given one.
constexpr const char* kServerRoot = "ServerRoot";

std::string PropertyName() {
  return std::string(MapFileEditor.PropertyName);
}

}  // namespace

ZIniProperty::ZIniProperty(std::string ConfigFile, std::string Section)
    : config_(std::make_unique<TIniFile>(std::move(ConfigFile), TIniSaving::OnUpdateFile)),
      section_(std::move(Section)) {
  GetValue();
}

ZIniProperty::~ZIniProperty() = default;

std::string ZIniProperty::GetValue() {
  FileValue = config_->ReadString(section_, PropertyName(), "");
  return FileValue;
}

void ZIniProperty::SetValue(std::string Value) {
  FileValue = std::move(Value);
  TStringList stored;
  config_->ReadSectionValues(section_, stored);
  const bool drops_root = !FileValue.empty() && stored.IndexOfName(kServerRoot) >= 0;
  const int line = stored.IndexOfName(PropertyName());
  if (!drops_root && line >= 0 && stored.ValueFromIndex(line) == FileValue) return;
  config_->WriteString(section_, PropertyName(), FileValue);
  if (drops_root) config_->DeleteKey(section_, kServerRoot);
  config_->UpdateFile();
}

void ZIniProperty::Edit(const TMapForm::TMapSession& Session) {
  TMapForm form(FileValue.empty() ? std::string(DefaultFile) : FileValue);
  if (!form.ShowModal(Session)) return;
  SetValue(FileValue.empty() ? ExpandFileName(form.FileName()) : FileValue);
}

}  // namespace korvi
