/// \file
/// ZIniProperty: the editor of the server's map-file property (MapFileEditor:
/// TKorvi's URLMapIniFile) stored as name=value in one section of a
/// configuration ini file, the way korvi-serve --config reads it. Edit opens
/// the URL map editor on the file the property names.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "korvi/design/map_form.h"

namespace korvi {

class TIniFile;

/// The editor of the server's map-file property stored in a configuration ini file.
class ZIniProperty {
 public:
  /// The map file edited when the property is empty.
  static constexpr std::string_view DefaultFile = "Korvi.ini";

  /// The property as stored in `Section` of the ini file `ConfigFile`; reads
  /// its value (GetValue).
  ZIniProperty(std::string ConfigFile, std::string Section);
  ~ZIniProperty();
  ZIniProperty(const ZIniProperty&) = delete;
  ZIniProperty& operator=(const ZIniProperty&) = delete;

  /// Reads the stored value, remembers it in FileValue and returns it.
  std::string GetValue();
  /// FileValue := Value, stored as the server's property writer takes it: a
  /// map file replaces the document root, so a non-empty value also drops
  /// ServerRoot. The configuration file is saved (once, atomically) only when
  /// this changes it; raises EFOpenError when it cannot be written.
  void SetValue(std::string Value);
  /// Shows the map editor on FileValue (DefaultFile when empty) with
  /// `Session`. When that saved a change, writes the property: FileValue, or
  /// the absolute name of the file edited when FileValue was empty.
  void Edit(const TMapForm::TMapSession& Session);

  /// The last value read or set.
  std::string FileValue;

 private:
  std::unique_ptr<TIniFile> config_;
  std::string section_;
};

}  // namespace korvi
