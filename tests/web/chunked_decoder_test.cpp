// The chunked body decoder: a sample body decoded whole, byte by byte and
// cut at every point, the bytes of the next request left alone, and the
// malformed and oversized bodies it refuses.
#include "korvi/web/chunked_decoder.h"

#include <gtest/gtest.h>

#include <string>

namespace korvi {
namespace {

const std::string kBody =
    "4;name=value\r\nWiki\r\n"
    "5 ; x\r\npedia\r\n"
    "00E\r\n in\r\n\r\nchunks.\r\n"
    "0\r\nExpires: never\r\nX-Trailer: y\r\n\r\n";
const std::string kDecoded = "Wikipedia in\r\n\r\nchunks.";
const std::string kNextRequest = "GET /next HTTP/1.1\r\n";

// Decodes `input` in one slice with a limit of `max_size`.
struct Decoded {
  explicit Decoded(const std::string& input, std::int64_t max_size = 1000)
      : decoder(max_size, [this](std::string_view data) { text.append(data); }) {
    used = decoder.Feed(input);
  }
  std::string text;
  TChunkedDecoder decoder;
  std::size_t used = 0;
};

TEST(ChunkedDecoderTest, DecodesAndLeavesTheNextRequest) {
  Decoded whole(kBody + kNextRequest);
  EXPECT_EQ(whole.decoder.Status(), TChunkedStatus::Done);
  EXPECT_EQ(whole.text, kDecoded);
  EXPECT_EQ(whole.decoder.DecodedSize(), static_cast<std::int64_t>(kDecoded.size()));
  EXPECT_EQ(whole.used, kBody.size());
}

TEST(ChunkedDecoderTest, CopesWithEverySplitPoint) {
  const std::string input = kBody + kNextRequest;
  std::string text;
  TChunkedDecoder bytewise(1000, [&text](std::string_view data) { text.append(data); });
  std::size_t used = 0;
  for (char c : input) {
    EXPECT_EQ(bytewise.Status(),
              used < kBody.size() ? TChunkedStatus::NeedMore : TChunkedStatus::Done);
    used += bytewise.Feed(std::string_view(&c, 1));
  }
  EXPECT_EQ(bytewise.Status(), TChunkedStatus::Done);
  EXPECT_EQ(text, kDecoded);
  EXPECT_EQ(used, kBody.size());

  for (std::size_t cut = 0; cut <= input.size(); ++cut) {
    text.clear();
    TChunkedDecoder decoder(1000, [&text](std::string_view data) { text.append(data); });
    used = decoder.Feed(std::string_view(input).substr(0, cut));
    used += decoder.Feed(std::string_view(input).substr(used));
    EXPECT_EQ(decoder.Status(), TChunkedStatus::Done) << cut;
    EXPECT_EQ(text, kDecoded) << cut;
    EXPECT_EQ(used, kBody.size()) << cut;
  }
}

TEST(ChunkedDecoderTest, ReportsEachOutcome) {
  const std::string long_extension = "1;" + std::string(ChunkedMaxLineLength, 'a') + "\r\n";
  const std::string long_trailer = "0\r\nX: " + std::string(ChunkedMaxLineLength, 'a') + "\r\n";
  const struct {
    std::string input;
    TChunkedStatus status;
  } cases[] = {
      {"", TChunkedStatus::NeedMore},
      {"4\r\nWi", TChunkedStatus::NeedMore},
      {"4\r\nWiki\r\n0\r\n\r", TChunkedStatus::NeedMore},
      {"4\r\nWiki\r\n0\r\n\r\n", TChunkedStatus::Done},
      {"0000000000000004\r\nWiki\r\n0\r\n\r\n", TChunkedStatus::Done},
      {"a\r\n0123456789\r\n0\r\n\r\n", TChunkedStatus::Done},
      {"x\r\n", TChunkedStatus::Malformed},
      {"\r\n", TChunkedStatus::Malformed},
      {"-1\r\n", TChunkedStatus::Malformed},
      {"4x\r\n", TChunkedStatus::Malformed},
      {"4\nWiki\r\n", TChunkedStatus::Malformed},
      {"4\r\rWiki\r\n", TChunkedStatus::Malformed},
      {"4\r\nWikiX\r\n", TChunkedStatus::Malformed},
      {"4\r\nWiki\r\r", TChunkedStatus::Malformed},
      {"4;a\x01\r\nWiki\r\n", TChunkedStatus::Malformed},
      {"4\r\nWiki\r\n0\r\nX: y\n\r\n", TChunkedStatus::Malformed},
      {"4\r\nWiki\r\n0\r\nX: \x7F\r\n\r\n", TChunkedStatus::Malformed},
      {"4\r\nWiki\r\n0\r\n\n", TChunkedStatus::Malformed},
      {"4\r\nWiki\r\n0\r\n\rx", TChunkedStatus::Malformed},
      {"10000000000000000\r\n", TChunkedStatus::Malformed},
      {long_extension, TChunkedStatus::Malformed},
      {long_trailer, TChunkedStatus::Malformed},
      {"b\r\n", TChunkedStatus::TooLarge},
      {"5\r\nhello\r\n6\r\n", TChunkedStatus::TooLarge},
      {"7fffffffffffffff\r\n", TChunkedStatus::TooLarge},
  };
  for (const auto& c : cases) {
    Decoded decoded(c.input, 10);
    EXPECT_EQ(decoded.decoder.Status(), c.status) << c.input;
    EXPECT_LE(decoded.decoder.DecodedSize(), 10) << c.input;
  }
}

}  // namespace
}  // namespace korvi
