// File validators: the entity tag, the 304 decision of If-None-Match and
// If-Modified-Since, and the If-Range check that lets a range through.
#include "korvi/server/file_validators.h"

#include <gtest/gtest.h>

#include <string>

#include "korvi/web/http_date.h"

namespace korvi {
namespace {

constexpr std::int64_t kWritten = 100;
const std::string kTag = "\"1F4-64\"";  // 500 bytes written at kWritten

TEST(FileValidatorsTest, TagIsQuotedHexOfSizeAndTime) {
  EXPECT_EQ(FileETag(500, kWritten), kTag);
  EXPECT_EQ(FileETag(0, 0), "\"0-0\"");
  EXPECT_EQ(FileETag(4096, 1796828094), "\"1000-6B196BBE\"");
}

TEST(FileValidatorsTest, NoneMatchDecidesBeforeModifiedSince) {
  const std::string before = FormatHttpDate(kWritten - 1);
  const std::string at = FormatHttpDate(kWritten);
  const std::string after = FormatHttpDate(kWritten + 1);
  const struct {
    std::string if_none_match;
    std::string if_modified_since;
    bool not_modified;
  } cases[] = {
      {"", "", false},
      {kTag, "", true},
      {"W/" + kTag, "", true},
      {"\"x\", " + kTag, "", true},
      {"\"x\",W/\"y\" ,  " + kTag + " ,", "", true},
      {"*", "", true},
      {" * ", before, true},
      {"\"x\"", "", false},
      {"\"x\"", at, false},
      {kTag, before, true},
      {"1F4-64", "", false},
      {"\"x\" junk, " + kTag, "", false},
      {"*, " + kTag, "", false},
      {"", at, true},
      {"", after, true},
      {"", before, false},
      {"", "yesterday", false},
      {" ", at, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsNotModified(c.if_none_match, c.if_modified_since, kTag, kWritten), c.not_modified)
        << "If-None-Match: " << c.if_none_match << " If-Modified-Since: " << c.if_modified_since;
  }
}

TEST(FileValidatorsTest, IfRangeNeedsTheSameTagOrTheExactDate) {
  const struct {
    std::string if_range;
    bool holds;
  } cases[] = {
      {"", true},
      {kTag, true},
      {" " + kTag + " ", true},
      {"W/" + kTag, false},
      {"\"x\"", false},
      {FormatHttpDate(kWritten), true},
      {FormatHttpDate(kWritten - 1), false},
      {FormatHttpDate(kWritten + 1), false},
      {"junk", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(IfRangeHolds(c.if_range, kTag, kWritten), c.holds) << c.if_range;
}

}  // namespace
}  // namespace korvi
