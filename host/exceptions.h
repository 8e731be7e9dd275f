/// \file
/// Exception hierarchy of the library and the framework-style Format helper.
///
/// Every failure the library raises is an Exception (or a subclass) carrying a
/// message text. Format follows the framework's formatting routine: %s, %d, %u,
/// %x (upper-case hex digits), %f, %g, %e and %%, each with optional "-" flag,
/// width and precision ("%.2x" pads hex to two digits, "%5d" pads with blanks).
#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <variant>

namespace korvi {

/// Base of every exception the library raises: a message and nothing more.
class Exception : public std::exception {
 public:
  /// An exception with the message text `message`.
  explicit Exception(std::string message) : message_(std::move(message)) {}
  /// The message text.
  const std::string& Message() const noexcept { return message_; }
  /// The message text, for std::exception.
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

/// A text could not be converted to a number, date or time.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

/// A template or text parser met input it cannot read.
class EParserError : public Exception {
 public:
  using Exception::Exception;
};

/// A stream could not be read, written or positioned.
class EStreamError : public Exception {
 public:
  using Exception::Exception;
};

/// A file stream could not open its file.
class EFOpenError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

/// A list index was out of range.
class EListError : public Exception {
 public:
  using Exception::Exception;
};

/// A variant could not be converted to the requested type.
class EVariantError : public Exception {
 public:
  using Exception::Exception;
};

/// One argument of Format: an integer, a floating-point number or a text.
class FormatArg {
 public:
  ///@{
  /// Takes an integer, a floating-point number or a text (copied).
  FormatArg(int v) : value_(static_cast<std::int64_t>(v)) {}
  FormatArg(long v) : value_(static_cast<std::int64_t>(v)) {}
  FormatArg(long long v) : value_(static_cast<std::int64_t>(v)) {}
  FormatArg(unsigned v) : value_(static_cast<std::int64_t>(v)) {}
  FormatArg(unsigned long v) : value_(static_cast<std::int64_t>(v)) {}
  FormatArg(unsigned long long v) : value_(static_cast<std::int64_t>(v)) {}
  FormatArg(double v) : value_(v) {}
  FormatArg(const char* v) : value_(std::string(v)) {}
  FormatArg(std::string v) : value_(std::move(v)) {}
  FormatArg(std::string_view v) : value_(std::string(v)) {}
  ///@}

  /// The argument: an integer, a floating-point number or a text.
  const std::variant<std::int64_t, double, std::string>& Value() const { return value_; }

 private:
  std::variant<std::int64_t, double, std::string> value_;
};

/// Formats `format` with `args` the way the framework's Format does. A
/// directive whose argument is missing or of the wrong kind raises
/// EConvertError ("Format '<format>' invalid or incompatible with argument").
std::string Format(std::string_view format, std::initializer_list<FormatArg> args);

}  // namespace korvi
