/// \file
/// TPropertySource: stored property values of a component, name=value, as a
/// loaded component applies them (for example one section of an ini file).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "korvi/host/string_list.h"

namespace korvi {

/// Stored property values of a component, name=value.
class TPropertySource {
 public:
  /// A source over name=value lines (names compare without regard to case).
  explicit TPropertySource(const TStringList& Values);
  /// The lines of `Section` of the ini file `Path` (none when either is missing).
  static TPropertySource FromIniSection(const std::string& Path, std::string_view Section);

  /// True when a value is stored under `Name`.
  bool Has(std::string_view Name) const;
  /// The stored text of `Name` (empty when absent).
  std::string Text(std::string_view Name) const;
  /// The stored value read as a decimal integer; raises EConvertError
  /// "Invalid value for property <Name>: '<text>'" otherwise.
  std::int32_t Integer(std::string_view Name) const;
  /// The stored value read as True/False (also 1/0, Yes/No, without regard to
  /// case); raises EConvertError as Integer does otherwise.
  bool Boolean(std::string_view Name) const;

 private:
  TStringList values_;
};

}  // namespace korvi
