// TLoopbackConnection: a blocking TCP client connection to 127.0.0.1 whose
// every wait is bounded, and the HTTP answers it reads: until the server
// closes the connection, or one answer on a connection the server keeps.
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

// True when `answer` is a "200 OK" answer (HTTP/1.0 or HTTP/1.1) whose body
// has exactly the length its Content-Length header announces.
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
  // Reads one answer: its head and as many body bytes as its Content-Length
  // header announces (none without one); the connection stays open. Raises
  // std::system_error when a read fails or times out.
  THttpAnswer ReadKeptAnswer();
  // Closes the connection (again: nothing).
  void Close();
  // The socket (-1 once closed).
  int Handle() const { return fd_; }

 private:
  // Reads an answer, until the connection closes or, with `one_answer`,
  // until its announced body is in.
  THttpAnswer Read(bool one_answer);

  int fd_ = -1;
};

}  // namespace korvi::bench
