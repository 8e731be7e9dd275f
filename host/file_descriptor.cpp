// TFileDescriptor and the open-descriptor limit.
#include "korvi/host/file_descriptor.h"

#include <sys/resource.h>
#include <unistd.h>

namespace korvi {

TFileDescriptor& TFileDescriptor::operator=(TFileDescriptor&& other) noexcept {
  if (this != &other) Reset(other.Release());
  return *this;
}

int TFileDescriptor::Release() noexcept {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

int TFileDescriptor::Reset(int fd) noexcept {
  const int old = fd_;
  fd_ = fd;
  return old >= 0 ? ::close(old) : 0;
}

std::int64_t RaiseDescriptorLimit(std::int64_t wanted) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  rlim_t target = limit.rlim_max;
  if (wanted >= 0 && (target == RLIM_INFINITY || static_cast<rlim_t>(wanted) < target)) {
    target = static_cast<rlim_t>(wanted);
  }
  if (target != RLIM_INFINITY && target > limit.rlim_cur) {
    limit.rlim_cur = target;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) getrlimit(RLIMIT_NOFILE, &limit);
  }
  return static_cast<std::int64_t>(limit.rlim_cur);
}

}  // namespace korvi
