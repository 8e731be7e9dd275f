// TTlsConnection: an OpenSSL server session whose records go through a
// TTlsTransport (a BIO of this file's own kind), non-blocking throughout.
#include "korvi/socket/tls_connection.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <array>

#include "korvi/socket/socket_errors.h"
#include "korvi/socket/tls_context.h"

namespace korvi {
namespace {

TTlsTransport& TransportOf(BIO* bio) {
  return *static_cast<TTlsTransport*>(BIO_get_data(bio));
}

int TransportWrite(BIO* bio, const char* data, int length) {
  BIO_clear_retry_flags(bio);
  const int written = TransportOf(bio).Write(data, length);
  if (written < 0 && WSAGetLastError() == WSAEWOULDBLOCK) BIO_set_retry_write(bio);
  return written;
}

int TransportRead(BIO* bio, char* data, int length) {
  BIO_clear_retry_flags(bio);
  const int read = TransportOf(bio).Read(data, length);
  if (read < 0 && WSAGetLastError() == WSAEWOULDBLOCK) BIO_set_retry_read(bio);
  // The peer ended its direction. The library asks for this before it takes
  // a read of nothing as the end of the input rather than as a failure.
  if (read == 0 && length > 0) BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
  return read;
}

long TransportControl(BIO* bio, int command, long /*number*/, void* /*pointer*/) {
  switch (command) {
    case BIO_CTRL_FLUSH:
      // Writes go straight to the transport: there is never anything to flush.
      return 1;
    case BIO_CTRL_EOF:
      return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0 ? 1 : 0;
    default:
      return 0;
  }
}

int TransportCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

// The BIO kind over a TTlsTransport, made once for the process.
const BIO_METHOD* TransportMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "korvi transport");
    BIO_meth_set_write(made, TransportWrite);
    BIO_meth_set_read(made, TransportRead);
    BIO_meth_set_ctrl(made, TransportControl);
    BIO_meth_set_create(made, TransportCreate);
    return made;
  }();
  return method;
}

}  // namespace

TTlsConnection::TTlsConnection(const TTlsContext& Context, TTlsTransport Transport)
    : transport_(std::move(Transport)) {
  ERR_clear_error();
  ssl_ = SSL_new(Context.Handle());
  BIO* bio = ssl_ != nullptr ? BIO_new(TransportMethod()) : nullptr;
  if (bio == nullptr) {
    SSL_free(ssl_);
    throw ETlsError("TLS: no session: " + TakeTlsErrorText());
  }
  BIO_set_data(bio, &transport_);
  SSL_set_bio(ssl_, bio, bio);
  // Each read takes as much of the transport as the read buffer holds,
  // rather than a record's header and then its body: one system call per
  // arrival instead of two per record.
  SSL_set_read_ahead(ssl_, 1);
  SSL_set_accept_state(ssl_);
}

TTlsConnection::~TTlsConnection() {
  SSL_free(ssl_);
}

TTlsStep TTlsConnection::Step(int result) {
  switch (SSL_get_error(ssl_, result)) {
    case SSL_ERROR_WANT_READ:
      blocked_ = TTlsStep::WantRead;
      WSASetLastError(WSAEWOULDBLOCK);
      break;
    case SSL_ERROR_WANT_WRITE:
      blocked_ = TTlsStep::WantWrite;
      WSASetLastError(WSAEWOULDBLOCK);
      break;
    default:
      // The library's error queue belongs to the thread: leave nothing in it.
      ERR_clear_error();
      failed_ = true;
      blocked_ = TTlsStep::Failed;
      WSASetLastError(WSAECONNRESET);
      break;
  }
  return blocked_;
}

TTlsStep TTlsConnection::Handshake() {
  if (failed_) return TTlsStep::Failed;
  if (Established()) return TTlsStep::Done;
  ERR_clear_error();
  const int result = SSL_do_handshake(ssl_);
  if (result == 1) return TTlsStep::Done;
  return Step(result);
}

bool TTlsConnection::Established() const {
  return !failed_ && SSL_is_init_finished(ssl_);
}

int TTlsConnection::Read(void* Buffer, int Length, bool Peek) {
  if (failed_) {
    WSASetLastError(WSAECONNRESET);
    return -1;
  }
  if (closed_by_peer_) {
    DropInput();
    return 0;
  }
  if (Length <= 0) return 0;
  ERR_clear_error();
  const int read = Peek ? SSL_peek(ssl_, Buffer, Length) : SSL_read(ssl_, Buffer, Length);
  if (read > 0) return read;
  if (SSL_get_error(ssl_, read) == SSL_ERROR_ZERO_RETURN) {
    closed_by_peer_ = true;
    DropInput();
    return 0;
  }
  Step(read);
  return -1;
}

void TTlsConnection::DropInput() {
  // Nothing that follows the client's close belongs to the session; taking
  // it keeps the transport from announcing it again and again. A client
  // that keeps sending is served a bounded share per call.
  constexpr int kDropRounds = 16;
  std::array<char, 4096> scratch;
  for (int round = 0; round < kDropRounds; ++round) {
    if (transport_.Read(scratch.data(), static_cast<int>(scratch.size())) <= 0) return;
  }
}

int TTlsConnection::Write(const void* Buffer, int Length) {
  if (failed_) {
    WSASetLastError(WSAECONNRESET);
    return -1;
  }
  if (Length <= 0) return 0;
  ERR_clear_error();
  const int written = SSL_write(ssl_, Buffer, Length);
  if (written > 0) return written;
  Step(written);
  return -1;
}

bool TTlsConnection::HasBufferedInput() const {
  // Reading ahead may leave whole records behind the one decrypted, which
  // the count of decrypted bytes does not show.
  return !failed_ && SSL_has_pending(ssl_) == 1;
}

TTlsStep TTlsConnection::Shutdown() {
  if (!Established()) return TTlsStep::Failed;
  if (close_sent_) return TTlsStep::Done;
  ERR_clear_error();
  // 0: sent, the client's own close not seen yet; 1: both done.
  const int result = SSL_shutdown(ssl_);
  if (result >= 0) {
    close_sent_ = true;
    return TTlsStep::Done;
  }
  return Step(result);
}

}  // namespace korvi
