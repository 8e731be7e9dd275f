// Stored property values read from name=value lines or an ini section.
#include "korvi/server/property_source.h"

#include "korvi/host/exceptions.h"
#include "korvi/host/ini_file.h"
#include "korvi/host/sysutils.h"

namespace korvi {

namespace {

[[noreturn]] void RaiseInvalid(std::string_view name, std::string_view text) {
  throw EConvertError("Invalid value for property " + std::string(name) + ": '" +
                      std::string(text) + "'");
}

}  // namespace

TPropertySource::TPropertySource(const TStringList& Values) {
  values_.Assign(Values);
}

TPropertySource TPropertySource::FromIniSection(const std::string& Path, std::string_view Section) {
  TStringList lines;
  TIniFile(Path).ReadSectionValues(Section, lines);
  return TPropertySource(lines);
}

bool TPropertySource::Has(std::string_view Name) const {
  return values_.IndexOfName(Name) >= 0;
}

std::string TPropertySource::Text(std::string_view Name) const {
  return values_.Values(Name);
}

std::int32_t TPropertySource::Integer(std::string_view Name) const {
  const std::string text = Trim(Text(Name));
  bool digits = !text.empty();
  for (size_t i = (text.size() > 1 && text[0] == '-') ? 1 : 0; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') digits = false;
  }
  std::int32_t value = 0;
  if (!digits || !TryStrToInt(text, value)) RaiseInvalid(Name, text);
  return value;
}

bool TPropertySource::Boolean(std::string_view Name) const {
  const std::string text = Trim(Text(Name));
  for (const char* yes : {"true", "1", "yes"}) {
    if (SameText(text, yes)) return true;
  }
  for (const char* no : {"false", "0", "no"}) {
    if (SameText(text, no)) return false;
  }
  RaiseInvalid(Name, text);
}

}  // namespace korvi
