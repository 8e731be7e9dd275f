// Lowering and restoring the soft RLIMIT_NOFILE for EMFILE tests.
#include "tests/support/descriptor_limit.h"

#include <fcntl.h>
#include <sys/resource.h>

#include <stdexcept>

namespace korvi::test {

ScopedDescriptorLimit::ScopedDescriptorLimit(int spare) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) throw std::runtime_error("getrlimit failed");
  saved_ = limit.rlim_cur;
  // A descriptor number must stay below the limit: the limit is the free
  // number that follows the `spare` lowest ones.
  rlim_t fd = 0;
  for (;; ++fd) {
    if (fd >= limit.rlim_cur) throw std::runtime_error("not enough free descriptor numbers");
    if (fcntl(static_cast<int>(fd), F_GETFD) == -1 && spare-- == 0) break;
  }
  limit.rlim_cur = fd;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) throw std::runtime_error("setrlimit failed");
}

ScopedDescriptorLimit::~ScopedDescriptorLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = static_cast<rlim_t>(saved_);
  setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace korvi::test
