/// \file
/// Text and number conversions of the framework, on byte strings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace korvi {

/// Converts text to an integer: optional leading blanks, an optional sign, then
/// decimal digits or "$"/"0x" followed by hexadecimal digits (either case).
/// Anything else, an empty text or an overflow raises EConvertError with the
/// message "'<text>' is not a valid integer value".
std::int32_t StrToInt(std::string_view text);
/// As StrToInt, for 64-bit values.
std::int64_t StrToInt64(std::string_view text);
/// As StrToInt, returning `fallback` instead of raising.
std::int32_t StrToIntDef(std::string_view text, std::int32_t fallback);
/// As StrToInt; returns false (and leaves `value` alone) instead of raising.
bool TryStrToInt(std::string_view text, std::int32_t& value);
/// Skips leading blanks, then reads decimal digits up to the first non-digit
/// ("80abc" gives 80, "abc" gives 0). Saturates instead of overflowing.
std::int32_t ParseLeadingNumber(std::string_view text);

/// Decimal text of an integer.
std::string IntToStr(std::int64_t value);
/// Upper-case hexadecimal text, padded with zeros to at least `digits`.
std::string IntToHex(std::int64_t value, int digits);
/// General form with up to 15 significant digits ("1.5", "100", "1E20").
std::string FloatToStr(double value);
/// Forms of FloatToStrF: general (shortest of fixed and scientific, trailing
/// zeros dropped), scientific ("1.50E+003") and fixed-point.
enum TFloatFormat { ffGeneral, ffExponent, ffFixed };
/// Formats `value` with `precision` significant digits (1 to 18). `digits` is
/// the minimum number of exponent digits for ffGeneral/ffExponent and the
/// number of decimals for ffFixed. NaN and infinities give "NAN", "INF", "-INF".
std::string FloatToStrF(double value, TFloatFormat format, int precision, int digits);
/// Reads a decimal floating-point text ("." as the decimal point); raises
/// EConvertError "'<text>' is not a valid floating point value".
double StrToFloat(std::string_view text);

/// Removes bytes 0 to 32 from both ends / the start / the end.
///@{
std::string Trim(std::string_view text);
std::string TrimLeft(std::string_view text);
std::string TrimRight(std::string_view text);
///@}
/// The upper-case form of an ASCII letter; every other byte comes back unchanged.
char UpCase(char c);
///@{
/// ASCII-only case mapping; bytes outside a-z/A-Z are unchanged.
std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);
///@}
/// Compares after ASCII upper-casing: <0, 0 or >0.
int CompareText(std::string_view a, std::string_view b);
/// True when the texts are equal without regard to ASCII case.
bool SameText(std::string_view a, std::string_view b);

/// Milliseconds from a monotonic clock, wrapping like the system tick count.
std::uint32_t GetTickCount();

}  // namespace korvi
