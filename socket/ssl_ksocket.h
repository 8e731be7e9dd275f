/// \file
/// TSSLKSocket: the socket class the server and its worker threads create. It
/// routes every system read and write and the connection start-up through
/// overridable hooks where a TLS layer sits. Unless TLS was enabled for it,
/// each hook passes straight through, so it behaves exactly like a TKSocket
/// (and the TLS library is never called).
///
/// With TLS enabled (server side, for a connection adopted with Dup):
/// Startup begins a session over the connection, HandShake takes the
/// handshake as far as the client allows, and the socket's own readiness
/// notifications carry it on from the message loop: no data-available event
/// fires until it is complete, and a handshake that fails closes the
/// connection. Then Receive and Send carry decrypted bytes; decrypted bytes
/// still waiting after the data-available handler are delivered to it at
/// once; ending the sending direction (Shutdown, Close) first sends the TLS
/// close_notify. A client that ends its direction, with or without its own
/// close_notify, is reported as on a plain connection (OnSessionClosed
/// without an error; with KeepOpenOnPeerClose the answer still goes out).
/// Read decrypted input through Receive; line mode, ReceiveStr and the
/// pending count look at the encrypted bytes. The bytes of a SendAhead wait in
/// the socket, up to a record's worth, and leave in one record with the
/// bytes that follow them (or with SendPartialSegments, the close_notify or
/// the close), so an answer sent in pieces takes few records.
#pragma once

#include <algorithm>
#include <memory>
#include <string>

#include "korvi/socket/ksocket.h"

namespace korvi {

class TTlsConnection;
class TTlsContext;

/// The socket of the server and its workers: a TKSocket with hooks for TLS.
class TSSLKSocket : public TKSocket {
 public:
  /// Creates the socket object, TLS off.
  explicit TSSLKSocket(TComponent* owner);
  ~TSSLKSocket() override;

  /// Turns TLS on for the next connection adopted: its Startup begins a
  /// server session from `Context`.
  void EnableTls(std::shared_ptr<const TTlsContext> Context);
  /// True when TLS is enabled for this socket.
  bool UsesTls() const { return TlsEnabled; }
  /// Lets the send chain hand over blocks of at least `Size` bytes, each in
  /// one system call (or one TLS record).
  void UseSendBlocksOf(std::int32_t Size) { BufferSize = std::max(BufferSize, Size); }
  /// Connection start-up hooks. Without TLS they do nothing and return true.
  ///@{
  /// With TLS, Startup begins the session on the adopted connection (when it
  /// cannot, it closes the connection and returns false); the handshake then
  /// runs from the message loop, and HandShake tells whether it is complete.
  bool Startup() override;
  bool HandShake() override;
  /// With TLS, ending the sending direction sends the close_notify first
  ///@}
  /// (the connection's shutdown follows once the alert is out).
  void Shutdown(int How) override;
  /// Also sends the bytes held for the next send.
  void SendPartialSegments() override;

 protected:
  void WndProc(TMessage& MsgRec) override;
  void InternalClose(bool bShut) override;
  bool TriggerDataAvailable(std::uint16_t Error) override;
  int _WriteTo(int s, const void* buf, int len, int flags, const sockaddr_in& to,
               int tolen) override;
  int _Write(int s, const void* buf, int len, int flags) override;
  int _read(int s, void* buf, int len, int flags) override;

 private:
  /// Takes the handshake a step on and arms the notification it waits for;
  /// closes the connection when it failed.
  void ContinueHandshake();
  /// Sends the close_notify, then shuts the connection down in direction
  /// `How`; waits for room to send when the alert cannot go out yet.
  void EndSending(int How);
  /// Writes the held bytes as a record (`more`: more of the stream follows
  /// at once). False when they could not all go yet (the socket error says
  /// why; WSAEWOULDBLOCK: write them again once there is room).
  bool WriteHeld(bool more);
  /// WriteHeld with nothing following; asks for room when they cannot all
  /// go yet.
  void SendHeld();
  std::shared_ptr<const TTlsContext> context_;
  std::unique_ptr<TTlsConnection> tls_;
  std::uint64_t delivered_ = 0;    ///< decrypted bytes read so far
  int pending_shutdown_ = -1;      ///< direction to shut once the close_notify is out
  bool read_wants_write_ = false;  ///< a read waits for room to send
  int transport_flags_ = 0;        ///< MSG_MORE while a short held record is written
  std::string held_;               ///< bytes sent ahead, waiting for what follows
  bool held_blocked_ = false;      ///< their record is on its way and must go first
  int taken_into_held_ = 0;        ///< bytes of the caller's send that went with them
};

}  // namespace korvi
