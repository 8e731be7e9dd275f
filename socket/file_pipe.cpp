#include "korvi/socket/file_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace korvi {

bool TFilePipe::Open() {
  if (read_end_.Valid()) return true;
  if (refused_) return false;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) == 0) {
    read_end_.Reset(ends[0]);
    write_end_.Reset(ends[1]);
    if (fcntl(write_end_.Get(), F_SETPIPE_SZ, static_cast<int>(kSize)) >= static_cast<int>(kSize))
      return true;
    Drop();
  }
  refused_ = true;
  return false;
}

void TFilePipe::Drop() {
  read_end_.Reset();
  write_end_.Reset();
}

ssize_t TFilePipe::Send(int socket, int file, off_t offset, std::size_t len, bool more) {
  const ssize_t filled =
      splice(file, &offset, write_end_.Get(), nullptr, std::min(len, kSize), SPLICE_F_NONBLOCK);
  if (filled <= 0) return filled;
  const unsigned flags = SPLICE_F_MOVE | SPLICE_F_NONBLOCK | (more ? SPLICE_F_MORE : 0U);
  ssize_t moved = 0;
  while (moved < filled) {
    const ssize_t step = splice(read_end_.Get(), nullptr, socket, nullptr,
                                static_cast<std::size_t>(filled - moved), flags);
    if (step < 0 && errno == EINTR) continue;
    if (step == 0) errno = EAGAIN;  // nothing moved: treated as no room
    if (step <= 0) break;
    moved += step;
  }
  if (moved == filled) return moved;
  // The rest goes with the pipe; the caller offers it again.
  const int error = errno;
  Drop();
  if (moved > 0) return moved;
  errno = error;
  return -1;
}

}  // namespace korvi
