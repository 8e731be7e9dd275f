// Running korvi-serve for an end-to-end test.
#include "tests/support/served.h"

namespace korvi::test {

namespace {

const char* const kListening = "listening on port ";

std::vector<std::string> ServeArguments(std::vector<std::string> options, bool any_port,
                                        const std::vector<std::string>& launcher) {
  options.insert(options.begin(), BuiltProgram("korvi-serve"));
  options.insert(options.begin(), launcher.begin(), launcher.end());
  if (any_port) options.insert(options.end(), {"--port", "0"});
  return options;
}

}  // namespace

Served::Served(std::vector<std::string> options, bool any_port, std::vector<std::string> launcher)
    : process_(ServeArguments(std::move(options), any_port, launcher)) {
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
