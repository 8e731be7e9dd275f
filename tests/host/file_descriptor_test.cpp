// TFileDescriptor: sole ownership of a descriptor (closed when the owner
// goes or takes another, handed on by a move, given up by Release), and
// raising the open-descriptor limit.
#include "korvi/host/file_descriptor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <utility>

namespace korvi {
namespace {

bool IsOpen(int fd) {
  return fcntl(fd, F_GETFD) != -1;
}

int OpenNull() {
  return open("/dev/null", O_RDONLY | O_CLOEXEC);
}

TEST(FileDescriptorTest, OwnsExactlyOneDescriptor) {
  const int first = OpenNull();
  const int second = OpenNull();
  {
    TFileDescriptor owner(first);
    EXPECT_EQ(owner.Get(), first);
    TFileDescriptor moved(std::move(owner));
    EXPECT_FALSE(owner.Valid());
    EXPECT_EQ(moved.Get(), first);
    EXPECT_EQ(moved.Reset(second), 0);
    EXPECT_FALSE(IsOpen(first));
    EXPECT_TRUE(IsOpen(second));
    owner = std::move(moved);
    EXPECT_EQ(owner.Get(), second);
  }
  EXPECT_FALSE(IsOpen(second));

  const int kept = OpenNull();
  {
    TFileDescriptor owner(kept);
    EXPECT_EQ(owner.Release(), kept);
    EXPECT_EQ(owner.Reset(), 0);
  }
  EXPECT_TRUE(IsOpen(kept));
  close(kept);
}

// The soft limit rises towards what is asked, never past the hard limit and
// never down.
TEST(FileDescriptorTest, RaiseDescriptorLimit) {
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_GT(saved.rlim_max, 300u);
  rlimit low = saved;
  low.rlim_cur = 200;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  EXPECT_EQ(RaiseDescriptorLimit(250), 250);
  EXPECT_EQ(RaiseDescriptorLimit(100), 250);
  EXPECT_EQ(RaiseDescriptorLimit(), static_cast<std::int64_t>(saved.rlim_max));
  setrlimit(RLIMIT_NOFILE, &saved);
}

}  // namespace
}  // namespace korvi
