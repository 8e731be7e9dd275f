// The framework's day-count dates: encoding and decoding, the clock,
// FormatDateTime, and the local date and time forms with their readers.
#include "korvi/host/datetime.h"

#include <langinfo.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <vector>

#include "korvi/host/exceptions.h"
#include "korvi/host/sysutils.h"

namespace korvi {

const char* const ShortDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const ShortMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

namespace {

const char* const LongDayNames[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                     "Thursday", "Friday", "Saturday"};
const char* const LongMonthNames[12] = {"January",   "February", "March",    "April",
                                        "May",       "June",     "July",     "August",
                                        "September", "October",  "November", "December"};

constexpr std::int64_t MSecsPerDay = 86400000;
// Days from 1 January of year 1 (day 1) to 30 December 1899 (day count 0).
constexpr std::int64_t DateDelta = 693594;
// Day count of 1 January 1970, the Unix epoch.
constexpr std::int64_t UnixDateDelta = 25569;
// Day counts beyond 31 December 9999 are not dates.
constexpr double MaxDayCount = 2958466.0;

bool IsLeapYear(int year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int DaysInMonth(int year, int month) {
  static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

// A day count split into whole days since 1 January of year 1 (that day
// being 1) and milliseconds of the day. The time of day of a negative value
// is its fraction without the sign, as the framework reads it.
struct TimeStamp {
  std::int64_t date = 0;
  int msec = 0;
};

TimeStamp ToTimeStamp(TDateTime value) {
  if (!std::isfinite(value) || std::fabs(value) > MaxDayCount) return {};
  const std::int64_t total = std::llround(value * MSecsPerDay);
  return {total / MSecsPerDay + DateDelta, static_cast<int>(std::llabs(total % MSecsPerDay))};
}

// Joins a day count and a time fraction the way the framework does: the time
// counts away from zero for dates before 30 December 1899.
TDateTime Combine(TDateTime date, TDateTime time) {
  return date >= 0 ? date + time : date - time;
}

// Broken-down local time of `value` for strftime.
struct tm ToTm(TDateTime value) {
  int year, month, day, hour, min, sec, msec;
  DecodeDate(value, year, month, day);
  DecodeTime(value, hour, min, sec, msec);
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = min;
  t.tm_sec = sec;
  t.tm_wday = DayOfWeek(value) - 1;
  t.tm_yday = month > 0 ? static_cast<int>(std::trunc(value) - EncodeDate(year, 1, 1)) : 0;
  t.tm_isdst = -1;
  return t;
}

std::string StrFTime(const char* format, TDateTime value) {
  const struct tm t = ToTm(value);
  char buffer[256];
  const std::size_t n = std::strftime(buffer, sizeof buffer, format, &t);
  return std::string(buffer, n);
}

std::string Padded(int value, int digits) {
  std::string text = std::to_string(value);
  if (static_cast<int>(text.size()) < digits) text.insert(0, digits - text.size(), '0');
  return text;
}

// Length of the run of `c` (either case) at `pos`.
int RunLength(std::string_view format, std::size_t pos) {
  const char upper = UpCase(format[pos]);
  int count = 0;
  while (pos + count < format.size() && UpCase(format[pos + count]) == upper)
    ++count;
  return count;
}

bool StartsWithText(std::string_view text, std::size_t pos, std::string_view prefix) {
  return text.size() - pos >= prefix.size() && SameText(text.substr(pos, prefix.size()), prefix);
}

// True when an am/pm specifier follows `pos` before the next hour specifier,
// which makes the hour a 12-hour one.
bool UsesTwelveHourClock(std::string_view format, std::size_t pos) {
  bool quoted = false;
  for (; pos < format.size(); ++pos) {
    const char c = format[pos];
    if (c == '"' || c == '\'') quoted = !quoted;
    if (quoted) continue;
    if (c == 'h' || c == 'H') return false;
    if (c == 'a' || c == 'A') {
      return StartsWithText(format, pos, "am/pm") || StartsWithText(format, pos, "a/p") ||
             StartsWithText(format, pos, "ampm");
    }
  }
  return false;
}

// Writes the "a..." specifiers at `pos` (am/pm, a/p, ampm, aaa, aaaa) or the
// letter itself; returns how many format bytes it used.
std::size_t AppendAmPm(std::string& out, std::string_view format, std::size_t pos, int hour,
                       int weekday) {
  const bool pm = hour >= 12;
  if (StartsWithText(format, pos, "am/pm")) {
    out += format.substr(pos + (pm ? 3 : 0), 2);
    return 5;
  }
  if (StartsWithText(format, pos, "a/p")) {
    out += format.substr(pos + (pm ? 2 : 0), 1);
    return 3;
  }
  if (StartsWithText(format, pos, "ampm")) {
    out += pm ? "PM" : "AM";
    return 4;
  }
  if (StartsWithText(format, pos, "aaaa")) {
    out += LongDayNames[weekday - 1];
    return 4;
  }
  if (StartsWithText(format, pos, "aaa")) {
    out += ShortDayNames[weekday - 1];
    return 3;
  }
  out += format[pos];
  return 1;
}

// The local short date form: which field comes first, second and third
// ('D', 'M', 'Y'), found by writing a known date with "%x".
struct LocalDateOrder {
  char fields[3] = {'M', 'D', 'Y'};
};

LocalDateOrder CurrentDateOrder() {
  struct tm t {};
  t.tm_year = 2003 - 1900;
  t.tm_mon = 10;
  t.tm_mday = 22;
  char buffer[128];
  const std::string text(buffer, std::strftime(buffer, sizeof buffer, "%x", &t));
  const std::size_t day = text.find("22");
  const std::size_t month = text.find("11");
  const std::size_t year = text.find("03");
  LocalDateOrder order;
  if (day == std::string::npos || month == std::string::npos || year == std::string::npos) {
    return order;
  }
  struct Field {
    std::size_t at;
    char name;
  } fields[3] = {{day, 'D'}, {month, 'M'}, {year, 'Y'}};
  std::sort(std::begin(fields), std::end(fields),
            [](const Field& a, const Field& b) { return a.at < b.at; });
  for (int i = 0; i < 3; ++i)
    order.fields[i] = fields[i].name;
  return order;
}

// Splits `text` into runs of digits separated by one to two bytes of
// `separators`; false when anything else appears. A trailing "." is allowed.
bool SplitNumbers(std::string_view text, std::string_view separators,
                  std::vector<std::string_view>& numbers) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9')
      ++pos;
    if (pos == start || pos - start > 9) return false;
    numbers.push_back(text.substr(start, pos - start));
    const std::size_t gap = pos;
    while (pos < text.size() && separators.find(text[pos]) != std::string_view::npos)
      ++pos;
    if (pos == text.size()) return pos == gap || text.substr(gap) == ".";
    if (pos == gap || pos - gap > 2) return false;
  }
  return !numbers.empty();
}

// A two-digit year taken in the century that puts it within 50 years of now.
int ExpandYear(int year) {
  int now_year, month, day;
  DecodeDate(Now(), now_year, month, day);
  int full = now_year / 100 * 100 + year;
  if (full > now_year + 50) full -= 100;
  if (full <= now_year - 50) full += 100;
  return full;
}

bool TryReadDate(std::string_view text, TDateTime& result) {
  std::vector<std::string_view> numbers;
  if (!SplitNumbers(text, "/-. ,", numbers) || numbers.size() != 3) return false;
  // A leading four-digit group is the ISO order year-month-day.
  const LocalDateOrder order =
      numbers[0].size() == 4 ? LocalDateOrder{{'Y', 'M', 'D'}} : CurrentDateOrder();
  int year = 0, month = 0, day = 0;
  for (int i = 0; i < 3; ++i) {
    const int value = std::atoi(std::string(numbers[i]).c_str());
    if (order.fields[i] == 'Y') year = numbers[i].size() <= 2 ? ExpandYear(value) : value;
    if (order.fields[i] == 'M') month = value;
    if (order.fields[i] == 'D') day = value;
  }
  return TryEncodeDate(year, month, day, result);
}

// Removes a leading or trailing am/pm marker; `pm` tells which it was.
bool StripMarker(std::string& text, bool& marked, bool& pm) {
  const std::string markers[4] = {"AM", "PM", nl_langinfo(AM_STR), nl_langinfo(PM_STR)};
  for (int i = 0; i < 4; ++i) {
    const std::string& marker = markers[i];
    if (marker.empty() || text.size() <= marker.size()) continue;
    const bool pm_marker = i % 2 == 1;
    if (SameText(std::string_view(text).substr(text.size() - marker.size()), marker)) {
      text = Trim(text.substr(0, text.size() - marker.size()));
    } else if (SameText(std::string_view(text).substr(0, marker.size()), marker)) {
      text = Trim(text.substr(marker.size()));
    } else {
      continue;
    }
    marked = true;
    pm = pm_marker;
    return true;
  }
  return false;
}

bool TryReadTime(std::string_view input, TDateTime& result) {
  std::string text = Trim(input);
  bool marked = false, pm = false;
  StripMarker(text, marked, pm);
  std::vector<std::string_view> numbers;
  if (!SplitNumbers(text, ":.", numbers) || numbers.size() < 2 || numbers.size() > 4) return false;
  int fields[4] = {0, 0, 0, 0};
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    std::string digits(numbers[i]);
    // The fourth group is a fraction of a second: "5" is 500 ms.
    if (i == 3) {
      if (digits.size() > 3) return false;
      digits.resize(3, '0');
    }
    fields[i] = std::atoi(digits.c_str());
  }
  if (marked) {
    if (fields[0] < 1 || fields[0] > 12) return false;
    fields[0] = fields[0] % 12 + (pm ? 12 : 0);
  }
  return TryEncodeTime(fields[0], fields[1], fields[2], fields[3], result);
}

}  // namespace

bool TryEncodeDate(int year, int month, int day, TDateTime& result) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month)) {
    return false;
  }
  int day_of_year = day;
  for (int m = 1; m < month; ++m)
    day_of_year += DaysInMonth(year, m);
  const int y = year - 1;
  result = static_cast<double>(y * 365 + y / 4 - y / 100 + y / 400 + day_of_year - DateDelta);
  return true;
}

bool TryEncodeTime(int hour, int min, int sec, int msec, TDateTime& result) {
  if (hour < 0 || hour >= 24 || min < 0 || min >= 60 || sec < 0 || sec >= 60 || msec < 0 ||
      msec >= 1000) {
    return false;
  }
  result = static_cast<double>(((hour * 60 + min) * 60 + sec) * 1000 + msec) / MSecsPerDay;
  return true;
}

TDateTime EncodeDate(int year, int month, int day) {
  TDateTime result = 0;
  if (!TryEncodeDate(year, month, day, result)) {
    throw EConvertError("Invalid argument to date encode");
  }
  return result;
}

TDateTime EncodeTime(int hour, int min, int sec, int msec) {
  TDateTime result = 0;
  if (!TryEncodeTime(hour, min, sec, msec, result)) {
    throw EConvertError("Invalid argument to time encode");
  }
  return result;
}

void DecodeDate(TDateTime value, int& year, int& month, int& day) {
  std::int64_t t = ToTimeStamp(value).date;
  if (t <= 0) {
    year = month = day = 0;
    return;
  }
  constexpr std::int64_t D1 = 365, D4 = D1 * 4 + 1, D100 = D4 * 25 - 1, D400 = D100 * 4 + 1;
  --t;
  std::int64_t y = 1 + t / D400 * 400;
  t %= D400;
  std::int64_t i = t / D100;
  t %= D100;
  if (i == 4) {
    --i;
    t += D100;
  }
  y += i * 100;
  y += t / D4 * 4;
  t %= D4;
  i = t / D1;
  t %= D1;
  if (i == 4) {
    --i;
    t += D1;
  }
  year = static_cast<int>(y + i);
  month = 1;
  while (t >= DaysInMonth(year, month))
    t -= DaysInMonth(year, month++);
  day = static_cast<int>(t + 1);
}

void DecodeTime(TDateTime value, int& hour, int& min, int& sec, int& msec) {
  int ms = ToTimeStamp(value).msec;
  msec = ms % 1000;
  ms /= 1000;
  sec = ms % 60;
  ms /= 60;
  min = ms % 60;
  hour = ms / 60;
}

TDateTime Now() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  return UnixToLocalDateTime(now.tv_sec, static_cast<int>(now.tv_nsec / 1000000));
}

TDateTime Date() {
  return std::trunc(Now());
}

TDateTime Time() {
  const TDateTime now = Now();
  return now - std::trunc(now);
}

int DayOfWeek(TDateTime value) {
  const std::int64_t date = ToTimeStamp(value).date;
  return static_cast<int>((date % 7 + 7) % 7) + 1;
}

std::string FormatDateTime(std::string_view format, TDateTime value) {
  int year, month, day, hour, min, sec, msec;
  DecodeDate(value, year, month, day);
  DecodeTime(value, hour, min, sec, msec);
  const int weekday = DayOfWeek(value);
  std::string out;
  char last = 0;  // the previous specifier letter, upper-cased
  std::size_t pos = 0;
  while (pos < format.size()) {
    const char c = format[pos];
    char token = UpCase(c);
    if (token >= 'A' && token <= 'Z') {
      // "m" right after an hour specifier means minutes.
      if (token == 'M' && last == 'H') token = 'N';
      last = token;
    }
    if (token == '"' || token == '\'') {
      const std::size_t close = format.find(c, pos + 1);
      const std::size_t end = close == std::string_view::npos ? format.size() : close;
      out += format.substr(pos + 1, end - pos - 1);
      pos = end == format.size() ? end : end + 1;
      continue;
    }
    if (token == 'A') {
      pos += AppendAmPm(out, format, pos, hour, weekday);
      continue;
    }
    const int count = token >= 'A' && token <= 'Z' ? RunLength(format, pos) : 1;
    switch (token) {
      case 'Y':
        out += count <= 2 ? Padded(year % 100, 2) : Padded(year, 4);
        break;
      case 'M':
        if (count <= 2) out += Padded(month, count);
        if (count == 3) out += ShortMonthNames[month - 1];
        if (count >= 4) out += LongMonthNames[month - 1];
        break;
      case 'D':
        if (count <= 2) out += Padded(day, count);
        if (count == 3) out += ShortDayNames[weekday - 1];
        if (count == 4) out += LongDayNames[weekday - 1];
        if (count == 5) out += DateToStr(value);
        if (count >= 6) out += FormatDateTime("dddd, mmmm d, yyyy", value);
        break;
      case 'H': {
        int shown = hour;
        if (UsesTwelveHourClock(format, pos + count)) shown = hour % 12 == 0 ? 12 : hour % 12;
        out += Padded(shown, count >= 2 ? 2 : 1);
        break;
      }
      case 'N':
        out += Padded(min, count >= 2 ? 2 : 1);
        break;
      case 'S':
        out += Padded(sec, count >= 2 ? 2 : 1);
        break;
      case 'Z':
        out += Padded(msec, count >= 3 ? 3 : 1);
        break;
      case 'T':
        out += count >= 2 ? TimeToStr(value) : FormatDateTime("hh:nn", value);
        break;
      case 'C':
        out += DateTimeToStr(value);
        break;
      default:
        out.append(format.substr(pos, count));
    }
    pos += count;
  }
  return out;
}

std::string DateToStr(TDateTime value) {
  return StrFTime("%x", value);
}

std::string TimeToStr(TDateTime value) {
  return StrFTime("%X", value);
}

std::string DateTimeToStr(TDateTime value) {
  if (ToTimeStamp(value).msec == 0) return DateToStr(value);
  return DateToStr(value) + " " + TimeToStr(value);
}

TDateTime StrToDate(std::string_view text) {
  TDateTime result = 0;
  if (!TryReadDate(Trim(text), result)) {
    throw EConvertError("'" + std::string(text) + "' is not a valid date");
  }
  return result;
}

TDateTime StrToTime(std::string_view text) {
  TDateTime result = 0;
  if (!TryReadTime(text, result)) {
    throw EConvertError("'" + std::string(text) + "' is not a valid time");
  }
  return result;
}

TDateTime StrToDateTime(std::string_view text) {
  const std::string trimmed = Trim(text);
  // The time part starts at the digits before the first ":".
  std::size_t time_start = trimmed.find(':');
  if (time_start == std::string::npos) time_start = trimmed.size();
  while (time_start < trimmed.size() && time_start > 0 && trimmed[time_start - 1] >= '0' &&
         trimmed[time_start - 1] <= '9') {
    --time_start;
  }
  std::string date_part = Trim(trimmed.substr(0, time_start));
  // ISO texts join the two parts with "T".
  if (!date_part.empty() && (date_part.back() == 'T' || date_part.back() == 't')) {
    date_part.pop_back();
  }
  const std::string time_part = trimmed.substr(time_start);
  TDateTime date = 0, time = 0;
  const bool ok = (date_part.empty() ? !time_part.empty() : TryReadDate(date_part, date)) &&
                  (time_part.empty() || TryReadTime(time_part, time));
  if (!ok) throw EConvertError("'" + std::string(text) + "' is not a valid date and time");
  return Combine(date, time);
}

TDateTime UnixToDateTime(std::int64_t seconds) {
  std::int64_t days = seconds / 86400;
  std::int64_t rest = seconds % 86400;
  if (rest < 0) {
    --days;
    rest += 86400;
  }
  return Combine(static_cast<double>(UnixDateDelta + days), static_cast<double>(rest) / 86400.0);
}

TDateTime UnixToLocalDateTime(std::int64_t seconds, int msec) {
  const std::time_t when = static_cast<std::time_t>(seconds);
  struct tm local {};
  if (localtime_r(&when, &local) == nullptr) return -1.0;
  // A leap second shows as the last second of its minute.
  const int sec = local.tm_sec > 59 ? 59 : local.tm_sec;
  TDateTime date = 0, time = 0;
  if (!TryEncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, date) ||
      !TryEncodeTime(local.tm_hour, local.tm_min, sec, msec, time)) {
    return -1.0;
  }
  return Combine(date, time);
}

std::int64_t DateTimeToUnix(TDateTime value) {
  const TimeStamp stamp = ToTimeStamp(value);
  return (stamp.date - DateDelta - UnixDateDelta) * 86400 + (stamp.msec + 500) / 1000;
}

}  // namespace korvi
