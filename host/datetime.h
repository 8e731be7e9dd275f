/// \file
/// Dates and times as the framework's day count: whole days since
/// 30 December 1899, the time of day as the fraction. -1.0 means "no date".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace korvi {

/// Days since 30 December 1899, the time of day as the fraction.
using TDateTime = double;

///@{
/// English short day names, Sunday first, and short month names, January first.
extern const char* const ShortDayNames[7];
extern const char* const ShortMonthNames[12];
///@}

/// Day count of a calendar date; raises EConvertError on an invalid date
/// (month 13, 31 April, 29 February of a common year, year 0).
TDateTime EncodeDate(int year, int month, int day);
/// Fraction of a day; raises EConvertError unless hour < 24, min < 60,
/// sec < 60 and msec < 1000.
TDateTime EncodeTime(int hour, int min, int sec, int msec);
///@{
/// Non-raising forms of EncodeDate / EncodeTime.
bool TryEncodeDate(int year, int month, int day, TDateTime& result);
bool TryEncodeTime(int hour, int min, int sec, int msec, TDateTime& result);
///@}
///@{
/// Splits a day count into its calendar date / time of day.
void DecodeDate(TDateTime value, int& year, int& month, int& day);
void DecodeTime(TDateTime value, int& hour, int& min, int& sec, int& msec);
///@}

///@{
/// Current local date and time / date only / time only.
TDateTime Now();
TDateTime Date();
TDateTime Time();
///@}
/// 1 = Sunday ... 7 = Saturday.
int DayOfWeek(TDateTime value);

/// Formats with the framework's specifiers: d dd ddd dddd, m mm mmm mmmm,
/// yy yyyy, h hh, n nn, s ss, z zzz, am/pm, text in "..." or '...' copied
/// literally; "c" is the short date and long time.
std::string FormatDateTime(std::string_view format, TDateTime value);
/// The local short date form (the C library's "%x" in the current locale).
std::string DateToStr(TDateTime value);
/// The local long time form (the C library's "%X" in the current locale).
std::string TimeToStr(TDateTime value);
/// DateToStr + " " + TimeToStr (the time part is left out at midnight).
std::string DateTimeToStr(TDateTime value);
///@{
/// Reads texts in the forms the three functions above write, and ISO forms
/// (yyyy-mm-dd, hh:mm[:ss]); raises EConvertError otherwise.
TDateTime StrToDate(std::string_view text);
TDateTime StrToTime(std::string_view text);
TDateTime StrToDateTime(std::string_view text);
///@}

///@{
/// Converts between the day count and seconds since the Unix epoch
/// (both taken as the same clock; no zone conversion).
TDateTime UnixToDateTime(std::int64_t seconds);
std::int64_t DateTimeToUnix(TDateTime value);
///@}
/// The local date and time of the moment `seconds` (+ `msec`) after the Unix
/// epoch, in the process's time zone; -1.0 when it is no representable date.
TDateTime UnixToLocalDateTime(std::int64_t seconds, int msec);

}  // namespace korvi
