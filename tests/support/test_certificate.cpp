// Making a test certificate with the openssl program.
#include "tests/support/test_certificate.h"

#include <gtest/gtest.h>

#include "tests/support/child_process.h"

namespace korvi::test {

namespace {

// Runs openssl with `arguments`; fails the test unless it succeeds.
void RunOpenssl(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {"openssl"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const ChildResult run = RunPumping(argv, 30000);
  EXPECT_EQ(run.exit_code, 0) << run.errors;
}

}  // namespace

TestCertificate::TestCertificate()
    : certificate_(dir_.File("cert.pem")), key_(dir_.File("key.pem")) {
  RunOpenssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
              "-days", "2", "-subj", "/CN=localhost", "-addext",
              "subjectAltName=DNS:localhost,IP:127.0.0.1", "-keyout", key_, "-out", certificate_});
}

std::string TestCertificate::OtherKeyFile() {
  const std::string other = dir_.File("other-key.pem");
  RunOpenssl({"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", other});
  return other;
}

}  // namespace korvi::test
