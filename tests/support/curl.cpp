// Running curl against a loopback server.
#include "tests/support/curl.h"

#include <gtest/gtest.h>

namespace korvi::test {

ChildResult RunCurl(int port, const std::string& path, const std::vector<std::string>& options) {
  std::vector<std::string> argv = {"curl", "-sS", "--max-time", "10"};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back("http://127.0.0.1:" + std::to_string(port) + path);
  return RunPumping(argv);
}

std::string Curl(int port, const std::string& path, const std::string& method) {
  std::vector<std::string> options = {"-i", "--path-as-is"};
  if (method == "HEAD") {
    options.push_back("-I");
  } else if (method != "GET") {
    options.insert(options.end(), {"-X", method});
  }
  const ChildResult run = RunCurl(port, path, options);
  EXPECT_EQ(run.exit_code, 0) << "curl " << method << " " << path;
  return run.output;
}

std::string MaskDate(std::string answer) {
  const size_t date = answer.find("\r\nDate: ");
  if (date == std::string::npos) return answer;
  const size_t value = date + 8;
  answer.replace(value, answer.find("\r\n", value) - value, "*");
  return answer;
}

std::string FormFieldValue(const std::string& page, const std::string& name) {
  const std::string start = "name=\"" + name + "\" value=\"";
  const size_t at = page.find(start);
  if (at == std::string::npos) return "";
  const size_t value = at + start.size();
  return page.substr(value, page.find('"', value) - value);
}

}  // namespace korvi::test
