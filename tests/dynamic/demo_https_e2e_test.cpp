// End to end: korvi-demo over HTTPS with a certificate made for the test,
// asked by curl trusting it: pages, a form that runs a query, and the page
// that shows its row.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/curl.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_certificate.h"

namespace korvi {
namespace {

const char* const kListening = "listening on port ";

TEST(DemoOverHttps, ServesPagesAndTakesAReview) {
  if (!std::filesystem::exists(test::BuiltProgram("korvi-demo"))) {
    GTEST_SKIP() << "korvi-demo is not built";
  }
  test::TestCertificate certificate;
  test::TempDir dir;
  test::ChildProcess demo({test::BuiltProgram("korvi-demo"), "--port", "0", "--data",
                           dir.MakeDir("data"), "--tls-cert", certificate.CertificateFile(),
                           "--tls-key", certificate.KeyFile()});
  ASSERT_TRUE(demo.WaitForOutput(kListening, 30000)) << demo.Errors();
  const std::string& out = demo.Output();
  const int port = std::stoi(out.substr(out.find(kListening) + std::string(kListening).size()));
  const std::string home = "https://localhost:" + std::to_string(port);
  EXPECT_NE(out.find("open " + home + "/"), std::string::npos) << out;

  // The body curl gets for `path` in one session (a POST of `form` when it
  // is not empty).
  const std::string cookies = dir.Path() + "/cookies.txt";
  const auto body = [&](const std::string& path, const std::string& form = "") {
    std::vector<std::string> argv = {
        "curl", "-sS",   "--max-time", "20",   "--cacert", certificate.CertificateFile(),
        "-b",   cookies, "-c",         cookies};
    if (!form.empty()) argv.insert(argv.end(), {"--data-raw", form});
    argv.push_back(home + path);
    const test::ChildResult run = test::RunPumping(argv, 30000);
    EXPECT_EQ(run.exit_code, 0) << path << ": " << run.errors;
    return run.output;
  };
  const std::string shop = body("/shop");
  EXPECT_NE(shop.find("</html>"), std::string::npos);
  body("/review",
       "id=4&author=Tls&rating=5&body=Fine&token=" + test::FormFieldValue(shop, "token"));
  EXPECT_NE(body("/tea?id=4").find("<b class=\"author\">Tls</b>"), std::string::npos);
  // Over HTTPS the session cookie is secure as well as HttpOnly.
  std::ifstream jar(cookies);
  const std::string jar_text((std::istreambuf_iterator<char>(jar)),
                             std::istreambuf_iterator<char>());
  EXPECT_NE(jar_text.find("#HttpOnly_localhost\tFALSE\t/\tTRUE\t"), std::string::npos) << jar_text;

  demo.Signal(SIGTERM);
  EXPECT_TRUE(demo.WaitForExit(15000));
  EXPECT_EQ(demo.ExitCode(), 0) << demo.Errors();
}

}  // namespace
}  // namespace korvi
