/// \file
/// Query parameters: TFieldType (the field-type enumeration whose positions
/// declare a parameter's type), TParam (name, declared type, value) and
/// TParams (the list a query rebuilds from the ":name" markers of its SQL).
///
/// Each typed setter stores the value and declares the matching type;
/// SetValue stores a variant and leaves the declared type alone. The declared
/// type decides how a value reaches the database (see TSQLiteDatabase).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "korvi/host/datetime.h"
#include "korvi/host/variant.h"

namespace korvi {

/// Field and parameter data types; the numbers are the positions that stored
/// query definitions and type switches rely on.
enum TFieldType : int {
  ftUnknown = 0,
  ftString = 1,
  ftSmallint = 2,
  ftInteger = 3,
  ftWord = 4,
  ftBoolean = 5,
  ftFloat = 6,
  ftCurrency = 7,
  ftBCD = 8,
  ftDate = 9,
  ftTime = 10,
  ftDateTime = 11,
  ftBytes = 12,
  ftVarBytes = 13,
  ftAutoInc = 14,
  ftBlob = 15,
  ftMemo = 16,
  ftGraphic = 17,
  ftFmtMemo = 18,
  ftParadoxOle = 19,
  ftDBaseOle = 20,
  ftTypedBinary = 21,
  ftCursor = 22,
  ftFixedChar = 23,
  ftWideString = 24,
  ftLargeint = 25,
  ftADT = 26,
  ftArray = 27,
  ftReference = 28,
  ftDataSet = 29,
};

/// True for the types whose values are bytes rather than text (ftBlob,
/// ftBytes, ftVarBytes, ftGraphic, ftTypedBinary).
bool IsBinaryType(TFieldType type);

/// One parameter of a query: a name, a declared type and a value.
class TParam {
 public:
  /// Creates a parameter named `name`, of unknown type and without value.
  explicit TParam(std::string name) : name_(std::move(name)) {}

  /// The name as written after ":" in the SQL text.
  const std::string& Name() const { return name_; }
  /// The declared data type (ftUnknown until declared).
  TFieldType DataType() const { return data_type_; }
  /// Declares the data type; the value is kept.
  void SetDataType(TFieldType value) { data_type_ = value; }

  /// The value (null until set).
  const Variant& Value() const { return value_; }
  /// True while no value is set.
  bool IsNull() const { return value_.IsNull(); }
  /// The value as text (empty for null).
  std::string AsString() const { return value_.AsString(); }
  /// Stores a variant value; the declared type is unchanged.
  void SetValue(Variant value) { value_ = std::move(value); }
  /// Clears the value back to null.
  void Clear() { value_ = Variant(); }

  ///@{
  /// Typed setters: each stores the value and declares its type. A text
  /// keeps a declared text type (memo, fixed or wide characters).
  void SetAsString(std::string value);
  void SetAsSmallInt(std::int32_t value);
  void SetAsInteger(std::int32_t value);
  void SetAsWord(std::int32_t value);
  void SetAsBoolean(bool value);
  void SetAsFloat(double value);
  ///@}
  ///@{
  /// Currency and BCD values are rounded to four decimal places.
  void SetAsCurrency(double value);
  void SetAsBCD(double value);
  ///@}
  ///@{
  /// Each stores the value and declares its type (date, time, date and time).
  void SetAsDate(TDateTime value);
  void SetAsTime(TDateTime value);
  void SetAsDateTime(TDateTime value);
  ///@}
  /// A binary value: the bytes of `value`, declared ftBlob.
  void SetAsBlob(std::string value);

 private:
  void Store(TFieldType type, Variant value);

  std::string name_;
  TFieldType data_type_ = ftUnknown;
  Variant value_;
};

/// The parameters of a query, in order.
class TParams {
 public:
  /// Number of parameters.
  int Count() const { return static_cast<int>(items_.size()); }
  ///@{
  /// Parameter `index` (from 0); raises EListError when out of range.
  TParam& Items(int index);
  const TParam& Items(int index) const;
  TParam& operator[](int index) { return Items(index); }
  const TParam& operator[](int index) const { return Items(index); }
  ///@}
  ///@{
  /// The parameter named `name` (without regard to case), or nullptr.
  TParam* FindParam(std::string_view name);
  const TParam* FindParam(std::string_view name) const;
  ///@}
  /// The parameter named `name`; raises EDatabaseError "Parameter '<name>' not found".
  TParam& ParamByName(std::string_view name);

  /// Replaces the list by parameters named `names`, in order; a parameter whose
  /// name was already in the list keeps its declared type and value.
  void Rebuild(const std::vector<std::string>& names);

 private:
  std::vector<std::unique_ptr<TParam>> items_;
};

}  // namespace korvi
