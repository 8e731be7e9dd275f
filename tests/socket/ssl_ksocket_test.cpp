// TSSLKSocket with TLS over real loopback connections: a client that ends
// its direction of the connection (a TCP half-close, without a TLS
// close_notify) after its request still gets the whole answer, also one
// sent in pieces ahead of each other, and records
// that arrive together with the handshake's end or with each other are all
// delivered.
#include "korvi/socket/ssl_ksocket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/bio.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "korvi/socket/tls_context.h"
#include "tests/socket/loopback_connection.h"
#include "tests/support/pump.h"
#include "tests/support/test_certificate.h"

namespace korvi {
namespace {

using test::AcceptWaiting;
using test::ListenOnLoopback;
using test::PumpUntil;

constexpr int kWaitMs = 30000;
const std::string kRequest = "GET /large HTTP/1.0\r\n\r\n";

// A blocking TLS client on 127.0.0.1:`port`: sends kRequest, ends its TCP
// direction without a close_notify, and reads until it holds `expected`
// bytes or the connection ends; every wait is bounded.
std::string HalfClosingClient(int port, size_t expected) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const timeval limit{kWaitMs / 1000, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  SSL* ssl = SSL_new(context);
  SSL_set_fd(ssl, fd);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      SSL_connect(ssl) == 1 &&
      SSL_write(ssl, kRequest.data(), static_cast<int>(kRequest.size())) > 0) {
    shutdown(fd, SHUT_WR);
    char buffer[65536];
    int got = 0;
    while (answer.size() < expected && (got = SSL_read(ssl, buffer, sizeof buffer)) > 0)
      answer.append(buffer, static_cast<size_t>(got));
  }
  SSL_free(ssl);
  SSL_CTX_free(context);
  close(fd);
  return answer;
}

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i)
    data[i] = static_cast<char>(i * 7 + i / 4096);
  return data;
}

// How the server side sends its answer: in one send, or in pieces of 8192
// bytes sent ahead, ended by a last send, by SendPartialSegments or by the
// end of the sending direction.
enum class TAnswerWay { OneSend, AheadThenLast, AheadThenPartialSegments, AheadThenShutdown };

void SendAnswer(TSSLKSocket& socket, const std::string& answer, TAnswerWay way) {
  if (way == TAnswerWay::OneSend) {
    socket.SendStr(answer);
    return;
  }
  constexpr size_t kPiece = 8192;
  for (size_t at = 0; at < answer.size(); at += kPiece) {
    const int length = static_cast<int>(std::min(kPiece, answer.size() - at));
    if (way == TAnswerWay::AheadThenLast && at + kPiece >= answer.size()) {
      socket.Send(answer.data() + at, length);
    } else {
      socket.SendAhead(answer.data() + at, length);
    }
  }
  if (way == TAnswerWay::AheadThenPartialSegments) socket.SendPartialSegments();
  if (way == TAnswerWay::AheadThenShutdown) socket.Shutdown(SHUT_WR);
}

// One exchange: the server side answers `answer` the `way` given once the
// request is in; true when the client got it whole and the client's
// half-close was reported once, without an error, while the connection
// stayed up.
::testing::AssertionResult AnswersAHalfClosingClient(
    const std::shared_ptr<const TTlsContext>& context, const std::string& answer,
    TAnswerWay way = TAnswerWay::OneSend) {
  TKSocket listener{nullptr};
  const int port = ListenOnLoopback(listener);
  std::atomic<bool> client_done = false;
  std::string received;
  std::thread client([&] {
    received = HalfClosingClient(port, answer.size());
    client_done = true;
  });
  TSSLKSocket socket{nullptr};
  socket.EnableTls(context);
  socket.Dup(AcceptWaiting(listener));
  socket.Startup();
  socket.KeepOpenOnPeerClose = true;
  std::string request;
  int closes = 0;
  int close_error = -1;
  bool connected_at_close = false;
  socket.OnDataAvailable = [&](TObject*, std::uint16_t) {
    char buffer[4096];
    const int got = socket.Receive(buffer, sizeof buffer);
    if (got <= 0) return;
    request.append(buffer, static_cast<size_t>(got));
    if (request == kRequest) SendAnswer(socket, answer, way);
  };
  socket.OnSessionClosed = [&](TObject*, std::uint16_t error) {
    ++closes;
    close_error = error;
    connected_at_close = socket.State() == wsConnected;
  };
  // The answer may be out before the half-close is looked at.
  const bool ended = PumpUntil([&] { return client_done && closes > 0; }, kWaitMs);
  client.join();
  if (!ended) return ::testing::AssertionFailure() << "the client or its half-close never ended";
  if (received != answer) {
    return ::testing::AssertionFailure()
           << "received " << received.size() << " of " << answer.size() << " bytes";
  }
  if (closes != 1 || close_error != 0 || !connected_at_close) {
    return ::testing::AssertionFailure() << "half-close reported " << closes << " time(s), error "
                                         << close_error << ", connected " << connected_at_close;
  }
  return ::testing::AssertionSuccess();
}

TEST(SslKSocketTest, HalfClosingClientGetsTheWholeAnswer) {
  test::TestCertificate pair;
  const auto context = std::make_shared<const TTlsContext>(pair.CertificateFile(), pair.KeyFile());
  const std::string megabyte = Pattern(1 << 20);
  for (int round = 0; round < 20; ++round)
    ASSERT_TRUE(AnswersAHalfClosingClient(context, megabyte)) << "1 MB, round " << round;
  const std::string large = Pattern(20 << 20);
  for (int round = 0; round < 3; ++round)
    ASSERT_TRUE(AnswersAHalfClosingClient(context, large)) << "20 MB, round " << round;
}

// Pieces sent ahead wait in the socket for what follows them; whatever ends
// them lets them go, in order, also through a connection that fills up.
TEST(SslKSocketTest, PiecesSentAheadAllArrive) {
  test::TestCertificate pair;
  const auto context = std::make_shared<const TTlsContext>(pair.CertificateFile(), pair.KeyFile());
  const std::string small = Pattern(100);
  const std::string piecemeal = Pattern(20000);
  const std::string megabyte = Pattern(1 << 20);
  for (const TAnswerWay way : {TAnswerWay::AheadThenLast, TAnswerWay::AheadThenPartialSegments,
                               TAnswerWay::AheadThenShutdown}) {
    for (const std::string* answer : {&small, &piecemeal, &megabyte}) {
      EXPECT_TRUE(AnswersAHalfClosingClient(context, *answer, way))
          << "way " << static_cast<int>(way) << ", " << answer->size() << " bytes";
    }
  }
}

// A TLS client on 127.0.0.1:`port` that holds its output until it has to
// wait for the server: the end of its handshake and one record per piece of
// `pieces` leave in a single send. Returns what it reads back until it holds
// `expected` bytes or the connection ends; every wait is bounded.
std::string GatheringClient(int port, const std::vector<std::string>& pieces, size_t expected) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const timeval limit{kWaitMs / 1000, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  SSL* ssl = SSL_new(context);
  BIO* output = BIO_new(BIO_s_mem());
  SSL_set_bio(ssl, BIO_new(BIO_s_mem()), output);
  SSL_set_connect_state(ssl);
  const auto flush = [&] {
    char* data = nullptr;
    const long count = BIO_get_mem_data(output, &data);
    const bool sent =
        count == 0 || send(fd, data, static_cast<size_t>(count), MSG_NOSIGNAL) == count;
    (void)BIO_reset(output);
    return sent;
  };
  const auto waited = [&](int result) {
    if (SSL_get_error(ssl, result) != SSL_ERROR_WANT_READ || !flush()) return false;
    char buffer[16384];
    const auto got = recv(fd, buffer, sizeof buffer, 0);
    return got > 0 && BIO_write(SSL_get_rbio(ssl), buffer, static_cast<int>(got)) == got;
  };
  std::string answer;
  bool going = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  for (int result = 0; going && (result = SSL_connect(ssl)) != 1;)
    going = waited(result);
  for (const std::string& piece : pieces)
    going = going && SSL_write(ssl, piece.data(), static_cast<int>(piece.size())) > 0;
  going = going && flush();
  while (going && answer.size() < expected) {
    char buffer[4096];
    const int got = SSL_read(ssl, buffer, sizeof buffer);
    if (got > 0) answer.append(buffer, static_cast<size_t>(got));
    going = got > 0 || waited(got);
  }
  SSL_free(ssl);
  SSL_CTX_free(context);
  close(fd);
  return answer;
}

TEST(SslKSocketTest, RecordsArrivingTogetherAreAllDelivered) {
  test::TestCertificate pair;
  const auto context = std::make_shared<const TTlsContext>(pair.CertificateFile(), pair.KeyFile());
  // One record right after the handshake's end, then several in one arrival.
  const std::vector<std::vector<std::string>> cases = {
      {"first"}, {"one ", "two ", "three"}, {Pattern(20000), "tail"}};
  for (const auto& pieces : cases) {
    std::string sent;
    for (const std::string& piece : pieces)
      sent += piece;
    TKSocket listener{nullptr};
    const int port = ListenOnLoopback(listener);
    std::atomic<bool> client_done = false;
    std::string echoed;
    std::thread client([&] {
      echoed = GatheringClient(port, pieces, sent.size());
      client_done = true;
    });
    TSSLKSocket socket{nullptr};
    socket.EnableTls(context);
    socket.Dup(AcceptWaiting(listener));
    socket.Startup();
    // Each handler call reads less than a record may hold.
    socket.OnDataAvailable = [&](TObject*, std::uint16_t) {
      char buffer[1024];
      const int got = socket.Receive(buffer, sizeof buffer);
      if (got > 0) socket.Send(buffer, got);
    };
    PumpUntil([&] { return client_done.load(); }, kWaitMs);
    client.join();
    EXPECT_EQ(echoed.size(), sent.size()) << pieces.size() << " piece(s)";
    EXPECT_TRUE(echoed == sent) << pieces.size() << " piece(s)";
  }
}

// The session tickets sent after the handshake would otherwise hold the
// first answer back by Nagle's rule until the client's delayed
// acknowledgement; a plain socket keeps the system's default.
TEST(SslKSocketTest, ATlsConnectionSendsWithoutNaglesWait) {
  test::TestCertificate pair;
  const auto context = std::make_shared<const TTlsContext>(pair.CertificateFile(), pair.KeyFile());
  for (const bool tls : {true, false}) {
    test::LoopbackConnection<TSSLKSocket> connection;
    if (tls) connection.socket.EnableTls(context);
    ASSERT_TRUE(connection.socket.Startup());
    int no_delay = -1;
    socklen_t length = sizeof no_delay;
    ASSERT_EQ(getsockopt(connection.socket.Handle(), IPPROTO_TCP, TCP_NODELAY, &no_delay, &length),
              0);
    EXPECT_EQ(no_delay != 0, tls) << (tls ? "TLS" : "plain");
  }
}

}  // namespace
}  // namespace korvi
