// TLoopbackConnection: a blocking TCP client connection to 127.0.0.1 whose
// every wait is bounded, and the HTTP answer it reads until the server
// closes the connection.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace korvi::bench {

// What a server sent on one connection.
struct THttpAnswer {
  std::string Head;             // status line and headers, up to the empty line
  std::int64_t TotalBytes = 0;  // everything received
  std::int64_t BodyBytes = 0;   // received after the empty line
};

// True when `answer` is a "200 OK" answer whose body has exactly the length
// its Content-Length header announces.
bool IsCompleteOk(const THttpAnswer& answer);

class TLoopbackConnection {
 public:
  // Connects to 127.0.0.1:`port`; connecting, each send and each read give
  // up after `timeout_ms`. Raises std::system_error when connecting fails.
  TLoopbackConnection(int port, int timeout_ms);
  // Closes the connection.
  ~TLoopbackConnection();
  TLoopbackConnection(TLoopbackConnection&& other) noexcept;
  TLoopbackConnection& operator=(TLoopbackConnection&&) = delete;
  TLoopbackConnection(const TLoopbackConnection&) = delete;
  TLoopbackConnection& operator=(const TLoopbackConnection&) = delete;

  // Sends all of `bytes`; raises std::system_error on failure or time-out.
  void Send(std::string_view bytes);
  // Reads until the server closes the connection. Raises std::system_error
  // when a read fails or times out.
  THttpAnswer ReadAnswer();
  // Closes the connection (again: nothing).
  void Close();
  // The socket (-1 once closed).
  int Handle() const { return fd_; }

 private:
  int fd_ = -1;
};

}  // namespace korvi::bench
