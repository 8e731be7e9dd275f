/// \file
/// TTlsContext: the server side of TLS for every connection of one listener:
/// the certificate chain, its private key and the protocol settings, loaded
/// once before listening starts and then shared, read-only, by the
/// connections' threads (each starts its own session from it, see
/// socket/tls_connection.h).
///
/// Settings: TLS 1.2 and 1.3 only, the library's default cipher choice, no
/// renegotiation, no compression. A client that closes without a TLS
/// close_notify ends the session like one that sent it (the request carries
/// its own length).
#pragma once

#include <memory>
#include <string>

#include "korvi/host/exceptions.h"

/// The library's context type, kept out of the users of this header.
struct ssl_ctx_st;

namespace korvi {

/// TLS could not be set up: a file that cannot be read, a key that does not
/// match its certificate, an encrypted key.
class ETlsError : public Exception {
 public:
  using Exception::Exception;
};

/// The server side of TLS for every connection of one listener.
class TTlsContext {
 public:
  /// Loads the PEM certificate chain `CertificateFile` (the server's
  /// certificate first, then its intermediates) and the PEM private key
  /// `KeyFile`; raises ETlsError naming the file and the reason when either
  /// cannot be read or the key does not belong to the certificate. An
  /// encrypted key is refused ("TLS: the private key <KeyFile> is encrypted;
  /// encrypted keys are not supported"): no pass phrase is ever asked for.
  TTlsContext(const std::string& CertificateFile, const std::string& KeyFile);
  ~TTlsContext();
  TTlsContext(const TTlsContext&) = delete;
  TTlsContext& operator=(const TTlsContext&) = delete;

  /// The library's context that sessions are made from.
  ssl_ctx_st* Handle() const { return context_; }

 private:
  ssl_ctx_st* context_ = nullptr;
};

/// The text of the oldest error in the TLS library's queue of the calling
/// thread, which is emptied ("no detail" when it is empty).
std::string TakeTlsErrorText();

}  // namespace korvi
