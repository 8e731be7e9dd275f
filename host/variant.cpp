// Variant conversions: every kind to text, number, boolean and date-time,
// and comparison across kinds.
#include "korvi/host/variant.h"

#include <cmath>

#include "korvi/host/exceptions.h"
#include "korvi/host/sysutils.h"

namespace korvi {

namespace {

const char* TypeName(TVarType type) {
  switch (type) {
    case TVarType::varNull:
      return "Null";
    case TVarType::varInteger:
      return "Integer";
    case TVarType::varDouble:
      return "Double";
    case TVarType::varString:
      return "String";
    case TVarType::varBoolean:
      return "Boolean";
    case TVarType::varDate:
      return "Date";
    case TVarType::varCurrency:
      return "Currency";
  }
  return "Unknown";
}

[[noreturn]] void RaiseCannotConvert(TVarType from, TVarType to) {
  throw EVariantError(std::string("Could not convert variant of type (") + TypeName(from) +
                      ") into type (" + TypeName(to) + ")");
}

// A currency amount rounded to its four decimals.
double RoundCurrency(double value) {
  return std::round(value * 10000.0) / 10000.0;
}

// A currency amount with up to four decimals and no trailing zeros.
std::string CurrencyText(double value) {
  std::string text = FloatToStrF(value, ffFixed, 18, 4);
  if (text.find('.') == std::string::npos) return text;
  while (text.back() == '0')
    text.pop_back();
  if (text.back() == '.') text.pop_back();
  return text;
}

bool TextToInteger(const std::string& text, std::int64_t& value) {
  try {
    value = StrToInt64(text);
    return true;
  } catch (const EConvertError&) {
    return false;
  }
}

bool TextToFloat(const std::string& text, double& value) {
  try {
    value = StrToFloat(text);
    return true;
  } catch (const EConvertError&) {
    return false;
  }
}

bool IsNumeric(TVarType type) {
  return type != TVarType::varNull && type != TVarType::varString;
}

}  // namespace

Variant Variant::FromDateTime(TDateTime v) {
  Variant result(v);
  result.type_ = TVarType::varDate;
  return result;
}

Variant Variant::FromCurrency(double v) {
  Variant result(RoundCurrency(v));
  result.type_ = TVarType::varCurrency;
  return result;
}

std::string Variant::AsString() const {
  switch (type_) {
    case TVarType::varNull:
      return {};
    case TVarType::varInteger:
      return IntToStr(std::get<std::int64_t>(value_));
    case TVarType::varDouble:
      return FloatToStr(std::get<double>(value_));
    case TVarType::varString:
      return std::get<std::string>(value_);
    case TVarType::varBoolean:
      return std::get<bool>(value_) ? "True" : "False";
    case TVarType::varDate:
      return DateTimeToStr(std::get<double>(value_));
    case TVarType::varCurrency:
      return CurrencyText(std::get<double>(value_));
  }
  return {};
}

std::int64_t Variant::AsInteger() const {
  if (type_ == TVarType::varInteger) return std::get<std::int64_t>(value_);
  if (type_ == TVarType::varString) {
    std::int64_t value = 0;
    if (TextToInteger(std::get<std::string>(value_), value)) return value;
  }
  double number = 0;
  if (!TryAsFloat(number)) RaiseCannotConvert(type_, TVarType::varInteger);
  // Fractions round to the nearest integer, halves to even.
  const double rounded = std::nearbyint(number);
  if (!(rounded >= -9223372036854775808.0 && rounded < 9223372036854775808.0)) {
    RaiseCannotConvert(type_, TVarType::varInteger);
  }
  return static_cast<std::int64_t>(rounded);
}

double Variant::AsFloat() const {
  double number = 0;
  if (!TryAsFloat(number)) RaiseCannotConvert(type_, TVarType::varDouble);
  return number;
}

bool Variant::AsBoolean() const {
  if (type_ == TVarType::varNull) return false;
  if (type_ == TVarType::varString) {
    const std::string& text = std::get<std::string>(value_);
    if (SameText(text, "True")) return true;
    if (SameText(text, "False")) return false;
  }
  double number = 0;
  if (!TryAsFloat(number)) RaiseCannotConvert(type_, TVarType::varBoolean);
  return number != 0;
}

TDateTime Variant::AsDateTime() const {
  if (type_ == TVarType::varString) {
    try {
      return StrToDateTime(std::get<std::string>(value_));
    } catch (const EConvertError&) {
      RaiseCannotConvert(type_, TVarType::varDate);
    }
  }
  double number = 0;
  if (!TryAsFloat(number)) RaiseCannotConvert(type_, TVarType::varDate);
  return number;
}

bool Variant::TryAsFloat(double& number) const {
  switch (type_) {
    case TVarType::varNull:
      return false;
    case TVarType::varInteger:
      number = static_cast<double>(std::get<std::int64_t>(value_));
      return true;
    case TVarType::varBoolean:
      number = std::get<bool>(value_) ? 1.0 : 0.0;
      return true;
    case TVarType::varString:
      return TextToFloat(std::get<std::string>(value_), number);
    case TVarType::varDouble:
    case TVarType::varDate:
    case TVarType::varCurrency:
      break;
  }
  number = std::get<double>(value_);
  return true;
}

bool Variant::operator==(const Variant& other) const {
  if (type_ == other.type_) return value_ == other.value_;
  if (IsNull() || other.IsNull()) return false;
  if (IsNumeric(type_) && IsNumeric(other.type_)) return AsFloat() == other.AsFloat();
  return AsString() == other.AsString();
}

}  // namespace korvi
