// Loopback helpers for the socket tests.
#include "loopback_peer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "support/pump.h"

namespace korvi::test {
namespace {

sockaddr_in LoopbackAddress(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

}  // namespace

LoopbackPeer::LoopbackPeer(int port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  const sockaddr_in addr = LoopbackAddress(port);
  if (fd_ < 0 || connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    throw std::runtime_error("loopback connect failed");
  }
}

LoopbackPeer LoopbackPeer::Adopt(int fd) {
  LoopbackPeer peer;
  peer.fd_ = fd;
  return peer;
}

LoopbackPeer::LoopbackPeer(LoopbackPeer&& other) noexcept : fd_(other.fd_) {
  other.fd_ = -1;
}

LoopbackPeer::~LoopbackPeer() {
  Close();
}

void LoopbackPeer::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("loopback send failed");
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

bool LoopbackPeer::ReadAvailable(std::string& out) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
      out.append(buffer, static_cast<size_t>(n));
      continue;
    }
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
  }
}

void LoopbackPeer::ReadBlocking(std::string& out, size_t count, int timeout_ms) {
  pollfd pfd{fd_, POLLIN, 0};
  while (out.size() < count && poll(&pfd, 1, timeout_ms) > 0) {
    if (!ReadAvailable(out)) return;
  }
}

void LoopbackPeer::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void LoopbackPeer::Reset() {
  linger option{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
  Close();
}

int ListenOnLoopback(TCustomKSocket& socket) {
  socket.SetAddr("127.0.0.1");
  socket.SetPort("0");
  if (socket.Listen() != 0) throw std::runtime_error("listen failed");
  return std::stoi(socket.GetXPort());
}

int AcceptWaiting(TCustomKSocket& listener) {
  bool waiting = false;
  auto saved = listener.OnSessionAvailable;
  listener.OnSessionAvailable = [&waiting](TObject*, std::uint16_t) { waiting = true; };
  const bool arrived = PumpUntil([&] { return waiting; });
  listener.OnSessionAvailable = saved;
  return arrived ? listener.Accept() : -1;
}

int UnusedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = LoopbackAddress(0);
  socklen_t len = sizeof addr;
  bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

int OpenDescriptorCount() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr)
      ++count;
    closedir(dir);
  }
  return count;
}

}  // namespace korvi::test
