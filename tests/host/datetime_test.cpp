// Day-count dates: encoding, decoding (negative values included), weekday,
// FormatDateTime, the local forms and their readers, Unix conversion.
#include "korvi/host/datetime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>

#include "korvi/host/exceptions.h"
#include "tests/support/expect_message.h"

namespace korvi {
namespace {

struct Civil {
  int year, month, day, hour, min, sec, msec;
};

Civil Decode(TDateTime value) {
  Civil c{};
  DecodeDate(value, c.year, c.month, c.day);
  DecodeTime(value, c.hour, c.min, c.sec, c.msec);
  return c;
}

TEST(EncodeDate, KnownDayCounts) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0);
  EXPECT_EQ(EncodeDate(1899, 12, 31), 1);
  EXPECT_EQ(EncodeDate(1994, 11, 6), 34644);
  EXPECT_EQ(EncodeDate(1970, 1, 1), 25569);
  EXPECT_EQ(EncodeDate(2000, 3, 1) - EncodeDate(2000, 2, 28), 2);
  EXPECT_EQ(EncodeDate(1900, 3, 1) - EncodeDate(1900, 2, 28), 1);
  EXPECT_EQ(EncodeDate(1, 1, 1), -693593);
  EXPECT_EQ(EncodeDate(9999, 12, 31), 2958465);
}

TEST(EncodeDate, InvalidCalendarDatesRaise) {
  const int bad[][3] = {{2024, 13, 1}, {2024, 0, 1}, {2024, 4, 31}, {2023, 2, 29},
                        {1900, 2, 29}, {2024, 1, 0}, {0, 1, 1},     {10000, 1, 1}};
  for (const auto& d : bad) {
    EXPECT_THROW(EncodeDate(d[0], d[1], d[2]), EConvertError) << d[0] << "-" << d[1] << "-" << d[2];
  }
  EXPECT_NO_THROW(EncodeDate(2000, 2, 29));
  test::ExpectThrowMessage<EConvertError>([] { EncodeDate(2023, 2, 29); },
                                          "Invalid argument to date encode");
  TDateTime untouched = 7;
  EXPECT_FALSE(TryEncodeDate(2023, 2, 29, untouched));
  EXPECT_EQ(untouched, 7);
}

TEST(EncodeTime, RangesAndFractions) {
  EXPECT_DOUBLE_EQ(EncodeTime(12, 0, 0, 0), 0.5);
  EXPECT_DOUBLE_EQ(EncodeTime(6, 0, 0, 0), 0.25);
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
  EXPECT_THROW(EncodeTime(0, 60, 0, 0), EConvertError);
  EXPECT_THROW(EncodeTime(0, 0, 60, 0), EConvertError);
  EXPECT_THROW(EncodeTime(0, 0, 0, 1000), EConvertError);
  EXPECT_THROW(EncodeTime(-1, 0, 0, 0), EConvertError);
  test::ExpectThrowMessage<EConvertError>([] { EncodeTime(24, 0, 0, 0); },
                                          "Invalid argument to time encode");
}

// Every day of several whole years decodes to the date it was encoded from,
// and each time of day to its fields, before and after the epoch.
TEST(DecodeDate, RoundTripsEveryDayAndTime) {
  for (int year : {1, 4, 100, 1600, 1899, 1900, 1970, 2000, 2024, 9999}) {
    for (int month = 1; month <= 12; ++month) {
      for (int day = 1; day <= 31; ++day) {
        TDateTime date = 0;
        if (!TryEncodeDate(year, month, day, date)) continue;
        const TDateTime value =
            date >= 0 ? date + EncodeTime(13, 45, 56, 789) : date - EncodeTime(13, 45, 56, 789);
        const Civil c = Decode(value);
        ASSERT_EQ((std::vector<int>{c.year, c.month, c.day, c.hour, c.min, c.sec, c.msec}),
                  (std::vector<int>{year, month, day, 13, 45, 56, 789}))
            << year << "-" << month << "-" << day;
      }
    }
  }
}

TEST(DecodeDate, NegativeValuesUseTheFractionWithoutItsSign) {
  const Civil c = Decode(-1.25);
  EXPECT_EQ((std::vector<int>{c.year, c.month, c.day, c.hour, c.min}),
            (std::vector<int>{1899, 12, 29, 6, 0}));
  // Just below midnight rounds up to the next day, not to hour 24.
  const Civil late = Decode(EncodeDate(2024, 2, 28) + 0.99999999999);
  EXPECT_EQ((std::vector<int>{late.month, late.day, late.hour}), (std::vector<int>{2, 29, 0}));
  const Civil none = Decode(NAN);
  EXPECT_EQ(none.year, 0);
}

TEST(DayOfWeek, SundayIsOne) {
  EXPECT_EQ(DayOfWeek(EncodeDate(1994, 11, 6)), 1);
  EXPECT_EQ(DayOfWeek(0), 7);
  EXPECT_EQ(DayOfWeek(EncodeDate(2026, 12, 8) + 0.9), 3);
  EXPECT_EQ(DayOfWeek(-1.5), 6);
  EXPECT_STREQ(ShortDayNames[DayOfWeek(EncodeDate(2026, 12, 8)) - 1], "Tue");
  EXPECT_STREQ(ShortMonthNames[11], "Dec");
}

TEST(FormatDateTime, FrameworkSpecifiers) {
  const TDateTime t = EncodeDate(2026, 12, 8) + EncodeTime(4, 5, 9, 7);
  const std::pair<const char*, const char*> cases[] = {
      {"ddd, d mmm yyyy hh:mm:ss \"CST\"", "Tue, 8 Dec 2026 04:05:09 CST"},
      {"ddd, dd mmm yyyy hh:nn:ss 'GMT'", "Tue, 08 Dec 2026 04:05:09 GMT"},
      {"dddd mmmm yy", "Tuesday December 26"},
      {"m/d/yyyy", "12/8/2026"},
      {"mm-dd h:n:s", "12-08 4:5:9"},
      {"h:m", "4:5"},
      {"z zzz", "7 007"},
      {"hh:mm am/pm", "04:05 am"},
      {"h AM/PM", "4 AM"},
      {"\"mm\" - 'dd'", "mm - dd"},
      {"x", "x"},
      {"'unterminated", "unterminated"},
  };
  for (const auto& [format, text] : cases)
    EXPECT_EQ(FormatDateTime(format, t), text) << format;
  const TDateTime evening = EncodeDate(2026, 12, 8) + EncodeTime(0, 30, 0, 0);
  EXPECT_EQ(FormatDateTime("h:nn a/p", evening), "12:30 a");
  EXPECT_EQ(FormatDateTime("hh:nn AM/PM", evening + 0.5), "12:30 PM");
  EXPECT_EQ(FormatDateTime("hh", evening + 0.5), "12");
}

// Under the C locale "%x" and "%X" give mm/dd/yy and hh:mm:ss.
TEST(LocalForms, WriteAndReadBack) {
  const TDateTime t = EncodeDate(2026, 12, 8) + EncodeTime(4, 5, 9, 0);
  EXPECT_EQ(DateToStr(t), "12/08/26");
  EXPECT_EQ(TimeToStr(t), "04:05:09");
  EXPECT_EQ(DateTimeToStr(t), "12/08/26 04:05:09");
  EXPECT_EQ(DateTimeToStr(std::trunc(t)), "12/08/26");
  EXPECT_EQ(FormatDateTime("c", t), "12/08/26 04:05:09");
  EXPECT_DOUBLE_EQ(StrToDate(DateToStr(t)), EncodeDate(2026, 12, 8));
  EXPECT_DOUBLE_EQ(StrToTime(TimeToStr(t)), EncodeTime(4, 5, 9, 0));
  EXPECT_DOUBLE_EQ(StrToDateTime(DateTimeToStr(t)), t);
}

TEST(LocalForms, ReadsIsoAndTwelveHourForms) {
  EXPECT_DOUBLE_EQ(StrToDate("2026-12-08"), EncodeDate(2026, 12, 8));
  EXPECT_DOUBLE_EQ(StrToDate(" 12/8/2026 "), EncodeDate(2026, 12, 8));
  EXPECT_DOUBLE_EQ(StrToTime("16:30"), EncodeTime(16, 30, 0, 0));
  EXPECT_DOUBLE_EQ(StrToTime("16:30:05.25"), EncodeTime(16, 30, 5, 250));
  EXPECT_DOUBLE_EQ(StrToTime("4:30 pm"), EncodeTime(16, 30, 0, 0));
  EXPECT_DOUBLE_EQ(StrToTime("12:00 AM"), 0);
  EXPECT_DOUBLE_EQ(StrToDateTime("2026-12-08T04:05:09"),
                   EncodeDate(2026, 12, 8) + EncodeTime(4, 5, 9, 0));
  EXPECT_DOUBLE_EQ(StrToDateTime("2026-12-08"), EncodeDate(2026, 12, 8));
  EXPECT_DOUBLE_EQ(StrToDateTime("1899-12-29 06:00"), -1.25);
}

TEST(LocalForms, TwoDigitYearsLieWithinFiftyYearsOfNow) {
  int year, month, day;
  DecodeDate(Now(), year, month, day);
  int read_year;
  DecodeDate(StrToDate("01/01/" + std::to_string((year + 10) % 100)), read_year, month, day);
  EXPECT_EQ(read_year, year + 10);
  DecodeDate(StrToDate("01/01/" + std::to_string((year + 60) % 100)), read_year, month, day);
  EXPECT_EQ(read_year, year - 40);
}

TEST(LocalForms, MalformedTextsRaise) {
  const char* dates[] = {"",          "12/08", "13/08/26",   "02/30/2024",
                         "12/08/26x", "a/b/c", "12//08//26x"};
  for (const char* text : dates)
    EXPECT_THROW(StrToDate(text), EConvertError) << text;
  const char* times[] = {"",        "24:00", "12:60",         "13:00 pm",
                         "0:30 am", "1",     "12:00:00:0000", "ab:cd"};
  for (const char* text : times)
    EXPECT_THROW(StrToTime(text), EConvertError) << text;
  EXPECT_THROW(StrToDateTime("2026-12-08 25:00"), EConvertError);
  EXPECT_THROW(StrToDateTime("nonsense"), EConvertError);
  test::ExpectThrowMessage<EConvertError>([] { StrToDate("x"); }, "'x' is not a valid date");
}

TEST(Clock, NowMatchesTheLocalCalendar) {
  const std::time_t before = std::time(nullptr);
  const TDateTime now = Now();
  const std::time_t after = std::time(nullptr);
  struct tm local {};
  localtime_r(&before, &local);
  const TDateTime low = EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) +
                        EncodeTime(local.tm_hour, local.tm_min, local.tm_sec, 0);
  localtime_r(&after, &local);
  const TDateTime high = EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) +
                         EncodeTime(local.tm_hour, local.tm_min, local.tm_sec, 999);
  EXPECT_GE(now, low);
  EXPECT_LE(now, high);
  EXPECT_EQ(Date(), std::trunc(Date()));
  EXPECT_LT(Time(), 1.0);
}

TEST(UnixTime, ConvertsBothWaysAroundTheEpochs) {
  EXPECT_DOUBLE_EQ(UnixToDateTime(0), 25569);
  EXPECT_DOUBLE_EQ(UnixToDateTime(86400 + 43200), 25570.5);
  EXPECT_EQ(DateTimeToUnix(EncodeDate(2026, 12, 8) + EncodeTime(4, 5, 9, 0)), 1796702709);
  for (std::int64_t seconds : {0LL, -1LL, 1796702709LL, -2209161600LL - 1, -2209161600LL - 64800}) {
    EXPECT_EQ(DateTimeToUnix(UnixToDateTime(seconds)), seconds) << seconds;
  }
  // 1899-12-29 06:00 is -1.25 in the day count.
  EXPECT_DOUBLE_EQ(UnixToDateTime(-2209161600LL - 64800), -1.25);
}

}  // namespace
}  // namespace korvi
