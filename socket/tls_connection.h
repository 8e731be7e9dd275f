/// \file
/// TTlsConnection: one server-side TLS session over a byte transport, without
/// ever blocking. Every operation does what the transport allows at once and
/// tells whether it must wait for the transport to become readable or
/// writable; the caller calls again when it has. The socket class with TLS
/// hooks (socket/ssl_ksocket.h) drives one over its connection; the record
/// path fuzz target drives one over bytes in memory.
///
/// Results follow the socket layer's conventions: a count, 0 when the client
/// closed the session, or -1 with the last socket error set (WSAEWOULDBLOCK:
/// try again once the transport is ready; WSAECONNRESET: the session failed
/// and is over). A client that ends its direction of the transport without
/// closing the session (a TCP half-close) has closed it for reading too: the
/// session still sends.
#pragma once

#include <functional>

/// The library's session type, kept out of the users of this header.
struct ssl_st;

namespace korvi {

class TTlsContext;

/// Where the session's records travel.
struct TTlsTransport {
  /// Reads up to `Length` bytes: the count, 0 when the peer ended its
  /// direction, -1 with the last socket error set (WSAEWOULDBLOCK when
  /// nothing is there yet).
  std::function<int(void* Buffer, int Length)> Read;
  /// Writes up to `Length` bytes: the count taken, or -1 with the last
  /// socket error set (WSAEWOULDBLOCK when nothing can be taken now).
  std::function<int(const void* Buffer, int Length)> Write;
};

/// What an operation needs before it can go on.
enum class TTlsStep { Done, WantRead, WantWrite, Failed };

/// One server-side TLS session over a byte transport.
class TTlsConnection {
 public:
  /// A session waiting for the client's hello, made from `Context` (which
  /// must outlive it).
  TTlsConnection(const TTlsContext& Context, TTlsTransport Transport);
  ~TTlsConnection();
  TTlsConnection(const TTlsConnection&) = delete;
  TTlsConnection& operator=(const TTlsConnection&) = delete;

  /// Takes the handshake as far as the transport allows.
  TTlsStep Handshake();
  /// The handshake has completed (here or inside a Read or Write).
  bool Established() const;
  /// The session failed (bad record, handshake refused, transport error).
  bool Failed() const { return failed_; }
  /// What the last operation that could not go on was waiting for.
  TTlsStep Blocked() const { return blocked_; }

  /// Decrypted bytes, at most `Length`; with `Peek` they stay to be read
  /// again. Completes the handshake first when needed. Once the client
  /// closed the session, what still arrives is dropped and the result is 0.
  int Read(void* Buffer, int Length, bool Peek = false);
  /// Encrypts and sends bytes; the count taken, which may be less than
  /// `Length`. After WSAEWOULDBLOCK, call again with the same bytes at the
  /// start of the buffer (a record is already on its way with them).
  int Write(const void* Buffer, int Length);
  /// Bytes are waiting (decrypted, or records read ahead) that no readiness
  /// of the transport will announce, since they have already been taken from
  /// it. The rest of a record may still have to arrive before a Read gets
  /// any of them.
  bool HasBufferedInput() const;
  /// Sends the close_notify alert (once). Failed when there is no session to
  /// close (handshake unfinished, session failed).
  TTlsStep Shutdown();

 private:
  /// Records why the operation that returned `result` could not go on.
  TTlsStep Step(int result);
  /// Reads and drops whatever the transport holds.
  void DropInput();
  ssl_st* ssl_ = nullptr;
  TTlsTransport transport_;
  TTlsStep blocked_ = TTlsStep::Done;
  bool failed_ = false;
  bool closed_by_peer_ = false;
  bool close_sent_ = false;
};

}  // namespace korvi
