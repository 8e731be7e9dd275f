// Byte ranges: the one range a "Range" header selects from a file, the
// cases that fall back to the whole file or to 416, and the Content-Range
// text of each outcome.
#include "korvi/server/byte_range.h"

#include <gtest/gtest.h>

namespace korvi {
namespace {

struct RangeCase {
  const char* header;
  std::int64_t size;
  const char* content_range;  // empty: the whole file
  TRangeKind kind;
};

TEST(ByteRangeTest, ResolvesEachHeaderToItsOutcome) {
  using enum TRangeKind;
  const RangeCase cases[] = {
      {"", 1000, "", Whole},
      {"bytes=0-499", 1000, "bytes 0-499/1000", Partial},
      {"bytes=500-", 1000, "bytes 500-999/1000", Partial},
      {"bytes=-200", 1000, "bytes 800-999/1000", Partial},
      {"bytes=-2000", 1000, "bytes 0-999/1000", Partial},
      {"bytes=900-5000", 1000, "bytes 900-999/1000", Partial},
      {"bytes=0-99999999999999999999999", 1000, "bytes 0-999/1000", Partial},
      {"bytes=999-999", 1000, "bytes 999-999/1000", Partial},
      {"Bytes=0-0", 1000, "bytes 0-0/1000", Partial},
      {" bytes= 5-9 ,", 1000, "bytes 5-9/1000", Partial},
      {"bytes=1000-", 1000, "bytes */1000", Unsatisfiable},
      {"bytes=1000-2000", 1000, "bytes */1000", Unsatisfiable},
      {"bytes=99999999999999999999999-", 1000, "bytes */1000", Unsatisfiable},
      {"bytes=-0", 1000, "bytes */1000", Unsatisfiable},
      {"bytes=0-", 0, "bytes */0", Unsatisfiable},
      {"bytes=-0", 0, "bytes */0", Unsatisfiable},
      {"bytes=-5", 0, "", Whole},
      // Several ranges, other units and malformed headers: the whole file.
      {"bytes=0-1,5-6", 1000, "", Whole},
      {"bytes=0-1,9999-", 1000, "", Whole},
      {"items=0-1", 1000, "", Whole},
      {"bytes 0-1", 1000, "", Whole},
      {"bytes=", 1000, "", Whole},
      {"bytes=-", 1000, "", Whole},
      {"bytes=5", 1000, "", Whole},
      {"bytes=5-4", 1000, "", Whole},
      {"bytes=1-2-3", 1000, "", Whole},
      {"bytes=--5", 1000, "", Whole},
      {"bytes=+1-2", 1000, "", Whole},
      {"bytes=0x1-2", 1000, "", Whole},
      {"bytes=1 -2", 1000, "", Whole},
      {"bytes=1-2a", 1000, "", Whole},
  };
  for (const RangeCase& c : cases) {
    const TByteRange range = ResolveRange(c.header, c.size);
    EXPECT_EQ(range.Kind, c.kind) << c.header;
    EXPECT_EQ(ContentRange(range, c.size), c.content_range) << c.header;
  }
}

TEST(ByteRangeTest, PartialRangeCountsItsBytesInclusively) {
  EXPECT_EQ(ResolveRange("bytes=10-19", 100).Length(), 10);
  EXPECT_EQ(ResolveRange("bytes=-1", 100).Length(), 1);
  EXPECT_EQ(ResolveRange("bytes=0-", 100).Length(), 100);
}

}  // namespace
}  // namespace korvi
