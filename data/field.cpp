// TField: values of one column at the data set's current record.
#include "korvi/data/field.h"

#include "korvi/data/data_set.h"
#include "korvi/data/iso_date_time.h"

namespace korvi {

Variant TField::Value() const {
  return dataset_->FieldValue(index_);
}

bool TField::IsNull() const {
  return Value().IsNull();
}

std::string TField::AsString() const {
  return Value().AsString();
}

std::int64_t TField::AsInteger() const {
  return Value().AsInteger();
}

double TField::AsFloat() const {
  return Value().AsFloat();
}

bool TField::AsBoolean() const {
  return Value().AsBoolean();
}

TDateTime TField::AsDateTime() const {
  const Variant value = Value();
  TDateTime result = 0;
  if (value.VarType() == TVarType::varString && TryIsoToDateTime(value.AsString(), result)) {
    return result;
  }
  return value.AsDateTime();
}

}  // namespace korvi
