// ChildProcess: a program started for an end-to-end test (curl, korvi-serve)
// with its standard output and error captured. Every wait is bounded.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace korvi::test {

class ChildProcess {
 public:
  // Starts `argv` (the program looked up in PATH unless it holds a "/").
  explicit ChildProcess(const std::vector<std::string>& argv);
  // Kills a process still running and reaps it.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Takes what the process has written so far without waiting; true once
  // it has ended and both streams are drained.
  bool Poll();
  // Waits, without pumping any queue, until standard output holds `text`;
  // false when `timeout_ms` passed or the process ended first.
  bool WaitForOutput(std::string_view text, int timeout_ms);
  // Waits, without pumping, until the process has ended; false on timeout.
  bool WaitForExit(int timeout_ms);
  // Sends `signal` to the process.
  void Signal(int signal);

  const std::string& Output() const { return out_; }
  const std::string& Errors() const { return err_; }
  // Exit code once ended normally; -1 while running or after a signal.
  int ExitCode() const { return exit_code_; }
  // The process id.
  int Pid() const { return pid_; }

 private:
  bool Read(int& fd, std::string& into);
  void Reap();
  int pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  bool ended_ = false;
  int exit_code_ = -1;
  std::string out_;
  std::string err_;
};

// How a program run to its end went: what it wrote and its exit code.
struct ChildResult {
  std::string output;
  std::string errors;
  int exit_code = -1;
};

// The path of program `name` built into the directory of the running test
// program (where the build puts every program).
std::string BuiltProgram(const std::string& name);

// Runs `argv` to its end while pumping the calling thread's queue (so a
// server living there keeps accepting). Fails the test on timeout.
ChildResult RunPumping(const std::vector<std::string>& argv, int timeout_ms = 15000);

}  // namespace korvi::test
