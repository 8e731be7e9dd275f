// TLoopbackConnection: blocking loopback client with send and receive
// time-outs (SO_SNDTIMEO also bounds connect on Linux).
#include "loopback_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace korvi::bench {

namespace {

constexpr std::string_view kHeadEnd = "\r\n\r\n";
// Longest head kept while looking for its end.
constexpr std::size_t kMaxHead = 16384;

[[noreturn]] void RaiseErrno(const char* what) {
  // A time-out shows as EAGAIN; name it plainly.
  const int error = errno == EAGAIN ? ETIMEDOUT : errno;
  throw std::system_error(error, std::generic_category(), what);
}

void SetTimeout(int fd, int option, int timeout_ms) {
  timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, option, &limit, sizeof limit);
}

// The value of the "Content-Length" header in `head`, or -1.
std::int64_t ContentLength(const std::string& head) {
  static constexpr std::string_view kName = "\r\ncontent-length:";
  for (std::size_t at = head.find("\r\n"); at != std::string::npos;
       at = head.find("\r\n", at + 2)) {
    if (head.size() - at < kName.size()) break;
    bool match = true;
    for (std::size_t i = 0; i < kName.size() && match; ++i) {
      match = std::tolower(static_cast<unsigned char>(head[at + i])) == kName[i];
    }
    if (match) return std::strtoll(head.c_str() + at + kName.size(), nullptr, 10);
  }
  return -1;
}

}  // namespace

bool IsCompleteOk(const THttpAnswer& answer) {
  return (answer.Head.starts_with("HTTP/1.0 200 OK\r\n") ||
          answer.Head.starts_with("HTTP/1.1 200 OK\r\n")) &&
         ContentLength(answer.Head) == answer.BodyBytes;
}

TLoopbackConnection::TLoopbackConnection(int port, int timeout_ms) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) RaiseErrno("socket");
  SetTimeout(fd_, SO_SNDTIMEO, timeout_ms);
  SetTimeout(fd_, SO_RCVTIMEO, timeout_ms);
  int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    Close();
    errno = error;
    RaiseErrno("connect");
  }
}

TLoopbackConnection::~TLoopbackConnection() {
  Close();
}

TLoopbackConnection::TLoopbackConnection(TLoopbackConnection&& other) noexcept : fd_(other.fd_) {
  other.fd_ = -1;
}

void TLoopbackConnection::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) RaiseErrno("send");
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
}

THttpAnswer TLoopbackConnection::ReadAnswer() {
  return Read(false);
}

THttpAnswer TLoopbackConnection::ReadKeptAnswer() {
  return Read(true);
}

THttpAnswer TLoopbackConnection::Read(bool one_answer) {
  THttpAnswer answer;
  bool head_done = false;
  char buffer[65536];
  for (;;) {
    if (one_answer && head_done && answer.BodyBytes >= ContentLength(answer.Head)) break;
    const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) RaiseErrno("recv");
    if (got == 0) break;
    answer.TotalBytes += got;
    if (head_done) {
      answer.BodyBytes += got;
      continue;
    }
    answer.Head.append(buffer, static_cast<std::size_t>(got));
    const std::size_t end = answer.Head.find(kHeadEnd);
    if (end != std::string::npos) {
      head_done = true;
      answer.BodyBytes = static_cast<std::int64_t>(answer.Head.size() - end - kHeadEnd.size());
      answer.Head.resize(end + 2);
    } else if (answer.Head.size() > kMaxHead) {
      head_done = true;  // no head at all: count the rest as body
    }
  }
  return answer;
}

void TLoopbackConnection::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace korvi::bench
