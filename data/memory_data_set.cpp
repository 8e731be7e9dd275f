// TMemoryDataSet: fields and rows supplied by application code.
#include "korvi/data/memory_data_set.h"

#include "korvi/data/database_error.h"

namespace korvi {

TField* TMemoryDataSet::AddField(std::string name) {
  CheckInactive();
  return AddFieldNamed(std::move(name));
}

void TMemoryDataSet::AppendRecord(TRecord values) {
  CheckInactive();
  if (values.size() > static_cast<size_t>(FieldCount())) {
    throw EDatabaseError("Too many values for the fields of the record");
  }
  values.resize(static_cast<size_t>(FieldCount()));
  Records().push_back(std::move(values));
}

void TMemoryDataSet::EmptyDataSet() {
  CheckInactive();
  Records().clear();
}

}  // namespace korvi
