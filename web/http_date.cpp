// IMF-fixdate output and the strict reader of the three HTTP date forms.
#include "korvi/web/http_date.h"

#include <array>
#include <cstddef>
#include <string>

#include "korvi/host/datetime.h"
#include "korvi/web/http_grammar.h"

namespace korvi {

namespace {

constexpr const char* kLongDayNames[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                          "Thursday", "Friday", "Saturday"};

constexpr std::int64_t kSecondsPerDay = 86400;

// The fields of a date as read, before they are checked.
struct DateFields {
  int year = 0;
  int month = 0;  // 1 to 12
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// Reads a date text from left to right; every step either consumes what it
// expects and returns true, or returns false.
class DateReader {
 public:
  explicit DateReader(std::string_view text) : text_(text) {}

  bool AtEnd() const { return text_.empty(); }

  bool Literal(std::string_view expected) {
    if (!text_.starts_with(expected)) return false;
    text_.remove_prefix(expected.size());
    return true;
  }

  // Exactly `count` decimal digits.
  bool Digits(int count, int& value) {
    if (text_.size() < static_cast<std::size_t>(count)) return false;
    value = 0;
    for (int i = 0; i < count; ++i) {
      const char c = text_[static_cast<std::size_t>(i)];
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    text_.remove_prefix(static_cast<std::size_t>(count));
    return true;
  }

  // One of the `count` names; `index` is its position.
  bool Name(const char* const* names, int count, int& index) {
    for (index = 0; index < count; ++index) {
      if (Literal(names[index])) return true;
    }
    return false;
  }

  bool Month(int& month) {
    if (!Name(ShortMonthNames, 12, month)) return false;
    ++month;
    return true;
  }

  // "hh:mm:ss".
  bool TimeOfDay(DateFields& fields) {
    return Digits(2, fields.hour) && Literal(":") && Digits(2, fields.minute) && Literal(":") &&
           Digits(2, fields.second);
  }

 private:
  std::string_view text_;
};

// "Sun, 06 Nov 1994 08:49:37 GMT"
bool ReadImfFixdate(std::string_view text, DateFields& fields) {
  DateReader in(text);
  int weekday = 0;
  return in.Name(ShortDayNames, 7, weekday) && in.Literal(", ") && in.Digits(2, fields.day) &&
         in.Literal(" ") && in.Month(fields.month) && in.Literal(" ") &&
         in.Digits(4, fields.year) && in.Literal(" ") && in.TimeOfDay(fields) &&
         in.Literal(" GMT") && in.AtEnd();
}

// "Sunday, 06-Nov-94 08:49:37 GMT"
bool ReadRfc850(std::string_view text, DateFields& fields) {
  DateReader in(text);
  int weekday = 0;
  if (!(in.Name(kLongDayNames, 7, weekday) && in.Literal(", ") && in.Digits(2, fields.day) &&
        in.Literal("-") && in.Month(fields.month) && in.Literal("-") && in.Digits(2, fields.year) &&
        in.Literal(" ") && in.TimeOfDay(fields) && in.Literal(" GMT") && in.AtEnd())) {
    return false;
  }
  fields.year += fields.year < 70 ? 2000 : 1900;
  return true;
}

// "Sun Nov  6 08:49:37 1994" (a one-digit day is led by a blank).
bool ReadAsctime(std::string_view text, DateFields& fields) {
  DateReader in(text);
  int weekday = 0;
  if (!(in.Name(ShortDayNames, 7, weekday) && in.Literal(" ") && in.Month(fields.month) &&
        in.Literal(" "))) {
    return false;
  }
  const bool day_read = in.Literal(" ") ? in.Digits(1, fields.day) : in.Digits(2, fields.day);
  return day_read && in.Literal(" ") && in.TimeOfDay(fields) && in.Literal(" ") &&
         in.Digits(4, fields.year) && in.AtEnd();
}

}  // namespace

std::string FormatHttpDate(std::int64_t unix_seconds) {
  // An answer names the same few seconds again and again (now, a file's
  // time), so each thread keeps the last two texts it made.
  struct TMade {
    std::int64_t seconds = 0;
    std::string text;
  };
  thread_local std::array<TMade, 2> made;
  thread_local std::size_t next = 0;
  for (const TMade& entry : made) {
    if (!entry.text.empty() && entry.seconds == unix_seconds) return entry.text;
  }
  TMade& entry = made[next];
  next = 1 - next;
  entry.seconds = unix_seconds;
  entry.text = FormatDateTime("ddd, dd mmm yyyy hh:nn:ss \"GMT\"", UnixToDateTime(unix_seconds));
  return entry.text;
}

std::optional<std::int64_t> ParseHttpDate(std::string_view text) {
  text = TrimOws(text);
  DateFields fields;
  if (!ReadImfFixdate(text, fields) && !ReadRfc850(text, fields) && !ReadAsctime(text, fields)) {
    return std::nullopt;
  }
  // The time may name a leap second (60).
  TDateTime day = 0.0;
  if (fields.hour > 23 || fields.minute > 59 || fields.second > 60 ||
      !TryEncodeDate(fields.year, fields.month, fields.day, day)) {
    return std::nullopt;
  }
  const std::int64_t unix_day = static_cast<std::int64_t>(day - UnixToDateTime(0));
  return unix_day * kSecondsPerDay + fields.hour * 3600 + fields.minute * 60 + fields.second;
}

}  // namespace korvi
