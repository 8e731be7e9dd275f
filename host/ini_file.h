// TIniFile: an ini text file of [section] headers and name=value lines.
// The file is read when the object is created; every write is saved at once,
// through a temporary file renamed over the old one. Blank lines and ";"
// comments are kept but never read as entries.
#pragma once

#include <string>
#include <vector>

#include "host/string_list.h"

namespace korvi {

class TIniFile : public TObject {
 public:
  // Reads `path` if it exists (a missing file is an empty ini file).
  explicit TIniFile(std::string path);

  const std::string& FileName() const { return path_; }
  // Replaces `lines` by the name=value lines of `section` (section names
  // compare without regard to case); a missing section gives no lines.
  void ReadSectionValues(std::string_view section, TStringList& lines) const;
  // The value of `key` in `section`, or `fallback`.
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view fallback) const;
  // Sets `key` in `section` (creating both as needed) and saves the file.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  // Removes `section` and its lines, and saves the file.
  void EraseSection(std::string_view section);
  // True when the file holds `section`.
  bool SectionExists(std::string_view section) const;
  // Writes the file; raises EFOpenError when it cannot be written.
  void UpdateFile() const;

 private:
  struct Section {
    std::string name;
    std::vector<std::string> lines;
  };
  Section* Find(std::string_view section);
  const Section* Find(std::string_view section) const;
  std::string path_;
  // Lines before the first section header, kept so that saving loses nothing.
  std::vector<std::string> preamble_;
  std::vector<Section> sections_;
  // Why an existing file could not be read; such a file is never overwritten.
  std::string read_error_;
};

}  // namespace korvi
