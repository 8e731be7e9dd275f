// TestCertificate: a self-signed certificate for localhost and 127.0.0.1
// with its private key, made by the openssl program in a temporary
// directory, for the tests that talk HTTPS.
#pragma once

#include <string>

#include "tests/support/temp_dir.h"

namespace korvi::test {

class TestCertificate {
 public:
  // Makes the certificate and its key (an EC P-256 key); fails the test
  // when the openssl program cannot.
  TestCertificate();
  // The PEM certificate, which clients also take as their trusted CA.
  const std::string& CertificateFile() const { return certificate_; }
  // The PEM private key of the certificate.
  const std::string& KeyFile() const { return key_; }
  // A PEM private key that belongs to no certificate.
  std::string OtherKeyFile();

 private:
  TempDir dir_;
  std::string certificate_;
  std::string key_;
};

}  // namespace korvi::test
