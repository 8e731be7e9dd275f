// Running korvi-serve and finding the programs built beside the tests.
#include "support/served.h"

#include <unistd.h>

#include <climits>

namespace korvi::test {

namespace {

const char* const kListening = "listening on port ";

std::vector<std::string> ServeArguments(std::vector<std::string> options, bool any_port) {
  options.insert(options.begin(), BuiltProgram("korvi-serve"));
  if (any_port) options.insert(options.end(), {"--port", "0"});
  return options;
}

}  // namespace

std::string BuiltProgram(const std::string& name) {
  char self[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return name;
  std::string path(self, static_cast<size_t>(length));
  return path.substr(0, path.rfind('/') + 1) + name;
}

Served::Served(std::vector<std::string> options, bool any_port)
    : process_(ServeArguments(std::move(options), any_port)) {
  listening_ = process_.WaitForOutput(kListening, 15000);
  if (listening_) {
    const std::string& out = process_.Output();
    port_ = std::stoi(out.substr(out.find(kListening) + std::string(kListening).size()));
  }
}

bool Served::Stop(int signal) {
  process_.Signal(signal);
  return process_.WaitForExit(15000) && process_.ExitCode() == 0;
}

}  // namespace korvi::test
