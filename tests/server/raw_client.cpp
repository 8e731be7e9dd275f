// Loopback client sockets for the server tests.
#include "server/raw_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "support/pump.h"

namespace korvi::test {

namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

}  // namespace

RawClient::RawClient(int port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd_ < 0) throw std::runtime_error("socket failed");
  const sockaddr_in addr = Loopback(port);
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd_);
    throw std::runtime_error("connect failed");
  }
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

RawClient::~RawClient() {
  Close();
}

void RawClient::Send(std::string_view bytes) {
  size_t done = 0;
  bool ok = PumpUntil([&] {
    while (done < bytes.size()) {
      const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return n < 0 && errno != EAGAIN && errno != EWOULDBLOCK;
      done += static_cast<size_t>(n);
    }
    return true;
  });
  if (!ok || done < bytes.size()) throw std::runtime_error("send failed");
}

void RawClient::Drain() {
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n > 0) {
      received_.append(buffer, static_cast<size_t>(n));
    } else {
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) peer_closed_ = true;
      return;
    }
  }
}

std::string RawClient::ReadAll(int timeout_ms) {
  PumpUntil(
      [&] {
        Drain();
        return peer_closed_;
      },
      timeout_ms);
  return received_;
}

void RawClient::Reset() {
  if (fd_ < 0) return;
  const linger hard{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  Close();
}

void RawClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = Loopback(0);
  socklen_t length = sizeof addr;
  ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  ::close(fd);
  return ntohs(addr.sin_port);
}

}  // namespace korvi::test
