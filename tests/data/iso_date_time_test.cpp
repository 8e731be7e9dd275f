// ISO texts of date-time values: the stored forms and reading them back.
#include "korvi/data/iso_date_time.h"

#include <gtest/gtest.h>

namespace korvi {
namespace {

TEST(IsoDateTime, WritesTheStoredForms) {
  const TDateTime day = EncodeDate(2024, 2, 29);
  const TDateTime moment = day + EncodeTime(13, 5, 9, 0);
  EXPECT_EQ(DateTimeToIso(moment, TIsoPart::ipDate), "2024-02-29");
  EXPECT_EQ(DateTimeToIso(moment, TIsoPart::ipTime), "13:05:09");
  EXPECT_EQ(DateTimeToIso(moment, TIsoPart::ipDateTime), "2024-02-29 13:05:09");
  EXPECT_EQ(DateTimeToIso(day + EncodeTime(0, 0, 1, 250), TIsoPart::ipDateTime),
            "2024-02-29 00:00:01.250");
}

TEST(IsoDateTime, ReadsWhatItWritesAndSQLiteForms) {
  struct Case {
    const char* text;
    TDateTime expected;
  };
  const TDateTime day = EncodeDate(2024, 2, 29);
  const Case cases[] = {
      {"2024-02-29", day},
      {"13:05", EncodeTime(13, 5, 0, 0)},
      {"13:05:09.5", EncodeTime(13, 5, 9, 500)},
      {"2024-02-29 13:05:09", day + EncodeTime(13, 5, 9, 0)},
      {"2024-02-29T13:05:09.250", day + EncodeTime(13, 5, 9, 250)},
  };
  for (const Case& c : cases) {
    TDateTime value = -7;
    EXPECT_TRUE(TryIsoToDateTime(c.text, value)) << c.text;
    EXPECT_NEAR(value, c.expected, 1e-9) << c.text;
  }
  for (const char* bad : {"", "2023-02-29", "2024-2-29", "2024-02-29 25:00", "2024-02-29x",
                          "13:05:", "12:00:00.", "hello"}) {
    TDateTime value = -7;
    EXPECT_FALSE(TryIsoToDateTime(bad, value)) << bad;
    EXPECT_EQ(value, -7) << bad;
  }
}

}  // namespace
}  // namespace korvi
