// RawClient: a plain loopback TCP client for driving a TKorvi that runs on
// the calling thread's queue. It sends raw request bytes and collects what
// the server answers while pumping the queue, so the listener (which lives
// on the main thread's queue) keeps accepting meanwhile.
#pragma once

#include <string>
#include <string_view>

namespace korvi::test {

class RawClient {
 public:
  // Connects to 127.0.0.1:`port` (the kernel completes the connection before
  // the server accepts it).
  explicit RawClient(int port);
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  // Sends all of `bytes`.
  void Send(std::string_view bytes);
  // Pumps the queue until the server has closed the connection or
  // `timeout_ms` passed; returns every byte received so far.
  std::string ReadAll(int timeout_ms = 5000);
  // True once the server has closed the connection (after ReadAll).
  bool PeerClosed() const { return peer_closed_; }
  // Closes the connection with a reset instead of an orderly close.
  void Reset();
  // Closes the connection.
  void Close();

 private:
  void Drain();
  int fd_ = -1;
  std::string received_;
  bool peer_closed_ = false;
};

// A TCP port on 127.0.0.1 that nothing listens on at the moment.
int FreePort();

}  // namespace korvi::test
