/// \file
/// TFilePipe: moves a file's bytes to a socket through a pipe of 1 MiB
/// (splice), the way sendfile does through one of 64 KiB: the pages are
/// never copied, and a large part of a file goes in one step instead of
/// sixteen.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "korvi/host/file_descriptor.h"

namespace korvi {

/// A pipe between a file and a socket. It keeps no bytes between calls:
/// what the socket did not take is dropped with the pipe, and the caller
/// offers it again later, as after a sendfile the socket took in part.
class TFilePipe {
 public:
  /// Bytes the pipe holds at once.
  static constexpr std::size_t kSize = std::size_t{1} << 20;

  /// Makes the pipe when there is none; false when the system refuses it
  /// or its size (over the user's share of pipe room, say), and then for
  /// good: the bytes go another way.
  bool Open();
  /// Copies up to `len` bytes (at most kSize) of `file` from `offset` to
  /// `socket` through the open pipe, as sendfile does: the bytes the socket
  /// took, 0 at the file's end, or -1 with errno set (EAGAIN when the
  /// socket had no room). `more`: the caller sends more of the stream at
  /// once, so a partly filled last segment waits for it.
  ssize_t Send(int socket, int file, off_t offset, std::size_t len, bool more);

 private:
  /// Drops the pipe and whatever it holds.
  void Drop();

  TFileDescriptor read_end_;
  TFileDescriptor write_end_;
  bool refused_ = false;  ///< the system would not make the pipe
};

}  // namespace korvi
