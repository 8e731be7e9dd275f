// ISO 8601 texts of date-time values: writing with the calendar split of the
// day count, reading with a small fixed-form parser.
#include "korvi/data/iso_date_time.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace korvi {

namespace {

std::string DatePart(TDateTime value) {
  int year = 0, month = 0, day = 0;
  DecodeDate(value, year, month, day);
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
  return text;
}

std::string TimePart(TDateTime value) {
  int hour = 0, min = 0, sec = 0, msec = 0;
  DecodeTime(value, hour, min, sec, msec);
  char text[16];
  if (msec != 0) {
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", hour, min, sec, msec);
  } else {
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", hour, min, sec);
  }
  return text;
}

// Reads exactly `digits` decimal digits at `pos`, advancing it.
bool ReadDigits(std::string_view text, size_t& pos, size_t digits, int& value) {
  if (pos + digits > text.size()) return false;
  value = 0;
  for (size_t i = 0; i < digits; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  pos += digits;
  return true;
}

bool Expect(std::string_view text, size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

bool ReadDate(std::string_view text, size_t& pos, TDateTime& value) {
  int year = 0, month = 0, day = 0;
  return ReadDigits(text, pos, 4, year) && Expect(text, pos, '-') &&
         ReadDigits(text, pos, 2, month) && Expect(text, pos, '-') &&
         ReadDigits(text, pos, 2, day) && TryEncodeDate(year, month, day, value);
}

// "hh:nn", "hh:nn:ss" or "hh:nn:ss.f..." (fractions beyond milliseconds are
// rounded away).
bool ReadTime(std::string_view text, size_t& pos, TDateTime& value) {
  int hour = 0, min = 0, sec = 0, msec = 0;
  if (!ReadDigits(text, pos, 2, hour) || !Expect(text, pos, ':') ||
      !ReadDigits(text, pos, 2, min)) {
    return false;
  }
  if (pos < text.size() && text[pos] == ':') {
    ++pos;
    if (!ReadDigits(text, pos, 2, sec)) return false;
    if (pos < text.size() && text[pos] == '.') {
      ++pos;
      double fraction = 0, scale = 0.1;
      const size_t start = pos;
      for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        fraction += (text[pos] - '0') * scale;
        scale /= 10;
      }
      if (pos == start) return false;
      msec = std::min(999, static_cast<int>(std::lround(fraction * 1000)));
    }
  }
  return TryEncodeTime(hour, min, sec, msec, value);
}

}  // namespace

TIsoPart IsoPartOf(TFieldType type) {
  if (type == ftDate) return TIsoPart::ipDate;
  if (type == ftTime) return TIsoPart::ipTime;
  return TIsoPart::ipDateTime;
}

std::string DateTimeToIso(TDateTime value, TIsoPart part) {
  switch (part) {
    case TIsoPart::ipDate:
      return DatePart(value);
    case TIsoPart::ipTime:
      return TimePart(value);
    case TIsoPart::ipDateTime:
      break;
  }
  return DatePart(value) + " " + TimePart(value);
}

bool TryIsoToDateTime(std::string_view text, TDateTime& value) {
  size_t pos = 0;
  TDateTime date = 0, time = 0;
  if (text.size() >= 4 && text[2] == ':') {
    if (!ReadTime(text, pos, time) || pos != text.size()) return false;
    value = time;
    return true;
  }
  if (!ReadDate(text, pos, date)) return false;
  if (pos < text.size()) {
    if (text[pos] != ' ' && text[pos] != 'T') return false;
    ++pos;
    if (!ReadTime(text, pos, time) || pos != text.size()) return false;
  }
  // Before 30 December 1899 the day count is negative and the time of day
  // still counts away from zero.
  value = date < 0 ? date - time : date + time;
  return true;
}

}  // namespace korvi
