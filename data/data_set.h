/// \file
/// TDataSet: the abstract data set. Rows are held in memory as records of
/// variants; a subclass supplies them when the data set opens. The cursor
/// walks them both ways with First/Last/Next/Prior and the Eof/Bof flags:
///
///   First(); while (!Eof()) { ...; Next(); }   // every row, first to last
///   Last();  while (!Bof()) { ...; Prior(); }  // every row, last to first
///
/// First sets Bof, Last sets Eof; Next from the last row sets Eof and Prior
/// from the first row sets Bof, leaving the cursor where it was. An empty data
/// set is at Eof and Bof at once. A data set is walked by one thread at a time.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "korvi/data/field.h"
#include "korvi/host/component.h"
#include "korvi/host/variant.h"

namespace korvi {

/// One row: a value per field, in field order.
using TRecord = std::vector<Variant>;

/// Options of filter comparisons (bit flags of TFilterOptions).
enum TFilterOption : unsigned {
  foCaseInsensitive = 0x01,
  foNoPartialCompare = 0x02,
};
/// A set of TFilterOption flags.
using TFilterOptions = unsigned;

/// The abstract data set: fields, and rows held in memory with a current record.
class TDataSet : public TComponent {
 public:
  /// Creates a closed data set without fields; a non-null owner frees it.
  explicit TDataSet(TComponent* owner);
  ~TDataSet() override;

  /// Reads the rows (InternalOpen) and moves to the first; nothing when open.
  void Open();
  /// Drops the cursor (and whatever InternalClose releases); nothing when closed.
  void Close();
  /// True while the data set is open.
  bool Active() const { return active_; }
  /// Opens (true) or closes (false) the data set.
  void SetActive(bool value);

  /// Moves to the first row and sets Bof; raises EDatabaseError when closed.
  void First();
  /// Moves to the last row and sets Eof; raises EDatabaseError when closed.
  void Last();
  /// Moves one row on; from the last row it sets Eof instead. Raises when closed.
  void Next();
  /// Moves one row back; from the first row it sets Bof instead. Raises when closed.
  void Prior();
  /// True past the end of a walk forwards (always true when closed or empty).
  bool Eof() const { return eof_; }
  /// True before the start of a walk backwards (always true when closed or empty).
  bool Bof() const { return bof_; }
  /// Number of rows held; raises EDatabaseError when closed.
  int RecordCount() const;

  /// Number of fields.
  int FieldCount() const { return static_cast<int>(fields_.size()); }
  /// Field `index` (from 0); raises EListError when out of range.
  TField* Fields(int index) const;
  /// The first field named `name` (without regard to case), or nullptr.
  TField* FindField(std::string_view name) const;
  /// The field named `name`; raises EDatabaseError "Field '<name>' not found".
  TField& FieldByName(std::string_view name) const;

  ///@{
  /// Stored without effect on the rows: the filter text, whether it applies,
  /// and its comparison options.
  std::string Filter;
  bool Filtered = false;
  TFilterOptions FilterOptions = 0;
  ///@}

 protected:
  /// Makes the rows available (Records()) and the fields match them.
  virtual void InternalOpen() = 0;
  /// Releases what InternalOpen read; the default keeps the rows.
  virtual void InternalClose() {}

  /// Raises EDatabaseError when the data set is closed.
  void CheckActive() const;
  /// Raises EDatabaseError when the data set is open.
  void CheckInactive() const;
  /// The rows, in order.
  std::vector<TRecord>& Records() { return records_; }
  /// Appends a field named `name` after the existing ones.
  TField* AddFieldNamed(std::string name);
  /// Makes the fields those named by `names`, keeping the existing field
  /// objects when the names are already the same.
  void SetFieldNames(const std::vector<std::string>& names);

 private:
  friend class TField;
  /// The value of field `index` at the current record; null without a record.
  Variant FieldValue(int index) const;

  std::vector<std::unique_ptr<TField>> fields_;
  std::vector<TRecord> records_;
  int cursor_ = 0;
  bool active_ = false;
  bool eof_ = true;
  bool bof_ = true;
};

}  // namespace korvi
