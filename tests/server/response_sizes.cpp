// Recording the sizes a server announces and reports for its answers.
#include "tests/server/response_sizes.h"

#include "korvi/server/korvi.h"

namespace korvi::test {

void ResponseSizes::Attach(TKorvi& server) {
  server.OnResponse = [this](int, std::int64_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    announced_.push_back(bytes);
  };
  server.OnResponseDone = [this](int, std::int64_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.push_back(bytes);
  };
}

std::vector<std::int64_t> ResponseSizes::Announced() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return announced_;
}

std::vector<std::int64_t> ResponseSizes::Sent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_;
}

}  // namespace korvi::test
