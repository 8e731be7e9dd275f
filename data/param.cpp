// TParam typed setters and the TParams list.
#include "korvi/data/param.h"

#include <cmath>

#include "korvi/data/database_error.h"
#include "korvi/host/exceptions.h"
#include "korvi/host/sysutils.h"

namespace korvi {

namespace {

bool IsTextType(TFieldType type) {
  return type == ftString || type == ftMemo || type == ftFmtMemo || type == ftFixedChar ||
         type == ftWideString;
}

// Currency amounts carry four decimal places.
double RoundToCurrency(double value) {
  return std::round(value * 10000.0) / 10000.0;
}

}  // namespace

bool IsBinaryType(TFieldType type) {
  return type == ftBlob || type == ftBytes || type == ftVarBytes || type == ftGraphic ||
         type == ftTypedBinary;
}

void TParam::Store(TFieldType type, Variant value) {
  data_type_ = type;
  value_ = std::move(value);
}

void TParam::SetAsString(std::string value) {
  Store(IsTextType(data_type_) ? data_type_ : ftString, Variant(std::move(value)));
}

void TParam::SetAsSmallInt(std::int32_t value) {
  Store(ftSmallint, Variant(value));
}

void TParam::SetAsInteger(std::int32_t value) {
  Store(ftInteger, Variant(value));
}

void TParam::SetAsWord(std::int32_t value) {
  Store(ftWord, Variant(value));
}

void TParam::SetAsBoolean(bool value) {
  Store(ftBoolean, Variant(value));
}

void TParam::SetAsFloat(double value) {
  Store(ftFloat, Variant(value));
}

void TParam::SetAsCurrency(double value) {
  Store(ftCurrency, Variant::FromCurrency(RoundToCurrency(value)));
}

void TParam::SetAsBCD(double value) {
  Store(ftBCD, Variant::FromCurrency(RoundToCurrency(value)));
}

void TParam::SetAsDate(TDateTime value) {
  Store(ftDate, Variant::FromDateTime(value));
}

void TParam::SetAsTime(TDateTime value) {
  Store(ftTime, Variant::FromDateTime(value));
}

void TParam::SetAsDateTime(TDateTime value) {
  Store(ftDateTime, Variant::FromDateTime(value));
}

void TParam::SetAsBlob(std::string value) {
  Store(ftBlob, Variant(std::move(value)));
}

TParam& TParams::Items(int index) {
  return const_cast<TParam&>(static_cast<const TParams&>(*this).Items(index));
}

const TParam& TParams::Items(int index) const {
  if (index < 0 || index >= Count()) {
    throw EListError(Format("List index out of bounds (%d)", {index}));
  }
  return *items_[static_cast<size_t>(index)];
}

TParam* TParams::FindParam(std::string_view name) {
  return const_cast<TParam*>(static_cast<const TParams&>(*this).FindParam(name));
}

const TParam* TParams::FindParam(std::string_view name) const {
  for (const auto& param : items_) {
    if (SameText(param->Name(), name)) return param.get();
  }
  return nullptr;
}

TParam& TParams::ParamByName(std::string_view name) {
  TParam* param = FindParam(name);
  if (param == nullptr) throw EDatabaseError(Format("Parameter '%s' not found", {name}));
  return *param;
}

void TParams::Rebuild(const std::vector<std::string>& names) {
  std::vector<std::unique_ptr<TParam>> items;
  items.reserve(names.size());
  for (const std::string& name : names) {
    auto param = std::make_unique<TParam>(name);
    if (const TParam* old = FindParam(name)) {
      param->SetDataType(old->DataType());
      param->SetValue(old->Value());
    }
    items.push_back(std::move(param));
  }
  items_ = std::move(items);
}

}  // namespace korvi
