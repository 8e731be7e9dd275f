// LoopbackClient: a plain TCP connection to 127.0.0.1 that a test drives by
// hand, sending raw bytes and collecting what the other side answers, with
// every wait bounded. Also a free port and the count of open descriptors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvi::test {

class LoopbackClient {
 public:
  // Connects to 127.0.0.1:`port` (complete once the listener's backlog took
  // it, before anything accepts it), with a receive buffer of
  // `receive_buffer` bytes when not 0; throws std::runtime_error on failure.
  explicit LoopbackClient(int port, int receive_buffer = 0);
  // Closes the connection.
  ~LoopbackClient();
  LoopbackClient(const LoopbackClient&) = delete;
  LoopbackClient& operator=(const LoopbackClient&) = delete;

  // Sends all of `bytes`, pumping the calling thread's queue while the
  // connection cannot take more (so a server on this thread keeps reading).
  void Send(std::string_view bytes);
  // Appends what can be read right now to `out`, stopping once `out` holds
  // `limit` bytes or more; false once the other side closed.
  bool ReadAvailable(std::string& out, size_t limit = SIZE_MAX);
  // Reads until `out` holds `count` bytes (never more), the other side
  // closed or `timeout_ms` passed, pumping nothing: use it only when the
  // sender runs elsewhere.
  void ReadBlocking(std::string& out, size_t count, int timeout_ms);
  // Pumps the calling thread's queue until the other side has closed the
  // connection or `timeout_ms` passed; returns every byte ReadAll received so far.
  std::string ReadAll(int timeout_ms = 5000);
  // True once ReadAll saw the other side close the connection.
  bool PeerClosed() const { return peer_closed_; }
  // Ends the sending direction only; the answer can still be read.
  void ShutdownWrite();
  // Orderly close.
  void Close();
  // Closes with a reset (linger on, time 0) instead of an orderly close.
  void Reset();

 private:
  int fd_ = -1;
  std::string received_;
  bool peer_closed_ = false;
};

// A TCP port on 127.0.0.1 that nothing listens on at the moment.
int FreePort();
// Number of open descriptors of this process.
int OpenDescriptorCount();
// Number of descriptors of this process on files whose path starts with
// `prefix` (an unnamed temporary file shows as "<directory>/#<n> (deleted)").
int DescriptorsOpenOn(const std::string& prefix);
// The bytes waiting unread at the server's end of the one established
// connection to `port`, as the kernel lists it in /proc/net/tcp; -1 while
// there is no such connection (closed, or never opened).
int UnreadAtServer(int port);

}  // namespace korvi::test
