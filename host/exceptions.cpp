// Format: the framework's printf-like formatting routine.
//
// A directive is "%" ["-"] [width] ["." precision] type. The argument kinds
// are strict: %d/%u/%x take integers, %f/%g/%e take floating-point numbers and
// %s takes texts; anything else raises EConvertError.
#include "korvi/host/exceptions.h"

#include <string>

#include "korvi/host/sysutils.h"

namespace korvi {

namespace {

struct Directive {
  bool left = false;
  int width = -1;
  int precision = -1;
  char type = 0;
};

[[noreturn]] void RaiseFormatError(std::string_view format) {
  throw EConvertError("Format '" + std::string(format) + "' invalid or incompatible with argument");
}

// Reads a run of decimal digits at `pos`; -1 when there is none.
int ReadCount(std::string_view text, std::size_t& pos) {
  if (pos >= text.size() || text[pos] < '0' || text[pos] > '9') return -1;
  int value = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    if (value < 100000) value = value * 10 + (text[pos] - '0');
    ++pos;
  }
  return value;
}

// Parses the directive that starts after the "%" at `pos`; leaves `pos` after
// its type letter.
Directive ParseDirective(std::string_view format, std::size_t& pos) {
  Directive d;
  if (pos < format.size() && format[pos] == '-') {
    d.left = true;
    ++pos;
  }
  d.width = ReadCount(format, pos);
  if (pos < format.size() && format[pos] == '.') {
    ++pos;
    d.precision = ReadCount(format, pos);
    if (d.precision < 0) d.precision = 0;
  }
  if (pos >= format.size()) RaiseFormatError(format);
  d.type = format[pos++];
  if (d.type >= 'A' && d.type <= 'Z') d.type = static_cast<char>(d.type - 'A' + 'a');
  return d;
}

// Digits of `magnitude` in `base`, upper-case, zero-padded to `min_digits`.
std::string Digits(std::uint64_t magnitude, unsigned base, int min_digits) {
  std::string out;
  do {
    out.insert(out.begin(), "0123456789ABCDEF"[magnitude % base]);
    magnitude /= base;
  } while (magnitude != 0);
  if (static_cast<int>(out.size()) < min_digits) out.insert(0, min_digits - out.size(), '0');
  return out;
}

std::string FormatInteger(const Directive& d, std::int64_t value) {
  switch (d.type) {
    case 'd': {
      const std::uint64_t magnitude =
          value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
      return (value < 0 ? "-" : "") + Digits(magnitude, 10, d.precision);
    }
    case 'u':
      return Digits(static_cast<std::uint64_t>(value), 10, d.precision);
    default: {
      // A negative value that fits 32 bits shows as a 32-bit two's complement,
      // as the framework's Integer arguments do.
      std::uint64_t bits = static_cast<std::uint64_t>(value);
      if (value < 0 && value >= INT32_MIN) bits &= 0xFFFFFFFFu;
      return Digits(bits, 16, d.precision);
    }
  }
}

std::string FormatFloat(const Directive& d, double value) {
  switch (d.type) {
    case 'f':
      return FloatToStrF(value, ffFixed, 18, d.precision < 0 ? 2 : d.precision);
    case 'e':
      return FloatToStrF(value, ffExponent, d.precision < 0 ? 15 : d.precision, 3);
    default:
      return FloatToStrF(value, ffGeneral, d.precision < 0 ? 15 : d.precision, 3);
  }
}

// The text of one directive before width padding.
std::string FormatOne(std::string_view format, const Directive& d, const FormatArg& arg) {
  const auto& value = arg.Value();
  switch (d.type) {
    case 'd':
    case 'u':
    case 'x':
      if (!std::holds_alternative<std::int64_t>(value)) RaiseFormatError(format);
      return FormatInteger(d, std::get<std::int64_t>(value));
    case 'f':
    case 'g':
    case 'e':
      if (!std::holds_alternative<double>(value)) RaiseFormatError(format);
      return FormatFloat(d, std::get<double>(value));
    case 's': {
      if (!std::holds_alternative<std::string>(value)) RaiseFormatError(format);
      const std::string& text = std::get<std::string>(value);
      if (d.precision >= 0 && static_cast<std::size_t>(d.precision) < text.size()) {
        return text.substr(0, d.precision);
      }
      return text;
    }
    default:
      RaiseFormatError(format);
  }
}

}  // namespace

std::string Format(std::string_view format, std::initializer_list<FormatArg> args) {
  std::string out;
  auto next = args.begin();
  std::size_t pos = 0;
  while (pos < format.size()) {
    const char c = format[pos++];
    if (c != '%') {
      out += c;
      continue;
    }
    if (pos < format.size() && format[pos] == '%') {
      out += '%';
      ++pos;
      continue;
    }
    const Directive d = ParseDirective(format, pos);
    if (next == args.end()) RaiseFormatError(format);
    std::string text = FormatOne(format, d, *next++);
    if (d.width > 0 && static_cast<std::size_t>(d.width) > text.size()) {
      const std::string padding(d.width - text.size(), ' ');
      text = d.left ? text + padding : padding + text;
    }
    out += text;
  }
  return out;
}

}  // namespace korvi
