/// \file
/// TFileDescriptor: the one owner of a system descriptor (socket, epoll set,
/// eventfd, timerfd, file). It closes the descriptor when it goes, so no path,
/// an exception path included, can leak one. Also the process's limit of
/// open descriptors.
#pragma once

#include <cstdint>

namespace korvi {

/// The one owner of a system descriptor, closed with it.
class TFileDescriptor {
 public:
  /// Holds nothing.
  TFileDescriptor() = default;
  /// Takes ownership of `fd` (-1: nothing).
  explicit TFileDescriptor(int fd) noexcept : fd_(fd) {}
  /// Closes the descriptor held.
  ~TFileDescriptor() { Reset(); }
  /// Takes over `other`'s descriptor; `other` holds none.
  TFileDescriptor(TFileDescriptor&& other) noexcept : fd_(other.Release()) {}
  /// Closes the descriptor held and takes over `other`'s.
  TFileDescriptor& operator=(TFileDescriptor&& other) noexcept;
  TFileDescriptor(const TFileDescriptor&) = delete;
  TFileDescriptor& operator=(const TFileDescriptor&) = delete;

  /// The descriptor (-1 when none is held).
  int Get() const noexcept { return fd_; }
  /// True when a descriptor is held.
  bool Valid() const noexcept { return fd_ >= 0; }
  /// Gives the descriptor up without closing it and returns it.
  int Release() noexcept;
  /// Closes the descriptor held and takes `fd` instead. Returns 0, or -1 with
  /// errno set when that close failed (the descriptor is released all the
  /// same: Linux never keeps a descriptor whose close reported an error).
  int Reset(int fd = -1) noexcept;

 private:
  int fd_ = -1;
};

/// Raises the soft limit of open descriptors towards `wanted` (-1: as far as
/// the hard limit allows), never above the hard limit and never lowering it.
/// Returns the soft limit in force afterwards (0 when it cannot be read).
std::int64_t RaiseDescriptorLimit(std::int64_t wanted = -1);

}  // namespace korvi
