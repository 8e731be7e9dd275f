// TSocketNotifier: epoll readiness of one socket turned into the Windows
// Sockets notifications, posted to the socket's own message target.
#include "korvi/socket/socket_notifier.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>

#include "korvi/socket/socket_errors.h"

namespace korvi {
namespace {

static_assert(sizeof(std::intptr_t) >= 8, "the registration rides in the upper half of LParam");

// Bits 32-63 of a notification's LParam: the registration it was posted for.
constexpr int kRegistrationShift = 32;

// How often input may be reported again after its FD_READ went out, before
// a receive call, and stay watched (and a listener's connection after its
// FD_ACCEPT, before an accept): the queue looks at its descriptors before
// each message, so once while the notification still waits behind another
// message, and once more when its owner did not react.
constexpr std::uint8_t kLooksWhileOut = 2;

}  // namespace

TSocketNotifier::TSocketNotifier(TWndMethod method) : queue_(&TEventQueue::Current()) {
  wnd_ = queue_->AllocateHWnd(std::move(method));
}

TSocketNotifier::~TSocketNotifier() {
  TEventQueue::CheckOwnerThread(wnd_, "TSocketNotifier");
  Release();
  TEventQueue::ReleaseTarget(wnd_, -1);
}

bool TSocketNotifier::Select(int fd, unsigned mask) {
  if (fd < 0) {
    WSASetLastError(WSAENOTSOCK);
    return false;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    WSASetLastErrorFromErrno();
    return false;
  }
  if (fd != fd_) {
    Release();
    int value = 0;
    socklen_t len = sizeof value;
    listening_ = getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &value, &len) == 0 && value != 0;
    len = sizeof value;
    datagram_ = getsockopt(fd, SOL_SOCKET, SO_TYPE, &value, &len) == 0 && value == SOCK_DGRAM;
    connect_armed_ = false;
  }
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  Register(fd, mask, getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0);
  Update();
  return true;
}

bool TSocketNotifier::SelectAccepted(int fd, unsigned mask, bool non_blocking) {
  // A descriptor fresh from accept has no status flags set yet, unless the
  // accept set O_NONBLOCK.
  if (fd < 0 || (!non_blocking && fcntl(fd, F_SETFL, O_NONBLOCK) < 0)) return Select(fd, mask);
  if (fd != fd_) {
    Release();
    listening_ = datagram_ = connect_armed_ = false;
  }
  Register(fd, mask, true);
  // A fresh connection has room to send: its FD_WRITE needs no look at the
  // descriptor.
  write_armed_ = false;
  if (mask_ & FD_WRITE) Post(FD_WRITE, 0);
  Update();
  return true;
}

void TSocketNotifier::Register(int fd, unsigned mask, bool connected) {
  // Notifications already queued belong to the earlier registration: this
  // one reports afresh what holds now.
  ++registration_;
  fd_ = fd;
  // Registering reports again whatever holds now, as it does with Winsock:
  // pending bytes or connections, a closed connection, and room to send on a
  // datagram socket or a connected stream (one adopted after an accept, or
  // one resumed after a pause). So a notification that was dropped while the
  // socket was paused is not lost.
  gone_ = read_done_ = false;
  read_looks_ = accept_looks_ = 0;
  read_armed_ = accept_armed_ = close_armed_ = true;
  write_armed_ = !connect_armed_ && (datagram_ || connected);
  mask_ = mask;
}

void TSocketNotifier::Release() {
  ++registration_;
  // Through the target: the queue is gone when its thread has ended.
  if (watched_) TEventQueue::UnwatchFor(wnd_, fd_);
  watched_ = false;
  watched_events_ = 0;
  fd_ = -1;
  mask_ = 0;
}

void TSocketNotifier::ReadCalled() {
  if (read_armed_) return;
  read_armed_ = true;
  read_looks_ = 0;
  Update();
}

void TSocketNotifier::AcceptCalled() {
  if (accept_armed_) return;
  accept_armed_ = true;
  accept_looks_ = 0;
  Update();
}

void TSocketNotifier::WriteBlocked() {
  if (write_armed_) return;
  write_armed_ = true;
  Update();
}

void TSocketNotifier::ConnectStarted() {
  connect_armed_ = true;
  write_armed_ = false;
  Update();
}

bool TSocketNotifier::Post(unsigned event, int error) {
  if (fd_ < 0) return false;
  const std::intptr_t reply =
      static_cast<std::intptr_t>(static_cast<std::uint64_t>(registration_) << kRegistrationShift) |
      WSAMakeSelectReply(event, static_cast<unsigned>(error));
  return PostMessage(wnd_, WM_ASYNCSELECT, static_cast<std::uintptr_t>(fd_), reply);
}

bool TSocketNotifier::IsCurrent(const TMessage& msg) const {
  const auto registration =
      static_cast<std::uint32_t>(static_cast<std::uint64_t>(msg.LParam) >> kRegistrationShift);
  return fd_ >= 0 && msg.WParam == static_cast<std::uintptr_t>(fd_) &&
         registration == registration_;
}

// Watches exactly the readiness that an armed notification is waiting for.
void TSocketNotifier::Update() {
  if (fd_ < 0) return;
  std::uint32_t events = 0;
  if (!gone_ && mask_ != 0) {
    if (listening_) {
      if ((accept_armed_ || accept_looks_ > 0) && (mask_ & FD_ACCEPT)) events |= EPOLLIN;
    } else {
      if (!read_done_ && (read_armed_ || read_looks_ > 0) && (mask_ & FD_READ)) events |= EPOLLIN;
      if ((write_armed_ && (mask_ & FD_WRITE)) || (connect_armed_ && (mask_ & FD_CONNECT))) {
        events |= EPOLLOUT;
      }
      if (!datagram_ && !read_done_ && close_armed_ && (mask_ & FD_CLOSE)) events |= EPOLLRDHUP;
    }
  }
  if (events == 0) {
    if (watched_) queue_->Unwatch(fd_);
    watched_ = false;
  } else if (!watched_) {
    queue_->Watch(fd_, events, [this](std::uint32_t ready) { Ready(ready); });
    watched_ = true;
  } else if (events != watched_events_) {
    queue_->Modify(fd_, events);
  }
  watched_events_ = watched_ ? events : 0;
}

void TSocketNotifier::Ready(std::uint32_t events) {
  if (fd_ < 0 || gone_) return;
  if (listening_) {
    if ((events & EPOLLIN) && accept_armed_) {
      accept_armed_ = false;
      // The listener stays watched while the accept is on its way: one
      // that comes before the next looks needs no new registration.
      accept_looks_ = kLooksWhileOut;
      if (mask_ & FD_ACCEPT) Post(FD_ACCEPT, 0);
    } else if ((events & EPOLLIN) && accept_looks_ > 0) {
      --accept_looks_;  // the owner has not accepted since
    }
    if (events & EPOLLERR) TakeSocketError();
    Update();
    return;
  }
  if (connect_armed_ && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
    connect_armed_ = false;
    const int error = TakeSocketError();
    if (mask_ & FD_CONNECT) Post(FD_CONNECT, error);
    if (error != 0) {
      // A failed connect is reported once and is the end of this socket.
      gone_ = true;
      Update();
      return;
    }
    write_armed_ = true;
  }
  if (datagram_) {
    // Errors queued on a datagram socket (ICMP replies) are not notifications.
    if (events & EPOLLERR) TakeSocketError();
    if ((events & EPOLLIN) && read_armed_ && (mask_ & FD_READ)) {
      read_armed_ = false;
      Post(FD_READ, 0);
    }
    if ((events & EPOLLOUT) && write_armed_ && (mask_ & FD_WRITE)) {
      write_armed_ = false;
      Post(FD_WRITE, 0);
    }
    Update();
    return;
  }
  const bool broken = (events & (EPOLLHUP | EPOLLERR)) != 0;
  // While the end of the input is watched, input reported without it is
  // bytes to read; only otherwise are they counted.
  const bool only_bytes = (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) == EPOLLIN &&
                          (watched_events_ & EPOLLRDHUP) != 0;
  const bool bytes = (events & EPOLLIN) && (only_bytes || PendingBytes() > 0);
  // The peer's FIN, or readable with nothing to read: nothing more arrives.
  const bool peer_done = broken || (events & EPOLLRDHUP) || ((events & EPOLLIN) && !bytes);
  if (read_armed_ && bytes && (mask_ & FD_READ)) {
    read_armed_ = false;
    read_looks_ = kLooksWhileOut;
    Post(FD_READ, 0);
  } else if ((events & EPOLLIN) && read_looks_ > 0) {
    --read_looks_;  // the owner has not received since
  }
  if ((events & EPOLLOUT) && write_armed_ && (mask_ & FD_WRITE)) {
    write_armed_ = false;
    Post(FD_WRITE, 0);
  }
  if (peer_done) {
    const int error = (events & EPOLLERR) ? TakeSocketError() : 0;
    if (close_armed_ && (mask_ & FD_CLOSE)) Post(FD_CLOSE, error);
    close_armed_ = false;
    // The FD_CLOSE handler reads what is still buffered; watching for input
    // would only report the end again and again. A peer that only ended its
    // own direction still takes bytes, so writing is watched until the
    // connection breaks.
    read_done_ = true;
    if (broken) gone_ = true;
  }
  Update();
}

int TSocketNotifier::PendingBytes() const {
  int count = 0;
  return ioctl(fd_, FIONREAD, &count) == 0 ? count : 0;
}

int TSocketNotifier::TakeSocketError() const {
  int error = 0;
  socklen_t len = sizeof error;
  if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return WinsockErrorFromErrno(errno);
  return WinsockErrorFromErrno(error);
}

}  // namespace korvi
