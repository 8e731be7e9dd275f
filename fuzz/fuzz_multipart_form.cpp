// Fuzz target for multipart form bodies: parsing never reads outside the
// body, every file range it records lies inside the body, and copying a
// part gives exactly the bytes of its range.
#include "korvi/web/multipart_form.h"

#include <string>

#include "fuzz_check.h"
#include "korvi/host/exceptions.h"
#include "korvi/host/streams.h"
#include "korvi/host/string_list.h"

using korvi::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  korvi::TStringList fields;
  korvi::TStringList ranges;
  korvi::TStringList names;
  korvi::ParseMultiPartForm(body, fields, ranges, names);

  korvi::TMemoryStream stream;
  stream.WriteBuffer(body.data(), static_cast<std::int64_t>(body.size()));
  for (int i = 0; i < ranges.Count(); ++i) {
    // A part name may itself hold "=": the range is what follows the last one.
    const std::string range = ranges[i].substr(ranges[i].rfind('=') + 1);
    const std::size_t comma = range.find(',');
    Check(comma != std::string::npos, "a file range is start,end");
    const long long start = std::stoll(range.substr(0, comma));
    const long long end = std::stoll(range.substr(comma + 1));
    Check(0 <= start && start <= end && end <= static_cast<long long>(body.size()),
          "a file range lies inside the body");
    const std::unique_ptr<korvi::TMemoryStream> part = korvi::CopyFormPart(stream, range);
    Check(part != nullptr, "a recorded range can be copied");
    Check(part->Size() == end - start, "the copy has the range's length");
    Check(std::string(part->Memory(), static_cast<std::size_t>(part->Size())) ==
              body.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)),
          "the copy holds the range's bytes");
  }
  // Ranges that are not two numbers inside the body give no copy.
  const std::string bad = std::string(body.substr(0, 40));
  const std::unique_ptr<korvi::TMemoryStream> odd = korvi::CopyFormPart(stream, bad);
  if (odd)
    Check(odd->Size() <= static_cast<std::int64_t>(body.size()), "no copy outgrows the body");
  return 0;
}
