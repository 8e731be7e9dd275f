// TSSLKSocket: the TLS hooks. Without TLS they pass straight through to the
// plain socket; with it they run a TTlsConnection over the connection.
#include "korvi/socket/ssl_ksocket.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include "korvi/socket/tls_connection.h"
#include "korvi/socket/tls_context.h"

namespace korvi {

namespace {

// Most plaintext one TLS record carries.
constexpr std::size_t kTlsRecordSize = 16384;

}  // namespace

TSSLKSocket::TSSLKSocket(TComponent* owner) : TKSocket(owner) {}

TSSLKSocket::~TSSLKSocket() {
  // What waits still leaves, and the client learns that the end of the
  // connection is intended.
  if (tls_ && State() == wsConnected && WriteHeld(false)) tls_->Shutdown();
}

void TSSLKSocket::EnableTls(std::shared_ptr<const TTlsContext> Context) {
  context_ = std::move(Context);
  TlsEnabled = context_ != nullptr;
  // Each block the send chain hands over becomes one record: blocks of a
  // whole record's size keep the records (and their system calls) few.
  if (TlsEnabled) BufferSize = static_cast<std::int32_t>(kTlsRecordSize);
}

bool TSSLKSocket::Startup() {
  if (!TlsEnabled) return true;
  if (State() == wsConnected) {
    // Records leave as they are written, without Nagle's wait: otherwise the
    // session tickets that follow the handshake, still unacknowledged, hold
    // the first answer back until the client's delayed acknowledgement
    // (40 ms). Answers that leave in pieces are held together by their own
    // sends (MSG_MORE on a short record, or holding partial segments).
    SendWithoutDelay();
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

void TSSLKSocket::SendPartialSegments() {
  if (tls_) SendHeld();
  TKSocket::SendPartialSegments();
}

void TSSLKSocket::SendHeld() {
  if (!WriteHeld(false) && WSAGetLastError() == WSAEWOULDBLOCK) Notifier().WriteBlocked();
}

bool TSSLKSocket::WriteHeld(bool more) {
  if (held_.empty()) return true;
  // A record short of full that more of the stream follows at once waits
  // for it in the system, so that the two leave in one segment.
  transport_flags_ = more && held_.size() < kTlsRecordSize ? MSG_MORE : 0;
  const int written = tls_->Write(held_.data(), static_cast<int>(held_.size()));
  transport_flags_ = 0;
  if (written > 0) held_.erase(0, static_cast<std::size_t>(written));
  // A record on its way must be written again with the same bytes.
  held_blocked_ = !held_.empty();
  if (held_blocked_) {
    if (written >= 0) WSASetLastError(WSAEWOULDBLOCK);
    return false;
  }
  // The room goes with the answer: an idle connection keeps none.
  if (!more) std::string().swap(held_);
  return true;
}

void TSSLKSocket::EndSending(int How) {
  pending_shutdown_ = -1;
  // What waits goes before the alert; a session that failed sends neither.
  const bool held_out = WriteHeld(false);
  if (held_out ? tls_->Shutdown() == TTlsStep::WantWrite : WSAGetLastError() == WSAEWOULDBLOCK) {
    // The held bytes or the alert wait for room; shutting the connection
    // now would cut them off.
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
      // Held bytes stopped on their way go on, unless a send (which
      // writes them first) or the end of sending is waiting anyway.
      if (held_blocked_ && pending_shutdown_ < 0) SendHeld();
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
    std::string().swap(held_);
    held_blocked_ = false;
    taken_into_held_ = 0;
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
  const auto* bytes = static_cast<const char*>(buf);
  // The record of what was held is on its way: it goes first.
  if (held_blocked_ && !WriteHeld(false)) return -1;
  if (taken_into_held_ > 0) {
    // The caller's bytes, offered again, went with it: they are sent.
    const int taken = std::min(len, taken_into_held_);
    taken_into_held_ -= taken;
    return taken;
  }
  const bool more = (flags & MSG_MORE) != 0;
  if (more || !held_.empty()) {
    // The pieces of an answer that say more follows are held, up to a
    // record's worth, and leave in one record with what follows them.
    if (held_.size() + static_cast<std::size_t>(len) <= kTlsRecordSize) {
      held_.append(bytes, static_cast<std::size_t>(len));
      if (more) return len;
      taken_into_held_ = len;
      if (!WriteHeld(false)) return -1;
      taken_into_held_ = 0;
      return len;
    }
    if (!WriteHeld(true)) return -1;
    if (more && static_cast<std::size_t>(len) < kTlsRecordSize) {
      held_.append(bytes, static_cast<std::size_t>(len));
      return len;
    }
    // The room goes with the answer.
    if (!more) std::string().swap(held_);
  }
  // A record's worth or more leaves as it is, also when more follows: held
  // back, a full record waits on loopback whole for the next ones, and the
  // pacing timer that then sends them costs more than the segments saved.
  return tls_->Write(buf, len);
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
