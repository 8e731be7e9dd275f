/// \file
/// TStringList: an ordered list of byte strings, each with an optional object.
///
/// Lines of the form name=value make it the library's common currency (header
/// lines, form fields, cookies, the URL map): names compare without regard to
/// ASCII case and the first line of a name wins.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "korvi/host/object.h"

namespace korvi {

class TStream;

/// An ordered list of byte strings, each with an optional object.
class TStringList : public TObject {
 public:
  TStringList() = default;
  /// A list of `lines`.
  TStringList(std::initializer_list<std::string> lines);
  /// When true, the list deletes the objects of its lines on Delete, Clear,
  /// PutObject and destruction.
  explicit TStringList(bool owns_objects) : owns_objects_(owns_objects) {}
  ~TStringList() override;
  /// Takes over the lines (and objects) of `other`, which is left empty; the
  /// lines held so far go, their objects freed when this list owns them.
  TStringList& operator=(TStringList&& other) noexcept;

  /// Number of lines.
  int Count() const { return static_cast<int>(items_.size()); }
  /// Line `index`; raises EListError "List index out of bounds (<index>)" when out of range.
  const std::string& Strings(int index) const;
  /// Line `index`, as Strings.
  const std::string& operator[](int index) const { return Strings(index); }
  /// Replaces line `index`.
  void Put(int index, std::string text);
  /// The object stored with line `index` (nullptr when none).
  TObject* Objects(int index) const;
  /// Stores `object` with line `index`.
  void PutObject(int index, TObject* object);

  ///@{
  /// Appends a line (with an object); returns its index.
  int Add(std::string text);
  int AddObject(std::string text, TObject* object);
  ///@}
  ///@{
  /// Inserts before `index` (index == Count() appends).
  void Insert(int index, std::string text);
  void InsertObject(int index, std::string text, TObject* object);
  ///@}
  /// Removes line `index`.
  void Delete(int index);
  /// Removes every line.
  void Clear();
  /// Appends every line (and object) of `other`. An owning list takes the
  /// copied objects over, so `other` must not own them as well.
  void AddStrings(const TStringList& other);
  /// Makes this list a copy of `other` (lines and object pointers; ownership
  /// as for AddStrings).
  void Assign(const TStringList& other);

  /// Index of the first line equal to `text` without regard to case, or -1.
  int IndexOf(std::string_view text) const;
  /// Index of the first line whose name equals `name` without regard to case, or -1.
  int IndexOfName(std::string_view name) const;
  /// Name part of line `index` (text before the first "="; empty when no "=").
  std::string Names(int index) const;
  /// Value part of line `index` (text after the first "="; empty when no "=").
  std::string ValueFromIndex(int index) const;
  /// Value of the first line named `name`; empty when there is none.
  std::string Values(std::string_view name) const;
  /// Sets the value of the first line named `name`, appending a line when there
  /// is none; an empty value deletes the line.
  void SetValue(std::string_view name, std::string_view value);

  /// Sorts by CompareText (ASCII case-insensitive byte order); stable.
  void Sort();
  /// All lines, each followed by CR LF.
  std::string Text() const;
  /// Replaces the lines by those of `text`, split at CR LF, LF or CR.
  void SetText(std::string_view text);
  /// Lines joined with "," (lines holding blanks, commas or quotes are quoted).
  std::string CommaText() const;

  ///@{
  /// Reads the lines from the file / stream (as SetText) or writes them there (as Text).
  void LoadFromFile(const std::string& path);
  void SaveToFile(const std::string& path) const;
  void LoadFromStream(TStream& stream);
  void SaveToStream(TStream& stream) const;
  ///@}

 private:
  struct Item {
    std::string text;
    TObject* object = nullptr;
  };
  void FreeObject(TObject* object);
  std::vector<Item> items_;
  bool owns_objects_ = false;
};

}  // namespace korvi
