/// \file
/// Variant: a value that is null, an integer, a float, a text, a boolean, a
/// date-time or a currency amount, with the framework's conversions.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "korvi/host/datetime.h"

namespace korvi {

/// The kinds of value a Variant holds.
enum class TVarType { varNull, varInteger, varDouble, varString, varBoolean, varDate, varCurrency };

/// A value that is null, an integer, a float, a text, a boolean, a date or a currency amount.
class Variant {
 public:
  Variant() = default;  ///< null
  ///@{
  /// A value of the given kind.
  Variant(int v) : type_(TVarType::varInteger), value_(static_cast<std::int64_t>(v)) {}
  Variant(std::int64_t v) : type_(TVarType::varInteger), value_(v) {}
  Variant(double v) : type_(TVarType::varDouble), value_(v) {}
  Variant(bool v) : type_(TVarType::varBoolean), value_(v) {}
  Variant(const char* v) : type_(TVarType::varString), value_(std::string(v)) {}
  Variant(std::string v) : type_(TVarType::varString), value_(std::move(v)) {}
  ///@}
  /// A date-time value (TDateTime is a double, so it needs its own maker).
  static Variant FromDateTime(TDateTime v);
  /// A currency amount (held as a double, shown with up to four decimals).
  static Variant FromCurrency(double v);

  /// The kind of value held.
  TVarType VarType() const { return type_; }
  /// True when null.
  bool IsNull() const { return type_ == TVarType::varNull; }

  ///@{
  /// Conversions; a text that is not a number (or a null for the numeric
  /// forms) raises EVariantError "Could not convert variant of type (<from>)
  /// into type (<to>)". Null converts to the empty text and to false.
  std::string AsString() const;
  std::int64_t AsInteger() const;
  double AsFloat() const;
  bool AsBoolean() const;  ///< texts "True"/"False" (any case) or numbers
  TDateTime AsDateTime() const;
  ///@}

  /// Equal kinds compare their values; numbers compare as numbers, a null equals only a null,
  /// anything else compares as text.
  bool operator==(const Variant& other) const;

 private:
  /// The value as a number; false for null and for texts that are no number.
  bool TryAsFloat(double& number) const;
  TVarType type_ = TVarType::varNull;
  std::variant<std::monostate, std::int64_t, double, bool, std::string> value_;
};

}  // namespace korvi
