// Served: a korvi-serve program started for an end-to-end test, listening on
// a port of the system's choosing unless told otherwise.
#pragma once

#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace korvi::test {

class Served {
 public:
  // Starts korvi-serve with `options` (and "--port 0" when `any_port`) and
  // waits until it announces its port; `launcher` comes before the program
  // (a command that starts it, such as prlimit).
  explicit Served(std::vector<std::string> options, bool any_port = true,
                  std::vector<std::string> launcher = {});
  // True once the program has announced that it listens.
  bool Listening() const { return listening_; }
  // The port it listens on.
  int Port() const { return port_; }
  ChildProcess& Process() { return process_; }
  // Stops the program with `signal`; true when it ended with exit code 0.
  bool Stop(int signal);

 private:
  ChildProcess process_;
  bool listening_ = false;
  int port_ = 0;
};

}  // namespace korvi::test
