/// \file
/// TField: one column of a data set, read at the data set's current record.
///
/// Fields belong to their data set, which creates them when it learns its
/// columns. Reading a value while the data set is closed raises
/// EDatabaseError; an open data set without a current record (no rows) reads
/// as null.
#pragma once

#include <cstdint>
#include <string>

#include "korvi/host/datetime.h"
#include "korvi/host/object.h"
#include "korvi/host/variant.h"

namespace korvi {

class TDataSet;

/// One column of a data set, read at the current record.
class TField : public TObject {
 public:
  /// The column name.
  const std::string& FieldName() const { return name_; }
  /// The data set the field belongs to.
  TDataSet* DataSet() const { return dataset_; }
  /// Position of the field in its data set (from 0).
  int Index() const { return index_; }

  /// The value at the current record (null when there is none).
  Variant Value() const;
  /// True when the value at the current record is null.
  bool IsNull() const;
  /// The value as text (empty for null).
  std::string AsString() const;
  /// The value as an integer; raises EVariantError when it is not one.
  std::int64_t AsInteger() const;
  /// The value as a floating-point number; raises EVariantError when it is not one.
  double AsFloat() const;
  /// The value as a Boolean (numbers: non-zero; texts: "True"/"False").
  bool AsBoolean() const;
  /// The value as a date-time; texts are read in the ISO forms the data layer
  /// stores ("yyyy-mm-dd", "hh:nn:ss", "yyyy-mm-dd hh:nn:ss", optional
  /// ".zzz") and in the local forms. Raises EConvertError otherwise.
  TDateTime AsDateTime() const;

 private:
  friend class TDataSet;
  TField(TDataSet* dataset, std::string name, int index)
      : dataset_(dataset), name_(std::move(name)), index_(index) {}

  TDataSet* dataset_;
  std::string name_;
  int index_;
};

}  // namespace korvi
