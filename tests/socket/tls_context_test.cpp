// TTlsContext refuses what cannot serve: unreadable files, a key that does
// not belong to the certificate and an encrypted key, each with a message
// naming the file.
#include "korvi/socket/tls_context.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_certificate.h"

namespace korvi {
namespace {

TEST(TlsContext, LoadsAMatchingPairAndRefusesTheRest) {
  test::TestCertificate pair;
  test::TempDir dir;
  const std::string other_key = pair.OtherKeyFile();
  const std::string garbage = dir.Write("garbage.pem", "not a certificate\n");
  const std::string missing = dir.File("missing.pem");
  EXPECT_NO_THROW(TTlsContext(pair.CertificateFile(), pair.KeyFile()));

  struct Case {
    std::string certificate;
    std::string key;
    std::string message;
  };
  const std::vector<Case> cases = {
      {pair.CertificateFile(), other_key,
       "TLS: the private key " + other_key + " does not match the certificate " +
           pair.CertificateFile()},
      {missing, pair.KeyFile(), "TLS: cannot read the certificate chain " + missing + ": "},
      {garbage, pair.KeyFile(), "TLS: cannot read the certificate chain " + garbage + ": "},
      {pair.CertificateFile(), missing, "TLS: cannot read the private key " + missing + ": "},
      {pair.CertificateFile(), pair.CertificateFile(),
       "TLS: cannot read the private key " + pair.CertificateFile() + ": "},
  };
  for (const Case& c : cases) {
    try {
      TTlsContext context(c.certificate, c.key);
      ADD_FAILURE() << "accepted " << c.certificate << " with " << c.key;
    } catch (const ETlsError& error) {
      EXPECT_TRUE(error.Message().starts_with(c.message)) << error.Message();
    }
  }
}

// Loads the pair in a child process with no terminal at all (a new session,
// standard input from /dev/null) and returns the message it raised: empty
// when it loaded, "no answer" when it did not end within 20 s (it waited
// for a pass phrase).
std::string LoadWithoutTerminal(const std::string& certificate, const std::string& key) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return "no pipe";
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_fds[0]);
    setsid();
    dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
    std::string message;
    try {
      TTlsContext context(certificate, key);
    } catch (const ETlsError& error) {
      message = error.Message();
    }
    [[maybe_unused]] const ssize_t written = write(pipe_fds[1], message.data(), message.size());
    _exit(0);
  }
  close(pipe_fds[1]);
  std::string message;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  bool ended = false;
  while (!ended && std::chrono::steady_clock::now() < deadline) {
    pollfd ready{pipe_fds[0], POLLIN, 0};
    if (poll(&ready, 1, 100) <= 0) continue;
    char buffer[512];
    const ssize_t got = read(pipe_fds[0], buffer, sizeof buffer);
    if (got > 0) message.append(buffer, static_cast<size_t>(got));
    ended = got <= 0;
  }
  close(pipe_fds[0]);
  if (!ended) kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  return ended ? message : "no answer";
}

TEST(TlsContext, RefusesAnEncryptedKeyWithoutAskingForItsPassPhrase) {
  test::TestCertificate pair;
  test::TempDir dir;
  // The pair's own key, encrypted as PKCS#8 and in the older PEM form.
  const auto encrypt = [&](const std::string& name, const std::vector<std::string>& form) {
    std::vector<std::string> argv = {"openssl",  "pkey",   "-in",  pair.KeyFile(), "-aes256",
                                     "-passout", "pass:x", "-out", dir.File(name)};
    argv.insert(argv.end(), form.begin(), form.end());
    EXPECT_EQ(test::RunPumping(argv).exit_code, 0) << name;
    return dir.File(name);
  };
  for (const std::string& key :
       {encrypt("pkcs8.pem", {}), encrypt("traditional.pem", {"-traditional"})}) {
    EXPECT_EQ(LoadWithoutTerminal(pair.CertificateFile(), key),
              "TLS: the private key " + key + " is encrypted; encrypted keys are not supported");
  }
  EXPECT_EQ(LoadWithoutTerminal(pair.CertificateFile(), pair.KeyFile()), "");
}

}  // namespace
}  // namespace korvi
