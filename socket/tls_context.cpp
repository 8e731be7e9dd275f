// TTlsContext: loading the certificate chain and key into an OpenSSL
// server context with the protocol settings.
#include "korvi/socket/tls_context.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <array>
#include <memory>

namespace korvi {

std::string TakeTlsErrorText() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "no detail";
  std::array<char, 256> text{};
  ERR_error_string_n(code, text.data(), text.size());
  return text.data();
}

namespace {

// The pass-phrase callback of the context: it never prompts. Asked for a
// pass phrase, it notes that the key is encrypted (in the flag its user data
// points to) and refuses, which fails the key's loading.
int RefusePassPhrase(char* /*buffer*/, int /*size*/, int /*rwflag*/, void* asked) {
  if (asked != nullptr) *static_cast<bool*>(asked) = true;
  return -1;
}

}  // namespace

TTlsContext::TTlsContext(const std::string& CertificateFile, const std::string& KeyFile) {
  ERR_clear_error();
  context_ = SSL_CTX_new(TLS_server_method());
  if (context_ == nullptr) throw ETlsError("TLS: no context: " + TakeTlsErrorText());
  // The context is freed by the destructor only once construction finished.
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> guard(context_, SSL_CTX_free);
  SSL_CTX_set_min_proto_version(context_, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(context_, TLS1_3_VERSION);
  SSL_CTX_set_options(
      context_, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION | SSL_OP_IGNORE_UNEXPECTED_EOF);
  // A write the socket took only in part goes on from the same bytes, which
  // the send chain may hand over from another address; a record counts as
  // written once it is whole.
  SSL_CTX_set_mode(context_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // Without a callback of its own the library would ask for a pass phrase
  // on the terminal, or fail for want of one.
  bool pass_phrase_asked = false;
  SSL_CTX_set_default_passwd_cb(context_, RefusePassPhrase);
  SSL_CTX_set_default_passwd_cb_userdata(context_, &pass_phrase_asked);
  if (SSL_CTX_use_certificate_chain_file(context_, CertificateFile.c_str()) != 1) {
    throw ETlsError("TLS: cannot read the certificate chain " + CertificateFile + ": " +
                    TakeTlsErrorText());
  }
  const bool key_loaded =
      SSL_CTX_use_PrivateKey_file(context_, KeyFile.c_str(), SSL_FILETYPE_PEM) == 1;
  // The flag lives no longer than this constructor.
  SSL_CTX_set_default_passwd_cb_userdata(context_, nullptr);
  if (pass_phrase_asked) {
    ERR_clear_error();
    throw ETlsError("TLS: the private key " + KeyFile +
                    " is encrypted; encrypted keys are not supported");
  }
  if (!key_loaded) {
    // A key of another certificate fails here already, as a mismatch.
    const std::string reason = TakeTlsErrorText();
    throw ETlsError(reason.find("values mismatch") != std::string::npos
                        ? "TLS: the private key " + KeyFile + " does not match the certificate " +
                              CertificateFile
                        : "TLS: cannot read the private key " + KeyFile + ": " + reason);
  }
  if (SSL_CTX_check_private_key(context_) != 1) {
    ERR_clear_error();
    throw ETlsError("TLS: the private key " + KeyFile + " does not match the certificate " +
                    CertificateFile);
  }
  guard.release();
}

TTlsContext::~TTlsContext() {
  SSL_CTX_free(context_);
}

}  // namespace korvi
