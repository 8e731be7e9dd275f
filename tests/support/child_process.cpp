// Child processes of the end-to-end tests.
#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <stdexcept>

#include "tests/support/pump.h"

extern char** environ;

namespace korvi::test {

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> args;
  for (const std::string& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const int failed = ::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  out_fd_ = out[0];
  err_fd_ = err[0];
  ::fcntl(out_fd_, F_SETFL, O_NONBLOCK);
  ::fcntl(err_fd_, F_SETFL, O_NONBLOCK);
  if (failed != 0) {
    pid_ = -1;
    ended_ = true;
    ::close(out_fd_);
    ::close(err_fd_);
    throw std::runtime_error("cannot start " + argv[0]);
  }
}

ChildProcess::~ChildProcess() {
  if (!ended_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (out_fd_ >= 0) ::close(out_fd_);
  if (err_fd_ >= 0) ::close(err_fd_);
}

bool ChildProcess::Read(int& fd, std::string& into) {
  if (fd < 0) return true;
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      into.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EAGAIN) {
      ::close(fd);
      fd = -1;
      return true;
    } else {
      return false;
    }
  }
}

void ChildProcess::Reap() {
  if (ended_) return;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    ended_ = true;
    exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
}

bool ChildProcess::Poll() {
  const bool out_done = Read(out_fd_, out_);
  const bool err_done = Read(err_fd_, err_);
  if (out_done && err_done) {
    Reap();
  }
  return ended_ && out_done && err_done;
}

bool ChildProcess::WaitForOutput(std::string_view text, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const bool ended = Poll();
    if (out_.find(text) != std::string::npos) return true;
    if (ended || MillisecondsLeft(deadline) == 0) return false;
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    ::poll(fds, 2, MillisecondsLeft(deadline));
  }
}

bool ChildProcess::WaitForExit(int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  while (!Poll()) {
    if (MillisecondsLeft(deadline) == 0) break;
    pollfd fds[3] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}, {pidfd, POLLIN, 0}};
    ::poll(fds, 3, MillisecondsLeft(deadline));
  }
  if (pidfd >= 0) ::close(pidfd);
  return ended_;
}

void ChildProcess::Signal(int signal) {
  if (!ended_) ::kill(pid_, signal);
}

ChildResult RunPumping(const std::vector<std::string>& argv, int timeout_ms) {
  ChildProcess child(argv);
  EXPECT_TRUE(PumpUntil([&] { return child.Poll(); }, timeout_ms)) << argv[0] << " did not end";
  return {child.Output(), child.Errors(), child.ExitCode()};
}

std::string BuiltProgram(const std::string& name) {
  char self[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return name;
  const std::string path(self, static_cast<size_t>(length));
  return path.substr(0, path.rfind('/') + 1) + name;
}

}  // namespace korvi::test
