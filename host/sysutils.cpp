// Text and number conversions on byte strings: integer and floating-point
// texts, blank trimming, ASCII case mapping and comparison, the tick count.
#include "korvi/host/sysutils.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>

#include "korvi/host/exceptions.h"

namespace korvi {

namespace {

bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

char LowerChar(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = UpCase(c);
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses an integer text within [min, max]; false on any malformed text or
// a value out of range.
bool ParseInteger(std::string_view text, std::int64_t min, std::int64_t max, std::int64_t& out) {
  std::size_t pos = 0;
  while (pos < text.size() && IsBlank(text[pos]))
    ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  unsigned base = 10;
  if (pos < text.size() && text[pos] == '$') {
    base = 16;
    ++pos;
  } else if (pos + 1 < text.size() && text[pos] == '0' && UpCase(text[pos + 1]) == 'X') {
    base = 16;
    pos += 2;
  }
  if (pos >= text.size()) return false;
  // The magnitude may reach |min|, one more than max.
  const std::uint64_t limit =
      negative ? 0 - static_cast<std::uint64_t>(min) : static_cast<std::uint64_t>(max);
  std::uint64_t magnitude = 0;
  for (; pos < text.size(); ++pos) {
    const int digit = base == 16 ? HexDigitValue(text[pos])
                                 : (text[pos] >= '0' && text[pos] <= '9' ? text[pos] - '0' : -1);
    if (digit < 0) return false;
    if (magnitude > (limit - digit) / base) return false;
    magnitude = magnitude * base + digit;
  }
  out = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
  return true;
}

[[noreturn]] void RaiseNotInteger(std::string_view text) {
  throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
}

// The decimal digits of |value| rounded to `precision` significant digits,
// and the power of ten of the first digit.
struct DecimalDigits {
  std::string digits;
  int exponent = 0;
};

DecimalDigits ToDecimalDigits(double magnitude, int precision) {
  // The same text as printf's "%.*e", written without the formatting machinery.
  char buffer[64];  // room for the 18 digits precision allows at most
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, magnitude,
                                     std::chars_format::scientific, precision - 1);
  *written.ptr = 0;
  DecimalDigits result;
  const char* p = buffer;
  for (; *p != 'e'; ++p) {
    if (*p != '.') result.digits += *p;
  }
  result.exponent = std::atoi(p + 1);
  return result;
}

// "E", the exponent's sign ("+" only when `plus`) and at least `min_digits` digits.
std::string ExponentText(int exponent, bool plus, int min_digits) {
  std::string digits = std::to_string(exponent < 0 ? -exponent : exponent);
  if (static_cast<int>(digits.size()) < min_digits)
    digits.insert(0, min_digits - digits.size(), '0');
  return std::string("E") + (exponent < 0 ? "-" : (plus ? "+" : "")) + digits;
}

std::string GeneralText(double magnitude, int precision, int exponent_digits) {
  if (magnitude == 0) return "0";
  DecimalDigits d = ToDecimalDigits(magnitude, precision);
  while (d.digits.size() > 1 && d.digits.back() == '0')
    d.digits.pop_back();
  const int before_point = d.exponent + 1;
  if (before_point > precision || d.exponent < -5) {
    std::string out(1, d.digits[0]);
    if (d.digits.size() > 1) out += "." + d.digits.substr(1);
    return out + ExponentText(d.exponent, false, exponent_digits);
  }
  if (before_point <= 0) return "0." + std::string(-before_point, '0') + d.digits;
  if (static_cast<int>(d.digits.size()) <= before_point) {
    return d.digits + std::string(before_point - d.digits.size(), '0');
  }
  return d.digits.substr(0, before_point) + "." + d.digits.substr(before_point);
}

std::string ExponentFormText(double magnitude, int precision, int exponent_digits) {
  const DecimalDigits d = ToDecimalDigits(magnitude, precision);
  std::string out(1, d.digits[0]);
  if (d.digits.size() > 1) out += "." + d.digits.substr(1);
  return out + ExponentText(d.exponent, true, exponent_digits);
}

}  // namespace

std::int32_t StrToInt(std::string_view text) {
  std::int64_t value = 0;
  if (!ParseInteger(text, INT32_MIN, INT32_MAX, value)) RaiseNotInteger(text);
  return static_cast<std::int32_t>(value);
}

std::int64_t StrToInt64(std::string_view text) {
  std::int64_t value = 0;
  if (!ParseInteger(text, INT64_MIN, INT64_MAX, value)) RaiseNotInteger(text);
  return value;
}

std::int32_t StrToIntDef(std::string_view text, std::int32_t fallback) {
  std::int32_t value = fallback;
  TryStrToInt(text, value);
  return value;
}

bool TryStrToInt(std::string_view text, std::int32_t& value) {
  std::int64_t parsed = 0;
  if (!ParseInteger(text, INT32_MIN, INT32_MAX, parsed)) return false;
  value = static_cast<std::int32_t>(parsed);
  return true;
}

std::int32_t ParseLeadingNumber(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size() && IsBlank(text[pos]))
    ++pos;
  std::int64_t value = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    value = value * 10 + (text[pos] - '0');
    if (value > INT32_MAX) return INT32_MAX;
  }
  return static_cast<std::int32_t>(value);
}

std::string IntToStr(std::int64_t value) {
  return std::to_string(value);
}

std::string IntToHex(std::int64_t value, int digits) {
  std::uint64_t bits = static_cast<std::uint64_t>(value);
  std::string out;
  do {
    out.insert(out.begin(), "0123456789ABCDEF"[bits & 15]);
    bits >>= 4;
  } while (bits != 0);
  if (static_cast<int>(out.size()) < digits) out.insert(0, digits - out.size(), '0');
  return out;
}

std::string FloatToStr(double value) {
  return FloatToStrF(value, ffGeneral, 15, 0);
}

std::string FloatToStrF(double value, TFloatFormat format, int precision, int digits) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  precision = precision < 1 ? 1 : (precision > 18 ? 18 : precision);
  digits = digits < 0 ? 0 : digits;
  const std::string sign = std::signbit(value) && value != 0 ? "-" : "";
  const double magnitude = std::fabs(value);
  switch (format) {
    case ffGeneral:
      return sign + GeneralText(magnitude, precision, digits);
    case ffExponent:
      return sign + ExponentFormText(magnitude, precision, digits);
    case ffFixed:
      break;
  }
  // More integer digits than the precision can show switch to scientific form.
  if (magnitude >= std::pow(10.0, precision))
    return sign + ExponentFormText(magnitude, precision, 3);
  std::string out(400, '\0');
  const int decimals = digits > 18 ? 18 : digits;
  out.resize(std::snprintf(out.data(), out.size(), "%.*f", decimals, magnitude));
  // A value that rounds to zero shows without a sign.
  return (out.find_first_not_of("0.") == std::string::npos ? "" : sign) + out;
}

double StrToFloat(std::string_view text) {
  const std::string trimmed = Trim(text);
  std::string_view body = trimmed;
  bool negative = false;
  if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  // Only plain decimal forms: from_chars would also take "inf", "nan" and hex.
  const bool plain =
      !body.empty() && ((body[0] >= '0' && body[0] <= '9') ||
                        (body[0] == '.' && body.size() > 1 && body[1] >= '0' && body[1] <= '9'));
  double value = 0;
  if (plain) {
    const auto [end, error] =
        std::from_chars(body.data(), body.data() + body.size(), value, std::chars_format::general);
    if (error == std::errc() && end == body.data() + body.size()) return negative ? -value : value;
  }
  throw EConvertError("'" + std::string(text) + "' is not a valid floating point value");
}

std::string Trim(std::string_view text) {
  return TrimRight(TrimLeft(text));
}

std::string TrimLeft(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size() && IsBlank(text[begin]))
    ++begin;
  return std::string(text.substr(begin));
}

std::string TrimRight(std::string_view text) {
  std::size_t end = text.size();
  while (end > 0 && IsBlank(text[end - 1]))
    --end;
  return std::string(text.substr(0, end));
}

char UpCase(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string UpperCase(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    c = UpCase(c);
  return out;
}

std::string LowerCase(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    c = LowerChar(c);
  return out;
}

int CompareText(std::string_view a, std::string_view b) {
  const std::size_t common = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < common; ++i) {
    const int ca = static_cast<unsigned char>(UpCase(a[i]));
    const int cb = static_cast<unsigned char>(UpCase(b[i]));
    if (ca != cb) return ca - cb;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CompareText(a, b) == 0;
}

std::uint32_t GetTickCount() {
  const auto since = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

}  // namespace korvi
