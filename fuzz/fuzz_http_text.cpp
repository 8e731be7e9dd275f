// Fuzz target for the HTTP text utilities: URL decoding (malformed escapes
// raise EConvertError, nothing else), the encoding round trip, HTTP dates,
// field splitting with separator and blank sets the input chooses, and the
// path delimiter conversions.
#include "korvi/web/http_text.h"

#include <cmath>

#include "fuzz_check.h"
#include "korvi/host/exceptions.h"
#include "korvi/host/string_list.h"

using korvi::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvi::fuzz::TFuzzInput input(data, size);
  const std::uint8_t separator_choice = input.Byte();
  const std::uint8_t blank_choice = input.Byte();
  const std::string_view text = input.Rest();

  try {
    korvi::HTTPDecode(text);
  } catch (const korvi::EConvertError&) {
  }
  const std::string encoded = korvi::HTTPEncode(text);
  Check(korvi::HTTPDecode(encoded) == text, "HTTPDecode(HTTPEncode(x)) == x");
  for (char c : encoded) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    Check(plain || std::string_view("!$'()*-.@_%+").find(c) != std::string_view::npos,
          "HTTPEncode writes letters, digits, the kept marks, escapes and +");
  }

  try {
    Check(std::isfinite(korvi::ParseDate(text)), "ParseDate gives a finite day count");
  } catch (const korvi::EConvertError&) {
  }

  // The separators and blanks: the ones the server uses, picked by bits.
  static constexpr char kMarks[] = {'&', ';', ',', '=', ' ', '\t', '"', ':'};
  korvi::TCharSet separators;
  korvi::TCharSet blanks;
  for (int bit = 0; bit < 8; ++bit) {
    if (separator_choice & (1u << bit)) separators.Include(kMarks[bit]);
    if (blank_choice & (1u << bit)) blanks.Include(kMarks[bit]);
  }
  for (const bool decode : {false, true}) {
    korvi::TStringList fields;
    try {
      korvi::ExtractHeaderFields(separators, blanks, text, fields, decode);
    } catch (const korvi::EConvertError&) {
      Check(decode, "only decoding raises while fields are extracted");
    }
    for (int i = 0; i < fields.Count(); ++i)
      Check(!fields[i].empty(), "no field is empty");
  }

  const std::string unix_path = korvi::DosPathToUnixPath(text);
  Check(unix_path.find('\\') == std::string::npos, "DosPathToUnixPath leaves no backslash");
  Check(korvi::DosPathToUnixPath(korvi::UnixPathToDosPath(text)) == unix_path,
        "the two path conversions undo each other");
  return 0;
}
