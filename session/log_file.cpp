// WriteToLogFile: one append-mode write per call.
#include "korvi/session/log_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace korvi {

void WriteToLogFile(const std::string& text) {
  const int fd = ::open("LOGFILE.TXT", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  // O_APPEND moves to the end and writes in one step, whoever else appends.
  while (::write(fd, text.data(), text.size()) < 0 && errno == EINTR) {
  }
  ::close(fd);
}

}  // namespace korvi
