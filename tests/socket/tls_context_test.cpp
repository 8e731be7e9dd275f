// TTlsContext refuses what cannot serve: unreadable files and a key that
// does not belong to the certificate, each with a message naming the file.
#include "korvi/socket/tls_context.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
}  // namespace korvi
