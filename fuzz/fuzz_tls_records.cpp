// Fuzz target for the TLS record path: a server TTlsConnection talks to an
// OpenSSL client in memory. The input shapes the traffic, not the bytes of
// the records (the TLS library's own fuzzing covers their parsing):
//   byte 0: bit 0 caps the client at TLS 1.2; bit 1 flips one byte of the
//           client's first records that carry plaintext, at the offset of
//           byte 1;
//           bit 2 makes the client end with close_notify;
//   bytes 2-9: eight sizes (1 to 256 bytes, used in turn) of the pieces in
//           which the server's transport takes bytes in and out; a size of
//           1 is a transport that would block once instead;
//   bytes 10-13: four sizes (1 to 256) of the server's reads, in turn;
//   the rest: the plaintext the client sends (up to 16 KiB), which the
//           server echoes back.
// Checks: no crash or sanitizer report; the exchange ends in bounded
// rounds; without the flipped byte the handshake completes, the server
// reads the plaintext whole and in order, the client gets the echo whole,
// and the client's close_notify reads as the end (0); with it, a failed
// session refuses every further read and write with WSAECONNRESET; a read
// never returns more than was asked for.
#include "korvi/socket/tls_connection.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "fuzz_check.h"
#include "korvi/socket/socket_errors.h"
#include "korvi/socket/tls_context.h"

using korvi::fuzz::Check;

namespace {

constexpr int kRounds = 4000;
constexpr int kStepsPerRound = 64;
constexpr size_t kMaxPlaintext = 16 * 1024;

// Writes `write` to a new file `path` with OpenSSL's PEM writer.
template <typename Writer>
void WritePem(const std::string& path, Writer write) {
  FILE* file = std::fopen(path.c_str(), "w");
  Check(file != nullptr && write(file), "writing a PEM file");
  std::fclose(file);
}

// A server context with a self-signed EC certificate made for this run.
const korvi::TTlsContext& ServerContext() {
  static const std::unique_ptr<korvi::TTlsContext> context = [] {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 86400);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(certificate, X509_get_subject_name(certificate));
    X509_set_pubkey(certificate, key);
    Check(X509_sign(certificate, key, EVP_sha256()) > 0, "signing the certificate");
    char directory[] = "/tmp/korvi-fuzz-tls.XXXXXX";
    Check(mkdtemp(directory) != nullptr, "making a directory");
    const std::string cert_file = std::string(directory) + "/cert.pem";
    const std::string key_file = std::string(directory) + "/key.pem";
    WritePem(cert_file, [&](FILE* f) { return PEM_write_X509(f, certificate) == 1; });
    WritePem(key_file, [&](FILE* f) {
      return PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    });
    auto made = std::make_unique<korvi::TTlsContext>(cert_file, key_file);
    unlink(cert_file.c_str());
    unlink(key_file.c_str());
    rmdir(directory);
    X509_free(certificate);
    EVP_PKEY_free(key);
    return made;
  }();
  return *context;
}

SSL_CTX* ClientContext() {
  static SSL_CTX* const context = [] {
    SSL_CTX* made = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(made, SSL_VERIFY_NONE, nullptr);
    return made;
  }();
  return context;
}

// A piece of size 1 stands for a transport that is not ready, once: the
// call after a refusal goes through (with one byte), so every exchange can
// end.
bool WouldBlock(int piece, bool& blocked) {
  blocked = piece == 1 && !blocked;
  return blocked;
}

// Moves what `from` holds into the string `to`.
void Drain(BIO* from, std::string& to) {
  std::array<char, 4096> buffer;
  int n = 0;
  while ((n = BIO_read(from, buffer.data(), static_cast<int>(buffer.size()))) > 0) {
    to.append(buffer.data(), static_cast<size_t>(n));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvi::fuzz::TFuzzInput in(data, size);
  const std::uint8_t mode = in.Byte();
  const std::uint8_t flip_at = in.Byte();
  std::array<int, 8> pieces{};
  for (int& piece : pieces)
    piece = in.Byte() + 1;
  std::array<int, 4> reads{};
  for (int& read : reads)
    read = in.Byte() + 1;
  const std::string plaintext(in.Rest().substr(0, kMaxPlaintext));
  const bool flip = (mode & 2) != 0;
  const bool client_closes = (mode & 4) != 0;

  std::string to_server;  // the client's records on their way
  std::string to_client;  // the server's records on their way
  bool flipped = false;
  size_t piece_turn = 0;
  bool in_blocked = false;   // the last read would have blocked
  bool out_blocked = false;  // the last write would have blocked
  const auto next_piece = [&] { return pieces[piece_turn++ % pieces.size()]; };
  korvi::TTlsTransport transport{
      [&](void* buffer, int length) {
        const int piece = next_piece();
        if (to_server.empty() || WouldBlock(piece, in_blocked)) {
          korvi::WSASetLastError(korvi::WSAEWOULDBLOCK);
          return -1;
        }
        const int count = std::min({length, piece, static_cast<int>(to_server.size())});
        to_server.copy(static_cast<char*>(buffer), static_cast<size_t>(count));
        to_server.erase(0, static_cast<size_t>(count));
        return count;
      },
      [&](const void* buffer, int length) {
        const int piece = next_piece();
        if (WouldBlock(piece, out_blocked)) {
          korvi::WSASetLastError(korvi::WSAEWOULDBLOCK);
          return -1;
        }
        const int count = std::min(length, piece);
        to_client.append(static_cast<const char*>(buffer), static_cast<size_t>(count));
        return count;
      }};
  korvi::TTlsConnection server(ServerContext(), transport);

  SSL* client = SSL_new(ClientContext());
  BIO* client_in = BIO_new(BIO_s_mem());
  BIO* client_out = BIO_new(BIO_s_mem());
  SSL_set_bio(client, client_in, client_out);
  SSL_set_connect_state(client);
  if (mode & 1) SSL_set_max_proto_version(client, TLS1_2_VERSION);

  std::string received;      // what the server read
  std::string echoed;        // what the client read back
  size_t client_sent = 0;    // plaintext the client has written
  size_t server_sent = 0;    // echo the server has written
  bool client_done = false;  // the client closed after its plaintext
  bool server_saw_end = false;
  bool finished = false;  // everything went both ways
  size_t read_turn = 0;
  std::array<char, 256> read_buffer;
  for (int round = 0; round < kRounds; ++round) {
    // The client's side of the wire.
    if (!to_client.empty()) {
      BIO_write(client_in, to_client.data(), static_cast<int>(to_client.size()));
      to_client.clear();
    }
    ERR_clear_error();
    const size_t sent_before = client_sent;
    if (SSL_do_handshake(client) == 1) {
      if (client_sent < plaintext.size()) {
        const int n = SSL_write(client, plaintext.data() + client_sent,
                                static_cast<int>(plaintext.size() - client_sent));
        if (n > 0) client_sent += static_cast<size_t>(n);
      } else if (client_closes && !client_done && received.size() == plaintext.size()) {
        SSL_shutdown(client);
        client_done = true;
      }
      std::array<char, 4096> buffer;
      int n = 0;
      while ((n = SSL_read(client, buffer.data(), static_cast<int>(buffer.size()))) > 0) {
        echoed.append(buffer.data(), static_cast<size_t>(n));
      }
    }
    ERR_clear_error();
    const size_t before = to_server.size();
    Drain(client_out, to_server);
    if (flip && !flipped && client_sent > sent_before && to_server.size() > before) {
      to_server[before + flip_at % (to_server.size() - before)] ^= 0x5A;
      flipped = true;
    }

    // The server's side: a few steps of each kind per round, going on past
    // a transport that was not ready (it is the next time).
    if (!server.Established()) {
      for (int step = 0; step < kStepsPerRound && !server.Established(); ++step) {
        if (server.Handshake() == korvi::TTlsStep::Failed) break;
      }
      if (server.Failed()) break;
      continue;
    }
    for (int step = 0; step < kStepsPerRound; ++step) {
      const int wanted = reads[read_turn++ % reads.size()];
      const int n = server.Read(read_buffer.data(), wanted);
      Check(n <= wanted, "a read returned more than asked for");
      if (n > 0) received.append(read_buffer.data(), static_cast<size_t>(n));
      if (n == 0) server_saw_end = true;
      if (n == 0 || server.Failed() || (n < 0 && to_server.empty())) break;
    }
    if (server.Failed()) break;
    for (int step = 0; step < kStepsPerRound && server_sent < received.size(); ++step) {
      const int w = server.Write(received.data() + server_sent,
                                 static_cast<int>(received.size() - server_sent));
      if (w > 0) server_sent += static_cast<size_t>(w);
      if (server.Failed()) break;
    }
    if (server.Failed()) break;
    if (received.size() == plaintext.size() && echoed.size() == plaintext.size() &&
        (!client_closes || server_saw_end)) {
      finished = true;
      break;
    }
  }
  ERR_clear_error();

  if (server.Failed()) {
    char byte = 0;
    korvi::WSASetLastError(0);
    Check(server.Read(&byte, 1) == -1 && korvi::WSAGetLastError() == korvi::WSAECONNRESET,
          "a failed session still reads");
    Check(server.Write("x", 1) == -1 && korvi::WSAGetLastError() == korvi::WSAECONNRESET,
          "a failed session still writes");
    Check(server.Shutdown() == korvi::TTlsStep::Failed, "a failed session still closes");
  } else if (!flipped) {
    Check(finished, "the exchange did not end in bounded rounds");
    Check(server.Established(), "the handshake did not complete");
    Check(received == plaintext, "the server read other bytes than were sent");
    Check(echoed == plaintext, "the client read other bytes than were echoed");
    Check(!client_closes || server_saw_end, "the client's close_notify was not the end");
  }
  SSL_free(client);
  return 0;
}
