/// \file
/// TMapForm: the URL map editor, without widgets. It holds the map of one URL
/// map file as the editor's list (a heading line, then URL path=directory
/// lines in case-insensitive order; the rows of the editor's table) and
/// applies the editing rules: Add, Replace and Delete refuse empty fields and
/// duplicate paths with a message box and change nothing then; closing saves a
/// changed map with one whole-file write.
///
/// Used on one thread at a time (the editor's).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "korvi/host/string_list.h"

namespace korvi {

class TIniFile;

/// The URL map editor, without widgets: the map of one file and its editing rules.
class TMapForm {
 public:
  /// What the user does in the shown editor before it is closed.
  using TMapSession = std::function<void(TMapForm& Form)>;

  /// Line 0 of MapList: its name and value are the column titles. Never written.
  static constexpr std::string_view HeadingLine = " URL Path= Directory (Full Server or Relative)";
  /// Stands for the one empty row left when the last mapping is deleted.
  static constexpr std::string_view Placeholder = "=";
  /// Caption of the editor's message boxes.
  static constexpr std::string_view Caption = "Pirnask URL Map";
  /// The file edited, in the current directory, when the named one cannot be read.
  static constexpr std::string_view FallbackFile = "Pirnask.ini";
  ///@{
  /// Refusals, shown in a message box.
  static constexpr std::string_view EmptyMessage = "URL Path or Directory Map Empty";
  static constexpr std::string_view ExistsMessage = "URL Path Already Exist";
  static constexpr std::string_view InvalidMessage = "URL Path or Directory Not Valid";
  ///@}

  /// An editor for the map file `IniFileName`; nothing is read before
  /// FormShow (or ShowModal), which comes before every editing call.
  explicit TMapForm(std::string IniFileName);
  ~TMapForm();
  TMapForm(const TMapForm&) = delete;
  TMapForm& operator=(const TMapForm&) = delete;

  /// Opens the file (FallbackFile instead, with a message box, when it exists
  /// but cannot be read) and fills MapList with the heading and the lines of
  /// section "MAP", sorted. A missing file is an empty map.
  void FormShow();
  /// Saves a changed map: section "VERSION" gets PIRNASK=0.1 and section
  /// "MAP" the mappings in MapList's order, in one atomic write of the whole
  /// file (other sections and comments stay). An unchanged map writes nothing.
  /// Raises EFOpenError when the file cannot be written; the old one stays whole.
  void FormClose();

  /// Shows the editor modally: FormShow, `Session`, FormClose. Returns true
  /// when a change was saved.
  bool ShowModal(const TMapSession& Session);

  /// The file being edited: IniFileName, or FallbackFile after FormShow fell back.
  const std::string& FileName() const;
  /// The heading line followed by the URL path=directory lines, sorted.
  const TStringList& MapList() const { return map_list_; }
  /// True when a change has not been saved yet.
  bool Modified() const { return modified_; }

  /// Rows of the table: one per MapList line, at least 2 (row 0 holds the titles).
  int RowCount() const;
  /// Column 0 (URL path) or 1 (directory) of `Row`; empty beyond MapList.
  std::string Cells(int Col, int Row) const;
  /// The row (1 or more) whose URL path is `Path` as Add would store it, or
  /// else exactly as typed (a path written by hand), without regard to case;
  /// -1 when there is none.
  int FindRow(std::string_view Path) const;

  /// Maps `Path` to `Directory`. The path gets a leading "/" when it lacks
  /// one and loses trailing ones. Refused (false, message box): an empty field
  /// (EmptyMessage), a path that another row holds without regard to case
  /// (ExistsMessage), a text the file cannot store (InvalidMessage).
  bool Add(std::string_view Path, std::string_view Directory);
  /// Makes `Row` (1 to RowCount() - 1) map `Path` to `Directory`, with the
  /// checks of Add (the path compared with the other rows only); false
  /// without a message for any other row.
  bool Replace(int Row, std::string_view Path, std::string_view Directory);
  /// Removes the mapping of `Row` (1 or more); the last one leaves the
  /// placeholder. False, with nothing changed, for a row without a line.
  bool Delete(int Row);

 private:
  /// The row other than `Except` whose URL path is `Path`, or -1.
  int RowOf(std::string_view Path, int Except) const;
  /// Sorts MapList after a change and marks the map changed.
  void Changed();

  std::string ini_file_name_;
  std::unique_ptr<TIniFile> ini_file_;
  TStringList map_list_;
  bool modified_ = false;
};

}  // namespace korvi
