// TSSLKSocket: the TLS hooks. Without TLS they pass straight through to the
// plain socket; with it they run a TTlsConnection over the connection.
#include "korvi/socket/ssl_ksocket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "korvi/socket/tls_connection.h"
#include "korvi/socket/tls_context.h"

namespace korvi {

namespace {

// Most plaintext one TLS record carries.
constexpr int kTlsRecordSize = 16384;

}  // namespace

TSSLKSocket::TSSLKSocket(TComponent* owner) : TKSocket(owner) {}

TSSLKSocket::~TSSLKSocket() {
  // The client learns that the end of the connection is intended.
  if (tls_ && State() == wsConnected) tls_->Shutdown();
}

void TSSLKSocket::EnableTls(std::shared_ptr<const TTlsContext> Context) {
  context_ = std::move(Context);
  TlsEnabled = context_ != nullptr;
  // Each block the send chain hands over becomes one record: blocks of a
  // whole record's size keep the records (and their system calls) few.
  if (TlsEnabled) BufferSize = kTlsRecordSize;
}

bool TSSLKSocket::Startup() {
  if (!TlsEnabled) return true;
  if (State() == wsConnected) {
    // Records leave as they are written, without Nagle's wait: otherwise the
    // session tickets that follow the handshake, still unacknowledged, hold
    // the first answer back until the client's delayed acknowledgement
    // (40 ms). Answers that leave in pieces are held together by their own
    // sends (MSG_MORE or holding partial segments).
    const int on = 1;
    setsockopt(Handle(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // The session's records go through the plain socket's system calls.
    TTlsTransport transport{
        [this](void* buf, int len) { return TKSocket::_read(Handle(), buf, len, 0); },
        [this](const void* buf, int len) {
          return TKSocket::_Write(Handle(), buf, len, transport_flags_);
        }};
    try {
      tls_ = std::make_unique<TTlsConnection>(*context_, std::move(transport));
      return true;
    } catch (const ETlsError&) {
      // Without a session nothing may travel in the clear: the connection ends.
    }
  }
  Close();
  return false;
}

bool TSSLKSocket::HandShake() {
  if (!TlsEnabled) return true;
  // Adopting the connection armed its notifications: they start the
  // handshake as soon as the message loop runs.
  return tls_ && tls_->Established();
}

void TSSLKSocket::ContinueHandshake() {
  switch (tls_->Handshake()) {
    case TTlsStep::Done:
      Notifier().ReadCalled();
      if (tls_->HasBufferedInput()) Notifier().Post(FD_READ, 0);
      break;
    case TTlsStep::WantRead:
      Notifier().ReadCalled();
      break;
    case TTlsStep::WantWrite:
      Notifier().WriteBlocked();
      break;
    case TTlsStep::Failed:
      Close();  // only this connection ends
      break;
  }
}

void TSSLKSocket::Shutdown(int How) {
  if (tls_ && How != SHUT_RD && tls_->Established()) {
    EndSending(How);
    return;
  }
  TKSocket::Shutdown(How);
}

void TSSLKSocket::EndSending(int How) {
  pending_shutdown_ = -1;
  if (tls_->Shutdown() == TTlsStep::WantWrite) {
    // The alert waits in the session; shutting the connection now would cut it off.
    pending_shutdown_ = How;
    Notifier().WriteBlocked();
    return;
  }
  TKSocket::Shutdown(How);
}

void TSSLKSocket::WndProc(TMessage& MsgRec) {
  if (tls_ && MsgRec.Msg == WM_ASYNCSELECT && !Paused && Notifier().IsCurrent(MsgRec)) {
    const unsigned events = WSAGetSelectEvent(MsgRec.LParam);
    if (!tls_->Established() && !tls_->Failed() && (events & (FD_READ | FD_WRITE))) {
      // Until the handshake is complete the connection's readiness is its own.
      ContinueHandshake();
      return;
    }
    if (events & FD_WRITE) {
      if (pending_shutdown_ >= 0) EndSending(pending_shutdown_);
      if (read_wants_write_) {
        read_wants_write_ = false;
        Notifier().Post(FD_READ, 0);
      }
    }
  }
  TKSocket::WndProc(MsgRec);
}

void TSSLKSocket::InternalClose(bool bShut) {
  TKSocket::InternalClose(bShut);
  if (State() == wsClosed) {
    tls_.reset();
    pending_shutdown_ = -1;
    read_wants_write_ = false;
  }
}

bool TSSLKSocket::TriggerDataAvailable(std::uint16_t Error) {
  if (!tls_) return TKSocket::TriggerDataAvailable(Error);
  // A record can hold more than the handler reads at a time; the rest is
  // already out of the connection, so no readiness would announce it.
  bool delivered = false;
  std::uint64_t before = 0;
  do {
    before = delivered_;
    delivered = TKSocket::TriggerDataAvailable(Error);
  } while (delivered && tls_ && tls_->HasBufferedInput() && delivered_ != before);
  if (tls_ && tls_->Failed() && State() == wsConnected) Close();
  return delivered;
}

int TSSLKSocket::_WriteTo(int s, const void* buf, int len, int flags, const sockaddr_in& to,
                          int tolen) {
  return TKSocket::_WriteTo(s, buf, len, flags, to, tolen);
}

int TSSLKSocket::_Write(int s, const void* buf, int len, int flags) {
  if (!TlsEnabled) return TKSocket::_Write(s, buf, len, flags);
  if (!tls_) {
    WSASetLastError(WSAENOTCONN);
    return -1;
  }
  // A send that says more of the stream follows says so of its record.
  transport_flags_ = flags & MSG_MORE;
  const int written = tls_->Write(buf, len);
  transport_flags_ = 0;
  return written;
}

int TSSLKSocket::_read(int s, void* buf, int len, int flags) {
  if (!TlsEnabled) return TKSocket::_read(s, buf, len, flags);
  if (!tls_) {
    WSASetLastError(WSAENOTCONN);
    return -1;
  }
  const bool peek = (flags & MSG_PEEK) != 0;
  const int read = tls_->Read(buf, len, peek);
  if (read > 0 && !peek) delivered_ += static_cast<std::uint64_t>(read);
  if (read < 0 && tls_->Blocked() == TTlsStep::WantWrite) {
    read_wants_write_ = true;
    Notifier().WriteBlocked();
  }
  return read;
}

}  // namespace korvi
