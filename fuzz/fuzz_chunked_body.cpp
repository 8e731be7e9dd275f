// Fuzz target for the chunked body decoder: the input, cut at a point the
// first two bytes choose, decodes to the same status, data and count of
// bytes taken as in one piece, never past the limit the third byte sets.
#include "korvi/web/chunked_decoder.h"

#include <string>

#include "fuzz_check.h"

using korvi::fuzz::Check;

namespace {

struct Outcome {
  korvi::TChunkedStatus status;
  std::string data;
  std::size_t used;
};

// Decodes `body` fed as its first `cut` bytes, then the rest from where the
// decoder stopped.
Outcome Decode(std::string_view body, std::size_t cut, std::int64_t limit) {
  std::string data;
  korvi::TChunkedDecoder decoder(limit, [&data](std::string_view piece) { data.append(piece); });
  std::size_t used = decoder.Feed(body.substr(0, cut));
  used += decoder.Feed(body.substr(used));
  Check(decoder.DecodedSize() == static_cast<std::int64_t>(data.size()),
        "DecodedSize counts the data passed to the sink");
  return {decoder.Status(), data, used};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvi::fuzz::TFuzzInput input(data, size);
  const std::size_t cut_choice = input.Byte() * 256u + input.Byte();
  const std::int64_t limit = input.Byte();
  const std::string_view body = input.Rest();

  const Outcome whole = Decode(body, body.size(), limit);
  const Outcome split = Decode(body, cut_choice % (body.size() + 1), limit);
  Check(whole.status == split.status, "the status does not depend on the cut");
  Check(whole.data == split.data, "the data does not depend on the cut");
  Check(whole.used == split.used, "the bytes taken do not depend on the cut");
  Check(static_cast<std::int64_t>(whole.data.size()) <= limit, "the data stays within the limit");
  Check(whole.used <= body.size(), "no more bytes are taken than given");
  return 0;
}
