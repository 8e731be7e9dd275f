// Plain loopback TCP connections for tests.
#include "tests/support/loopback_client.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>

#include "tests/support/pump.h"

namespace korvi::test {

namespace {

sockaddr_in LoopbackAddress(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

bool WouldBlock() {
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

}  // namespace

LoopbackClient::LoopbackClient(int port, int receive_buffer)
    : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  if (fd_ < 0) throw std::runtime_error("loopback socket failed");
  // Set before connecting, so that the window offered follows it.
  if (receive_buffer != 0 &&
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer) != 0) {
    Close();
    throw std::runtime_error("loopback receive buffer failed");
  }
  const sockaddr_in addr = LoopbackAddress(port);
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    Close();
    throw std::runtime_error("loopback connect failed");
  }
}

LoopbackClient::~LoopbackClient() {
  Close();
}

void LoopbackClient::Send(std::string_view bytes) {
  bool failed = false;
  PumpUntil([&] {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && WouldBlock()) return false;
      if (n <= 0) return failed = true;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  });
  if (failed || !bytes.empty()) throw std::runtime_error("loopback send failed");
}

bool LoopbackClient::ReadAvailable(std::string& out, size_t limit) {
  char buffer[65536];
  while (out.size() < limit) {
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
      out.append(buffer, static_cast<size_t>(n));
      continue;
    }
    return n < 0 && WouldBlock();
  }
  return true;
}

void LoopbackClient::ReadBlocking(std::string& out, size_t count, int timeout_ms) {
  pollfd pfd{fd_, POLLIN, 0};
  char buffer[65536];
  while (out.size() < count && ::poll(&pfd, 1, timeout_ms) > 0) {
    // Never more than asked for: a caller may stop reading on purpose.
    const size_t wanted = std::min(sizeof buffer, count - out.size());
    const ssize_t n = ::recv(fd_, buffer, wanted, MSG_DONTWAIT);
    if (n > 0) {
      out.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || !WouldBlock()) {
      return;
    }
  }
}

std::string LoopbackClient::ReadAll(int timeout_ms) {
  PumpUntil([&] { return peer_closed_ = !ReadAvailable(received_); }, timeout_ms);
  return received_;
}

void LoopbackClient::ShutdownWrite() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void LoopbackClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void LoopbackClient::Reset() {
  if (fd_ < 0) return;
  const linger hard{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  Close();
}

int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = LoopbackAddress(0);
  socklen_t length = sizeof addr;
  ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  ::close(fd);
  return ntohs(addr.sin_port);
}

namespace {

// How many entries of /proc/self/fd `counts` (given the entry's name).
int CountDescriptors(const std::function<bool(const char*)>& counts) {
  int count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (const dirent* entry = ::readdir(dir))
      count += counts(entry->d_name) ? 1 : 0;
    ::closedir(dir);
  }
  return count;
}

}  // namespace

int OpenDescriptorCount() {
  return CountDescriptors([](const char*) { return true; });
}

int DescriptorsOpenOn(const std::string& prefix) {
  return CountDescriptors([&](const char* name) {
    char target[4096];
    const std::string link = std::string("/proc/self/fd/") + name;
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target);
    return length > 0 && std::string_view(target, static_cast<size_t>(length)).starts_with(prefix);
  });
}

int UnreadAtServer(int port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // column headings
  while (std::getline(table, line)) {
    std::istringstream columns(line);
    std::string slot, local, remote, state, queues;
    columns >> slot >> local >> remote >> state >> queues;
    const size_t colon = local.find(':');
    if (state != "01" || colon == std::string::npos ||
        std::stoi(local.substr(colon + 1), nullptr, 16) != port) {
      continue;
    }
    return std::stoi(queues.substr(queues.find(':') + 1), nullptr, 16);
  }
  return -1;
}

}  // namespace korvi::test
