/// \file
/// TMemoryDataSet: a data set whose fields and rows the application supplies
/// in code, for pages that show data not read with SQL. Fields and rows are
/// added while the data set is closed and kept across Close and Open.
#pragma once

#include <string>

#include "korvi/data/data_set.h"

namespace korvi {

/// A data set whose fields and rows the application supplies.
class TMemoryDataSet : public TDataSet {
 public:
  /// Creates an empty, closed data set without fields.
  explicit TMemoryDataSet(TComponent* owner) : TDataSet(owner) {}

  /// Adds a field named `name` after the existing ones; raises EDatabaseError
  /// while open. Rows added earlier read null in it.
  TField* AddField(std::string name);
  /// Appends a row, one value per field in field order; missing values are
  /// null. Raises EDatabaseError while open or with more values than fields.
  void AppendRecord(TRecord values);
  /// Removes every row (the fields stay); raises EDatabaseError while open.
  void EmptyDataSet();

 protected:
  /// The rows are already in memory: nothing to read.
  void InternalOpen() override {}
};

}  // namespace korvi
