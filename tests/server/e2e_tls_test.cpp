// End to end over HTTPS: a TKorvi with TLS and one without over the same
// document tree, asked by curl (trusting a certificate made for the test),
// Python's ssl client and raw sockets. Over TLS the answers are the plain
// ones byte for byte; clients that do not speak TLS, or stop speaking it,
// end only their own connection.
#include "korvi/server/korvi.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <functional>
#include <string>
#include <vector>

#include "korvi/host/streams.h"
#include "korvi/host/sysutils.h"
#include "korvi/web/action_item.h"
#include "korvi/web/korvi_request.h"
#include "korvi/web/korvi_response.h"
#include "tests/support/child_process.h"
#include "tests/support/curl.h"
#include "tests/support/loopback_client.h"
#include "tests/support/pump.h"
#include "tests/support/served.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_certificate.h"

namespace korvi {
namespace {

using test::ChildResult;
using test::LoopbackClient;
using test::MaskDate;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// `size` bytes of every value, the same for the same size.
std::string Bytes(size_t size) {
  std::string bytes(size, '\0');
  std::uint32_t state = 2463534242u;
  for (char& c : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    c = static_cast<char>(state);
  }
  return bytes;
}

// A Python client that checks the certificate against the CA file argv[1]
// for the name "localhost", sends argv[3] to port argv[2] and prints the TLS
// version and the answer; an end without the server's close_notify is an
// error.
const char* const kPythonClient = R"(
import socket, ssl, sys
context = ssl.create_default_context(cafile=sys.argv[1] or None)
with socket.create_connection(("127.0.0.1", int(sys.argv[2])), timeout=10) as raw:
    with context.wrap_socket(raw, server_hostname="localhost", suppress_ragged_eofs=False) as tls:
        tls.sendall(sys.argv[3].encode())
        answer = b""
        while chunk := tls.recv(65536):
            answer += chunk
        print(tls.version())
        sys.stdout.write(answer.decode("latin-1"))
)";

class TlsEndToEnd : public ::testing::Test {
 protected:
  TlsEndToEnd() {
    dir_.Write("www/page.htm", "<p>page</p>");
    dir_.Write("www/docs/a.txt", "a");
    for (TKorvi* server : {&plain_, &tls_}) {
      server->SetRoot(dir_.File("www"));
      server->SetPort(0);
      TKActionItem* echo = server->Actions()->Add();
      echo->SetPathInfo("/act");
      echo->SetOnAction(
          [](TObject*, TKorviRequest* request, TKorviResponse* response, bool& handled) {
            response->SetContent("query " + request->Query());
            handled = true;
          });
      // The size of the uploaded file and a digest of its bytes.
      TKActionItem* upload = server->Actions()->Add();
      upload->SetPathInfo("/upload");
      upload->SetOnAction(
          [](TObject*, TKorviRequest* request, TKorviResponse* response, bool& handled) {
            const auto part = request->GetFileField("file");
            const std::string bytes =
                part ? std::string(part->Memory(), static_cast<size_t>(part->Size())) : "";
            response->SetContent(IntToStr(bytes.size()) + " " +
                                 std::to_string(std::hash<std::string>{}(bytes)));
            handled = true;
          });
    }
    tls_.TlsEnabled = true;
    tls_.TlsCertificateFile = certificate_.CertificateFile();
    tls_.TlsKeyFile = certificate_.KeyFile();
  }

  void Start() {
    plain_.StartListening();
    tls_.StartListening();
  }

  // curl over HTTPS, trusting the test certificate, with `options`.
  ChildResult Https(const std::string& path, const std::vector<std::string>& options = {}) {
    std::vector<std::string> argv = {"curl", "-sS",      "--max-time",
                                     "30",   "--cacert", certificate_.CertificateFile()};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("https://127.0.0.1:" + IntToStr(tls_.ServerPort()) + path);
    return test::RunPumping(argv, 40000);
  }

  ChildResult Python(const std::string& ca_file, const std::string& request) {
    return test::RunPumping(
        {"python3", "-c", kPythonClient, ca_file, IntToStr(tls_.ServerPort()), request}, 20000);
  }

  test::TestCertificate certificate_;
  test::TempDir dir_;
  TKorvi plain_{nullptr};
  TKorvi tls_{nullptr};
};

// A file, a listing, an error page, an action's answer and the 400 pages of
// a header line too long and of a body too large (refused while it still
// arrives) are the plain answers byte for byte. The server says it serves
// TLS once it listens so.
TEST_F(TlsEndToEnd, AnswersAreThePlainOnesByteForByte) {
  const std::string body = dir_.Write("body.bin", Bytes(3 * 1000 * 1000));
  plain_.MaxRequestBody = tls_.MaxRequestBody = 1000 * 1000;
  EXPECT_FALSE(tls_.ServesTls());
  Start();
  EXPECT_TRUE(tls_.ServesTls());
  EXPECT_FALSE(plain_.ServesTls());
  struct Case {
    std::string path;
    std::vector<std::string> options;
  };
  const std::vector<Case> cases = {
      {"/page.htm", {}},
      {"/docs/", {}},
      {"/missing.htm", {}},
      {"/act?x=1", {}},
      {"/page.htm", {"-H", "X-Long: " + std::string(9000, 'a')}},
      {"/act", {"--data-binary", "@" + body}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> options = {"-i", "--path-as-is"};
    options.insert(options.end(), c.options.begin(), c.options.end());
    const ChildResult secure = Https(c.path, options);
    const ChildResult plain = test::RunCurl(plain_.ServerPort(), c.path, options);
    ASSERT_EQ(secure.exit_code, 0) << c.path << ": " << secure.errors;
    EXPECT_EQ(MaskDate(secure.output), MaskDate(plain.output)) << c.path;
  }
  EXPECT_TRUE(Https("/missing.htm", {"-i"}).output.starts_with("HTTP/1.0 404"));
  EXPECT_TRUE(Https("/act", {"-i", "--data-binary", "@" + body})
                  .output.starts_with("HTTP/1.0 400 Bad Request\r\n"));
}

// 20 MB go out and 5 MB of a multipart upload come in whole, through
// records larger than one read and a connection that fills up.
TEST_F(TlsEndToEnd, LargeDownloadAndUploadArriveWhole) {
  const std::string big = Bytes(20 * 1000 * 1000);
  dir_.Write("www/big.bin", big);
  const std::string upload = dir_.Write("upload.bin", Bytes(5 * 1000 * 1000));
  Start();

  const ChildResult download = Https("/big.bin", {"-o", dir_.File("got.bin")});
  ASSERT_EQ(download.exit_code, 0) << download.errors;
  EXPECT_TRUE(test::ReadFile(dir_.File("got.bin")) == big);

  const ChildResult sent = Https("/upload", {"-F", "file=@" + upload});
  ASSERT_EQ(sent.exit_code, 0) << sent.errors;
  const std::string bytes = test::ReadFile(upload);
  EXPECT_EQ(sent.output,
            IntToStr(bytes.size()) + " " + std::to_string(std::hash<std::string>{}(bytes)));
}

// Python's client checks the certificate and gets the answer, ended by the
// server's close_notify; without the test CA it refuses the server.
TEST_F(TlsEndToEnd, PythonClientChecksTheCertificate) {
  Start();
  const ChildResult trusted =
      Python(certificate_.CertificateFile(), "GET /page.htm HTTP/1.0\r\n\r\n");
  ASSERT_EQ(trusted.exit_code, 0) << trusted.errors;
  EXPECT_TRUE(trusted.output.starts_with("TLSv1.3\nHTTP/1.0 200 OK\r\n")) << trusted.output;
  EXPECT_TRUE(trusted.output.ends_with("\r\n\r\n<p>page</p>")) << trusted.output;

  const ChildResult untrusted = Python("", "GET /page.htm HTTP/1.0\r\n\r\n");
  EXPECT_NE(untrusted.exit_code, 0);
  EXPECT_TRUE(Has(untrusted.errors, "CERTIFICATE_VERIFY_FAILED")) << untrusted.errors;
}

// A plain HTTP request to the TLS port and a client that stops in the
// middle of its hello each end only their own connection: the first at
// once, the second when the life timer ends the intake; others are served
// meanwhile.
TEST_F(TlsEndToEnd, BadClientsEndOnlyTheirOwnConnection) {
  tls_.Timeout = 6;
  Start();
  LoopbackClient stalled(tls_.ServerPort());
  stalled.Send(std::string("\x16\x03\x01\x00\xc8\x01", 6));  // a record of 200 bytes, 1 sent
  LoopbackClient plain(tls_.ServerPort());
  plain.Send("GET /page.htm HTTP/1.0\r\n\r\n");
  const std::string refused = plain.ReadAll(10000);
  EXPECT_TRUE(plain.PeerClosed());
  EXPECT_FALSE(Has(refused, "<p>page</p>"));

  const ChildResult served = Https("/page.htm");
  EXPECT_EQ(served.exit_code, 0) << served.errors;
  EXPECT_EQ(served.output, "<p>page</p>");
  EXPECT_FALSE(stalled.PeerClosed());
  EXPECT_EQ(stalled.ReadAll(30000), "");
  EXPECT_TRUE(stalled.PeerClosed());
}

// With the HTTP/1.1 profile a TLS connection serves request after request
// over its one session: curl fetches four URLs with one handshake, among
// them a file of many chunks, whose last piece lets the answer go; a range
// of that file comes whole too.
TEST_F(TlsEndToEnd, KeptConnectionServesRequestsOverOneSession) {
  tls_.HTTP11 = true;
  const std::string kept = Bytes(100 * 1000);
  dir_.Write("www/kept.bin", kept);
  Start();
  const std::string base = "https://127.0.0.1:" + IntToStr(tls_.ServerPort());
  const ChildResult run =
      Https("/page.htm", {"-o", "/dev/null", "-o", dir_.File("got.bin"), "-o", "/dev/null", "-w",
                          "%{http_code} %{num_connects}\n", base + "/act?x", base + "/kept.bin",
                          base + "/missing.htm", "-o", "/dev/null"});
  // The path Https names goes last.
  EXPECT_EQ(run.output, "200 1\n200 0\n404 0\n200 0\n") << run.errors;
  EXPECT_TRUE(test::ReadFile(dir_.File("got.bin")) == kept);
  EXPECT_EQ(tls_.AcceptedConnections(), 1);
  // A range goes out from where it starts, over more than one read of the file.
  const ChildResult range = Https("/kept.bin", {"-r", "1000-90999", "-o", dir_.File("range.bin")});
  ASSERT_EQ(range.exit_code, 0) << range.errors;
  EXPECT_TRUE(test::ReadFile(dir_.File("range.bin")) == kept.substr(1000, 90000));
}

// korvi-serve serves HTTPS with --tls-cert and --tls-key; a key of another
// certificate, given through --config, keeps it from listening at all.
TEST_F(TlsEndToEnd, KorviServeServesHttpsAndRefusesAForeignKey) {
  test::Served serve({"--root", dir_.File("www"), "--tls-cert", certificate_.CertificateFile(),
                      "--tls-key", certificate_.KeyFile()});
  ASSERT_TRUE(serve.Listening()) << serve.Process().Errors();
  EXPECT_TRUE(Has(serve.Process().Output(), " (HTTPS), serving "));
  const ChildResult served = test::RunPumping(
      {"curl", "-sS", "--max-time", "10", "--cacert", certificate_.CertificateFile(),
       "https://localhost:" + IntToStr(serve.Port()) + "/page.htm"});
  EXPECT_EQ(served.output, "<p>page</p>") << served.errors;
  EXPECT_TRUE(serve.Stop(SIGTERM));

  const std::string other_key = certificate_.OtherKeyFile();
  const std::string config =
      dir_.Write("korvi.ini",
                 "[Korvi]\nTlsEnabled=True\nTlsCertificateFile=" + certificate_.CertificateFile() +
                     "\nTlsKeyFile=" + other_key + "\n");
  test::ChildProcess refused({test::BuiltProgram("korvi-serve"), "--root", dir_.File("www"),
                              "--config", config, "--port", "0"});
  ASSERT_TRUE(refused.WaitForExit(15000));
  EXPECT_EQ(refused.ExitCode(), 1);
  EXPECT_FALSE(Has(refused.Output(), "listening"));
  EXPECT_EQ(refused.Errors(), "korvi-serve: TLS: the private key " + other_key +
                                  " does not match the certificate " +
                                  certificate_.CertificateFile() + "\n");
}

}  // namespace
}  // namespace korvi
