// TApplication: the main loop and its message hook, stopping it from another
// thread or by a signal, the non-blocking and the bounded pump, and message
// boxes.
#include "korvi/host/application.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fcntl.h>
#include <chrono>
#include <csignal>
#include <future>
#include <string>
#include <thread>

#include "korvi/host/timer.h"
#include "tests/support/pump.h"
#include "tests/support/temp_dir.h"

namespace korvi {
namespace {

using test::PumpUntil;

// Ends `app`'s Run after five seconds so that a broken stop fails the test
// instead of hanging it.
class Watchdog {
 public:
  explicit Watchdog(TApplication& app) : timer_(nullptr) {
    timer_.SetInterval(5000);
    timer_.SetOnTimer([this, &app](TObject*) {
      fired_ = true;
      app.Terminate();
    });
  }
  bool fired() const { return fired_; }

 private:
  TTimer timer_;
  bool fired_ = false;
};

// A message target on the main queue that counts what reaches it.
class Counter {
 public:
  Counter() : wnd_(TEventQueue::Main().AllocateHWnd([this](TMessage&) { ++count_; })) {}
  ~Counter() { TEventQueue::Main().DeallocateHWnd(wnd_); }
  HWND wnd() const { return wnd_; }
  int count() const { return count_; }

 private:
  HWND wnd_;
  int count_ = 0;
};

// Run dispatches through OnMessage (which may swallow a message) until
// another thread calls Terminate.
TEST(ApplicationTest, RunUntilTerminatedFromAnotherThread) {
  TApplication app;
  Watchdog watchdog(app);
  Counter counter;
  int seen = 0;
  std::promise<void> both_seen;
  app.OnMessage = [&](TMessage& msg, bool& handled) {
    if (msg.Wnd != counter.wnd()) return;
    handled = msg.WParam == 1;
    if (++seen == 2) both_seen.set_value();
  };
  std::jthread worker;
  // The worker starts from inside Run, so Run is looping when it stops it.
  TEventQueue::Main().PostTask([&] {
    worker = std::jthread([&] {
      PostMessage(counter.wnd(), WM_USER, 0, 0);
      PostMessage(counter.wnd(), WM_USER, 1, 0);
      both_seen.get_future().wait_for(std::chrono::seconds(5));
      app.Terminate();
    });
  });
  app.Run();
  worker.join();
  EXPECT_FALSE(watchdog.fired());
  EXPECT_TRUE(app.Terminated());
  EXPECT_EQ(seen, 2);
  EXPECT_EQ(counter.count(), 1);
}

// Run on an application terminated before it started returns at once and
// leaves no quit request behind for the loops that come later.
TEST(ApplicationTest, TerminateBeforeRunLeavesNoStrayQuit) {
  TApplication app;
  std::jthread([&] { app.Terminate(); }).join();
  app.Run();
  Counter counter;
  PostMessage(counter.wnd(), WM_USER, 0, 0);
  EXPECT_TRUE(PumpUntil([&] { return counter.count() == 1; }));
  TMessage msg;
  EXPECT_FALSE(TEventQueue::Main().PeekMessage(msg));
}

// ProcessMessages goes through OnMessage and never waits; HandleMessage
// reports WM_QUIT by returning false and marks the application terminated.
TEST(ApplicationTest, ProcessMessagesAndHandleMessage) {
  TApplication app;
  Counter counter;
  int seen = 0;
  app.OnMessage = [&](TMessage&, bool&) { ++seen; };
  app.ProcessMessages();
  PostMessage(counter.wnd(), WM_USER, 0, 0);
  PostMessage(counter.wnd(), WM_USER, 0, 0);
  app.ProcessMessages();
  EXPECT_EQ(seen, 2);
  EXPECT_EQ(counter.count(), 2);

  PostMessage(counter.wnd(), WM_USER, 0, 0);
  TEventQueue::Main().PostQuitMessage();
  EXPECT_TRUE(app.HandleMessage());
  EXPECT_FALSE(app.Terminated());
  EXPECT_FALSE(app.HandleMessage());
  EXPECT_TRUE(app.Terminated());
  EXPECT_EQ(counter.count(), 3);
}

// HandleMessageFor takes one message at a time through OnMessage (which may
// swallow it), tells a time-out from a quit request and leaves that request
// queued for the loop that owns it; off the main thread the hook is not asked.
TEST(ApplicationTest, HandleMessageForTakesOneMessageOrReportsQuitOrTimeout) {
  TApplication app;
  Counter counter;
  int seen = 0;
  app.OnMessage = [&](TMessage& msg, bool& handled) {
    ++seen;
    handled = msg.WParam == 1;
  };
  PostMessage(counter.wnd(), WM_USER, 1, 0);
  PostMessage(counter.wnd(), WM_USER, 0, 0);
  bool quit = true;
  EXPECT_TRUE(app.HandleMessageFor(5000, &quit));
  EXPECT_FALSE(quit);
  EXPECT_EQ(seen, 1);
  EXPECT_EQ(counter.count(), 0);
  EXPECT_TRUE(app.HandleMessageFor(-1));
  EXPECT_EQ(seen, 2);
  EXPECT_EQ(counter.count(), 1);

  quit = true;
  EXPECT_FALSE(app.HandleMessageFor(0, &quit));
  EXPECT_FALSE(quit);

  TEventQueue::Main().PostQuitMessage();
  EXPECT_FALSE(app.HandleMessageFor(5000, &quit));
  EXPECT_TRUE(quit);
  EXPECT_FALSE(app.Terminated());
  TMessage msg;
  EXPECT_FALSE(TEventQueue::Main().GetMessageFor(msg, 0));
  EXPECT_EQ(msg.Msg, WM_QUIT);

  bool handled_on_worker = false;
  int worker_count = 0;
  std::jthread([&] {
    TEventQueue& own = TEventQueue::Current();
    const HWND wnd = own.AllocateHWnd([&](TMessage&) { ++worker_count; });
    PostMessage(wnd, WM_USER, 1, 0);
    handled_on_worker = app.HandleMessageFor(5000);
    own.DeallocateHWnd(wnd);
  }).join();
  EXPECT_TRUE(handled_on_worker);
  EXPECT_EQ(worker_count, 1);
  EXPECT_EQ(seen, 2);
}

// SIGTERM during Run ends it; SIGPIPE is ignored from then on.
TEST(ApplicationTest, StopSignalEndsRun) {
  TApplication& app = Application();
  Watchdog watchdog(app);
  app.HandleStopSignals();
  struct sigaction pipe_action {};
  sigaction(SIGPIPE, nullptr, &pipe_action);
  EXPECT_EQ(pipe_action.sa_handler, SIG_IGN);
  TEventQueue::Main().PostTask([] { raise(SIGTERM); });
  app.Run();
  EXPECT_FALSE(watchdog.fired());
  EXPECT_TRUE(app.Terminated());
}

// A message box goes to OnMessageBox when set, else to standard error as
// one line "caption: text".
TEST(ApplicationTest, MessageBoxHandlerOrStandardError) {
  TApplication app;
  std::string got;
  app.OnMessageBox = [&](const std::string& text, const std::string& caption) {
    got = caption + "|" + text;
  };
  app.MessageBox("Error Initializing Socket : 80", "Korvi HTTP Server");
  EXPECT_EQ(got, "Korvi HTTP Server|Error Initializing Socket : 80");

  app.OnMessageBox = nullptr;
  test::TempDir dir;
  const std::string path = dir.File("stderr.txt");
  const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(file, 0);
  const int saved = dup(STDERR_FILENO);
  dup2(file, STDERR_FILENO);
  app.MessageBox("The text", "Caption");
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(file);
  EXPECT_EQ(test::ReadFile(path), "Caption: The text\n");
}

}  // namespace
}  // namespace korvi
