// TApplication: the main thread's message loop with its OnMessage hook,
// message boxes, beeps, and a stop on SIGINT/SIGTERM.
//
// Terminate must work from any thread and from a signal handler, so it only
// sets a flag and writes to an eventfd. The main queue watches that eventfd;
// its handler, on the main thread, posts WM_QUIT when the application that
// runs the loop has been terminated, which ends Run.
#include "korvi/host/application.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace korvi {

namespace {

// The application whose Run is looping on the main thread (main thread only).
TApplication* running = nullptr;

// Makes an application the running one for the life of a Run call.
class RunningScope {
 public:
  explicit RunningScope(TApplication* app) : outer_(running) { running = app; }
  ~RunningScope() { running = outer_; }
  RunningScope(const RunningScope&) = delete;
  RunningScope& operator=(const RunningScope&) = delete;

 private:
  TApplication* outer_;
};

// The application that SIGINT and SIGTERM terminate.
std::atomic<TApplication*> signal_target{nullptr};

int CreateQuitWake() {
  const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  TEventQueue::Main().Watch(fd, EPOLLIN, [fd](std::uint32_t) {
    std::uint64_t value;
    [[maybe_unused]] ssize_t got = read(fd, &value, sizeof value);
    if (running != nullptr && running->Terminated()) TEventQueue::Main().PostQuitMessage();
  });
  return fd;
}

// Written by Terminate; created during static initialisation on the main thread.
const int quit_wake_fd = CreateQuitWake();

extern "C" void OnStopSignal(int) {
  const int saved_errno = errno;
  if (TApplication* app = signal_target.load()) app->Terminate();
  errno = saved_errno;
}

// Writes all of `text` to standard error.
void WriteStderr(const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(STDERR_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

TApplication& Application() {
  static TApplication application;
  return application;
}

void TApplication::Run() {
  RunningScope scope(this);
  while (!terminated_ && HandleMessage()) {
  }
}

void TApplication::ProcessMessages() {
  TEventQueue::Current().ProcessQueued([this](TMessage& msg) { return Filter(msg); });
}

bool TApplication::HandleMessage() {
  TEventQueue& queue = TEventQueue::Current();
  TMessage msg;
  if (!queue.GetMessage(msg)) {
    if (&queue == &TEventQueue::Main()) terminated_ = true;
    return false;
  }
  if (!Filter(msg)) queue.DispatchMessage(msg);
  return true;
}

bool TApplication::HandleMessageFor(int timeout_ms, bool* quit) {
  TEventQueue& queue = TEventQueue::Current();
  TMessage msg;
  const bool taken = queue.GetMessageFor(msg, timeout_ms);
  const bool quitting = !taken && msg.Msg == WM_QUIT;
  if (quit != nullptr) *quit = quitting;
  if (quitting) queue.PostQuitMessage();
  if (!taken) return false;
  if (!Filter(msg)) queue.DispatchMessage(msg);
  return true;
}

void TApplication::Terminate() {
  terminated_ = true;
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t written = write(quit_wake_fd, &one, sizeof one);
}

void TApplication::HandleStopSignals() {
  signal_target = this;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

void TApplication::MessageBox(const std::string& text, const std::string& caption) {
  if (OnMessageBox) {
    OnMessageBox(text, caption);
  } else {
    WriteStderr(caption + ": " + text + "\n");
  }
}

void TApplication::Beep() {
  if (isatty(STDERR_FILENO)) WriteStderr("\a");
}

bool TApplication::Filter(TMessage& msg) {
  if (!OnMessage || !TEventQueue::Main().IsOwnerThread()) return false;
  bool handled = false;
  OnMessage(msg, handled);
  return handled;
}

}  // namespace korvi
