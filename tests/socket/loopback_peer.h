// Loopback helpers for the socket tests: a plain blocking-free TCP peer that
// the test drives by hand, and a socket listening on 127.0.0.1 with a port
// the system picked.
#pragma once

#include <string>
#include <string_view>

#include "host/event_queue.h"
#include "socket/ksocket.h"

namespace korvi::test {

// A plain TCP connection to 127.0.0.1, read and written without blocking
// the test thread for longer than a bounded poll.
class LoopbackPeer {
 public:
  // Connects to 127.0.0.1:`port` (complete once the listener's backlog took it).
  explicit LoopbackPeer(int port);
  // Wraps an already connected descriptor.
  static LoopbackPeer Adopt(int fd);
  LoopbackPeer(LoopbackPeer&& other) noexcept;
  ~LoopbackPeer();
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  int Fd() const { return fd_; }
  // Sends all of `bytes`.
  void Send(std::string_view bytes);
  // Appends what can be read right now to `out`; false once the other side closed.
  bool ReadAvailable(std::string& out);
  // Reads until `out` holds `count` bytes, the other side closed or
  // `timeout_ms` passed, pumping nothing: use it only when the sender runs elsewhere.
  void ReadBlocking(std::string& out, size_t count, int timeout_ms);
  // Orderly close.
  void Close();
  // Closes with a reset (linger on, time 0).
  void Reset();

 private:
  LoopbackPeer() = default;
  int fd_ = -1;
};

// Makes `socket` listen on 127.0.0.1 at a port the system picks; returns the port.
int ListenOnLoopback(TCustomKSocket& socket);
// Pumps until `listener` reports a waiting connection, then accepts it;
// returns the handle (-1 when none came in time).
int AcceptWaiting(TCustomKSocket& listener);
// A port on 127.0.0.1 that nothing listens on.
int UnusedPort();
// Number of open descriptors of this process.
int OpenDescriptorCount();

// A connected pair: `socket` adopted from `listener`, `peer` the plain other
// end. The notification announcing the writable adopted connection has run.
template <typename Socket = TKSocket>
struct LoopbackConnection {
  TKSocket listener{nullptr};
  LoopbackPeer peer{ListenOnLoopback(listener)};
  Socket socket{nullptr};
  LoopbackConnection() {
    socket.Dup(AcceptWaiting(listener));
    TEventQueue::Current().ProcessMessages();
  }
};

}  // namespace korvi::test
