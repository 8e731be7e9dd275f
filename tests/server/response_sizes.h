// ResponseSizes: records, for every answer of a server, the bytes it
// announced (OnResponse) and the bytes it reported sent (OnResponseDone),
// for tests that compare the two. The events come on worker threads.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace korvi {

class TKorvi;

namespace test {

class ResponseSizes {
 public:
  // Hooks OnResponse and OnResponseDone of `server`, which must not outlive this.
  void Attach(TKorvi& server);
  // The announced sizes so far, in the order the answers started.
  std::vector<std::int64_t> Announced() const;
  // The reported sizes so far, in the order the answers ended.
  std::vector<std::int64_t> Sent() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::int64_t> announced_;
  std::vector<std::int64_t> sent_;
};

}  // namespace test
}  // namespace korvi
