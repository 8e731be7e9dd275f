// End to end: korvi-demo on SQLite and on PostgreSQL, run as two processes
// and asked by curl. Both create the same sample rows, take the same review
// through the processor's form, and answer every page with the same bytes
// (but for each session's form token).
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/curl.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_database.h"

namespace korvi {
namespace {

const char* const kListening = "listening on port ";

// A korvi-demo process with its data in `data` and on `database` (SQLite in
// the data directory when empty).
class Demo {
 public:
  Demo(const std::string& data, const std::string& database) : cookies_(data + "/cookies.txt") {
    std::vector<std::string> argv = {test::BuiltProgram("korvi-demo"), "--port", "0", "--data",
                                     data};
    if (!database.empty()) argv.insert(argv.end(), {"--database", database});
    process_ = std::make_unique<test::ChildProcess>(argv);
    EXPECT_TRUE(process_->WaitForOutput(kListening, 30000)) << process_->Errors();
    const std::string& out = process_->Output();
    const size_t at = out.find(kListening);
    if (at != std::string::npos) port_ = std::stoi(out.substr(at + std::string(kListening).size()));
  }
  ~Demo() {
    process_->Signal(SIGTERM);
    EXPECT_TRUE(process_->WaitForExit(15000));
    EXPECT_EQ(process_->ExitCode(), 0) << process_->Errors();
  }

  // The body of the answer to `path` in the session of this client (a POST
  // of `form` with the session's form token when it is not empty), with the
  // form token written as "TOKEN".
  std::string Body(const std::string& path, const std::string& form = "") {
    std::vector<std::string> options = {"-b", cookies_, "-c", cookies_};
    if (!form.empty()) {
      if (token_.empty()) Body("/cart");  // a page with a form: learns the token
      options.insert(options.end(), {"--data-raw", form + "&token=" + token_});
    }
    const test::ChildResult run = test::RunCurl(port_, path, options);
    EXPECT_EQ(run.exit_code, 0) << path << ": " << run.errors;
    std::string body = run.output;
    if (token_.empty()) token_ = test::FormFieldValue(body, "token");
    for (size_t at = 0; !token_.empty() && (at = body.find(token_, at)) != std::string::npos;)
      body.replace(at, token_.size(), "TOKEN");
    return body;
  }

 private:
  std::unique_ptr<test::ChildProcess> process_;
  const std::string cookies_;
  std::string token_;
  int port_ = 0;
};

TEST(DemoOnBothEngines, SamePagesAfterTheSameReview) {
  test::TestDatabase postgres(test::TestEngine::kPostgres);
  if (!postgres.Available()) GTEST_SKIP() << "KORVI_TEST_POSTGRES is not set";
  if (!std::filesystem::exists(test::BuiltProgram("korvi-demo"))) {
    GTEST_SKIP() << "korvi-demo is not built";
  }
  test::TempDir dir;
  Demo sqlite(dir.MakeDir("sqlite"), "");
  Demo postgresql(dir.MakeDir("postgresql"), postgres.Name());

  const std::string review = "id=4&author=Zoe+%3Cz%3E&rating=5&body=Lovely";
  sqlite.Body("/review", review);
  postgresql.Body("/review", review);
  for (const char* path : {"/shop", "/shop?page=3", "/tea?id=4", "/tea?id=12", "/cart"}) {
    const std::string page = sqlite.Body(path);
    EXPECT_EQ(postgresql.Body(path), page) << path;
    EXPECT_NE(page.find("</html>"), std::string::npos) << path << ": " << page;
  }
  const std::string tea = postgresql.Body("/tea?id=4");
  EXPECT_NE(tea.find("<b class=\"author\">Zoe &lt;z&gt;</b>"), std::string::npos) << tea;
  EXPECT_NE(tea.find("\xE2\x98\x85\xE2\x98\x85\xE2\x98\x85\xE2\x98\x85\xE2\x98\x85</span> <b "
                     "class=\"author\">Zoe"),
            std::string::npos)
      << tea;
  EXPECT_NE(postgresql.Body("/shop").find("5.90"), std::string::npos);
}

}  // namespace
}  // namespace korvi
