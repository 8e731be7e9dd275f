/// \file
/// TIniFile: an ini text file of [section] headers and name=value lines.
/// The file is read when the object is created; every write is saved at once
/// (or, when so created, only by UpdateFile), through a temporary file renamed
/// over the old one. Blank lines and ";" comments are kept but never read as
/// entries.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "korvi/host/string_list.h"

namespace korvi {

/// True when `line` is a section header ("[name]", blanks around it allowed);
/// `name` is then the name inside, up to the first "]" or the end, trimmed.
bool IniSectionHeader(std::string_view line, std::string& name);
/// True for a blank line or a ";" comment.
bool IsIniRemark(std::string_view line);
/// Splits an entry line into its trimmed key and value; false for remarks
/// and lines without "=".
bool SplitIniEntry(std::string_view line, std::string& key, std::string& value);

/// When the changes of a TIniFile reach the disk.
enum class TIniSaving {
  EveryWrite,    ///< each write saves the whole file
  OnUpdateFile,  ///< changes stay in memory until UpdateFile saves them all at once
};

/// An ini file of sections and name=value lines, read and written whole.
class TIniFile : public TObject {
 public:
  /// Reads `path` if it exists (a missing file is an empty ini file).
  explicit TIniFile(std::string path, TIniSaving saving = TIniSaving::EveryWrite);

  /// The file's path.
  const std::string& FileName() const { return path_; }
  /// Why the existing file could not be read; empty when it was read or is
  /// missing. Such a file is never overwritten.
  const std::string& ReadError() const { return read_error_; }
  /// Replaces `lines` by the name=value lines of `section` (section names
  /// compare without regard to case); a missing section gives no lines.
  void ReadSectionValues(std::string_view section, TStringList& lines) const;
  /// The value of `key` in `section`, or `fallback`.
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view fallback) const;
  /// Sets `key` in `section` (creating both as needed) and saves the file.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  /// Replaces the entries of `section` (creating it as needed) by the
  /// name=value lines of `values`, and saves the file. The section keeps its
  /// place, comments and blank lines; the new entries stand where its first
  /// entry stood. Raises Exception for an entry the file cannot hold.
  void ReplaceSectionValues(std::string_view section, const TStringList& values);
  /// Removes every entry of `key` from `section`, and saves the file.
  void DeleteKey(std::string_view section, std::string_view key);
  /// Removes `section` and its lines, and saves the file.
  void EraseSection(std::string_view section);
  /// True when the file holds `section`.
  bool SectionExists(std::string_view section) const;
  /// Writes the file; raises EFOpenError when it cannot be written.
  void UpdateFile() const;

 private:
  struct Section {
    std::string name;
    std::vector<std::string> lines;
  };
  Section* Find(std::string_view section);
  const Section* Find(std::string_view section) const;
  Section& FindOrAdd(std::string_view section);
  /// Saves after a change, unless saving waits for UpdateFile.
  void Changed() const;
  std::string path_;
  TIniSaving saving_;
  /// Lines before the first section header, kept so that saving loses nothing.
  std::vector<std::string> preamble_;
  std::vector<Section> sections_;
  /// Why an existing file could not be read; such a file is never overwritten.
  std::string read_error_;
};

}  // namespace korvi
