// TEventQueue: posting across threads, ordering, quitting, watched
// descriptors, the non-blocking pump, and the end of a thread's queue.
#include "korvi/host/event_queue.h"

#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/pump.h"

namespace korvi {
namespace {

using test::PumpUntil;

// A message target on the calling thread's queue, removed with the object.
class Target {
 public:
  explicit Target(TWndMethod method)
      : queue_(TEventQueue::Current()), wnd_(queue_.AllocateHWnd(std::move(method))) {}
  ~Target() { queue_.DeallocateHWnd(wnd_); }
  HWND wnd() const { return wnd_; }

 private:
  TEventQueue& queue_;
  HWND wnd_;
};

// Both ends of a pipe, closed with the object.
struct Pipe {
  Pipe() { EXPECT_EQ(pipe(fds), 0); }
  ~Pipe() {
    close(fds[0]);
    close(fds[1]);
  }
  void Put(const std::string& text) const {
    ASSERT_EQ(write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  std::string Take() const {
    char buffer[64];
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
  }
  int fds[2] = {-1, -1};
};

int OpenDescriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

// Messages from several threads reach the owning thread, each sender's in
// the order it posted them.
TEST(EventQueueTest, PostsFromManyThreadsArriveInOrderOnOwner) {
  constexpr int kSenders = 3;
  constexpr int kEach = 300;
  std::vector<std::intptr_t> last(kSenders, -1);
  int received = 0;
  bool in_order = true;
  bool on_owner = true;
  const auto owner = std::this_thread::get_id();
  Target target([&](TMessage& msg) {
    on_owner = on_owner && std::this_thread::get_id() == owner;
    in_order = in_order && msg.LParam == last[msg.WParam] + 1;
    last[msg.WParam] = msg.LParam;
    ++received;
  });
  {
    std::vector<std::jthread> senders;
    for (int s = 0; s < kSenders; ++s) {
      senders.emplace_back([&target, s] {
        for (int i = 0; i < kEach; ++i)
          PostMessage(target.wnd(), WM_USER, s, i);
      });
    }
  }
  EXPECT_TRUE(PumpUntil([&] { return received == kSenders * kEach; }));
  EXPECT_TRUE(in_order);
  EXPECT_TRUE(on_owner);
}

// Tasks and messages share one FIFO, whoever posts them.
TEST(EventQueueTest, TasksRunInOrderWithMessages) {
  std::string order;
  Target target([&](TMessage& msg) { order += static_cast<char>(msg.WParam); });
  TEventQueue& queue = TEventQueue::Current();
  PostMessage(target.wnd(), WM_USER, 'a', 0);
  std::jthread([&queue, &order] { queue.PostTask([&order] { order += 't'; }); }).join();
  PostMessage(target.wnd(), WM_USER, 'b', 0);
  EXPECT_TRUE(PumpUntil([&] { return order.size() == 3; }));
  EXPECT_EQ(order, "atb");
}

// WM_QUIT posted to a thread's target ends that thread's loop; once the
// thread has ended, its targets are gone and posts to them fail.
TEST(EventQueueTest, QuitThroughTargetEndsWorkerLoop) {
  std::promise<HWND> wnd_promise;
  std::vector<std::uintptr_t> seen;
  std::uint32_t last_msg = WM_NULL;
  bool on_worker = true;
  std::jthread worker([&] {
    TEventQueue& queue = TEventQueue::Current();
    const auto self = std::this_thread::get_id();
    HWND wnd = queue.AllocateHWnd([&](TMessage& msg) {
      on_worker = on_worker && std::this_thread::get_id() == self;
      seen.push_back(msg.WParam);
    });
    wnd_promise.set_value(wnd);
    TMessage msg;
    while (queue.GetMessageFor(msg, 5000))
      queue.DispatchMessage(msg);
    last_msg = msg.Msg;
  });
  const HWND wnd = wnd_promise.get_future().get();
  EXPECT_NE(wnd, 0u);
  EXPECT_TRUE(PostMessage(wnd, WM_USER, 1, 0));
  EXPECT_TRUE(PostMessage(wnd, WM_USER, 2, 0));
  EXPECT_TRUE(PostMessage(wnd, WM_QUIT, 0, 0));
  worker.join();
  EXPECT_EQ(last_msg, WM_QUIT);
  EXPECT_EQ(seen, (std::vector<std::uintptr_t>{1, 2}));
  EXPECT_TRUE(on_worker);
  EXPECT_FALSE(PostMessage(wnd, WM_USER, 3, 0));
}

// A target's timer, started from another thread (before or while the
// owner waits with no time limit), ends that wait and posts WM_TIMER with
// its value; the expiries missed while the owner was busy make one message; a
// stopped timer posts nothing more.
TEST(EventQueueTest, TimerSetFromAnotherThreadWakesTheOwner) {
  std::promise<HWND> wnd_promise;
  std::vector<std::uintptr_t> ticks;
  bool quiet_after_stop = false;
  std::jthread worker([&] {
    TEventQueue& queue = TEventQueue::Current();
    HWND wnd = queue.AllocateHWnd([&](TMessage& msg) {
      if (msg.Msg == WM_TIMER) ticks.push_back(msg.WParam);
    });
    wnd_promise.set_value(wnd);
    TMessage msg;
    ASSERT_TRUE(queue.GetMessage(msg));  // no time limit: only the timer can end it
    queue.DispatchMessage(msg);
    // Busy for ten intervals.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(queue.PeekMessage(msg));
    queue.DispatchMessage(msg);
    TEventQueue::SetTimerFor(wnd, 0, 0);
    quiet_after_stop = !queue.PeekMessage(msg) && !queue.GetMessageFor(msg, 30);
    queue.DeallocateHWnd(wnd);
  });
  TEventQueue::SetTimerFor(wnd_promise.get_future().get(), 5, 7);
  worker.join();
  EXPECT_EQ(ticks, (std::vector<std::uintptr_t>{7, 7}));
  EXPECT_TRUE(quiet_after_stop);
}

// A removed target takes no posts, and what was queued for it is dropped.
TEST(EventQueueTest, DeallocatedTargetDropsMessages) {
  TEventQueue& queue = TEventQueue::Current();
  int calls = 0;
  HWND wnd = queue.AllocateHWnd([&](TMessage&) { ++calls; });
  EXPECT_TRUE(PostMessage(wnd, WM_USER, 0, 0));
  queue.DeallocateHWnd(wnd);
  EXPECT_FALSE(PostMessage(wnd, WM_USER, 0, 0));
  TMessage msg;
  EXPECT_FALSE(queue.PeekMessage(msg));
  EXPECT_EQ(calls, 0);
  EXPECT_FALSE(PostMessage(0, WM_USER, 0, 0));
}

// ProcessMessages handles what is queued when it starts and returns; a
// WM_QUIT it meets stays for the loop that owns it, ahead of later messages.
TEST(EventQueueTest, ProcessMessagesTakesOnlyWhatIsQueuedAndKeepsQuit) {
  TEventQueue& queue = TEventQueue::Current();
  int echoes = 0;
  Target echo([&](TMessage& msg) {
    ++echoes;
    PostMessage(msg.Wnd, WM_USER, 0, 0);
  });
  PostMessage(echo.wnd(), WM_USER, 0, 0);
  EXPECT_TRUE(queue.ProcessMessages());
  EXPECT_EQ(echoes, 1);
  EXPECT_TRUE(queue.ProcessMessages());
  EXPECT_EQ(echoes, 2);

  std::string order;
  Target target([&](TMessage& msg) { order += static_cast<char>(msg.WParam); });
  PostMessage(target.wnd(), WM_USER, 'a', 0);
  queue.PostQuitMessage();
  PostMessage(target.wnd(), WM_USER, 'b', 0);
  EXPECT_FALSE(queue.ProcessMessages());
  EXPECT_EQ(order.find('a'), 0u);
  EXPECT_EQ(order.find('b'), std::string::npos);
  TMessage msg;
  EXPECT_FALSE(queue.GetMessageFor(msg, 1000));
  EXPECT_EQ(msg.Msg, WM_QUIT);
  EXPECT_TRUE(PumpUntil([&] { return order.find('b') != std::string::npos; }));
}

// A wait with nothing to deliver gives up and says so with WM_NULL.
TEST(EventQueueTest, GetMessageForTimesOut) {
  TMessage msg;
  msg.Msg = WM_USER;
  EXPECT_FALSE(TEventQueue::Current().GetMessageFor(msg, 10));
  EXPECT_EQ(msg.Msg, WM_NULL);
}

// A target that keeps posting to itself does not keep a ready descriptor
// waiting: its handler runs within a few messages.
TEST(EventQueueTest, PostedMessagesDoNotStarveDescriptors) {
  TEventQueue& queue = TEventQueue::Current();
  int messages = 0;
  Target target([&](TMessage& msg) {
    ++messages;
    PostMessage(msg.Wnd, WM_USER, 0, 0);
  });
  Pipe pipe;
  int seen_after = -1;
  queue.Watch(pipe.fds[0], EPOLLIN, [&](std::uint32_t) {
    if (seen_after < 0) seen_after = messages;
  });
  PostMessage(target.wnd(), WM_USER, 0, 0);
  TMessage msg;
  ASSERT_TRUE(queue.GetMessageFor(msg, 1000));
  queue.DispatchMessage(msg);
  pipe.Put("x");
  for (int i = 0; i < 10 && seen_after < 0 && queue.GetMessageFor(msg, 1000); ++i)
    queue.DispatchMessage(msg);
  queue.Unwatch(pipe.fds[0]);
  EXPECT_GE(seen_after, 1);
  EXPECT_LE(seen_after, 5);
}

// A watched pipe runs its handler on the owning thread when data arrives;
// switched off it stays quiet, switched on again it reports again, and
// unwatched it is left alone.
TEST(EventQueueTest, WatchedDescriptorReadiness) {
  TEventQueue& queue = TEventQueue::Current();
  Pipe pipe;
  std::string got;
  int calls = 0;
  queue.Watch(pipe.fds[0], EPOLLIN, [&](std::uint32_t events) {
    ++calls;
    if (events & EPOLLIN) got += pipe.Take();
  });
  std::jthread([&pipe] { pipe.Put("ping"); }).join();
  EXPECT_TRUE(PumpUntil([&] { return got == "ping"; }));

  TMessage msg;
  queue.Modify(pipe.fds[0], 0);
  pipe.Put("x");
  const int before = calls;
  queue.PeekMessage(msg);
  EXPECT_EQ(calls, before);
  queue.Modify(pipe.fds[0], EPOLLIN);
  queue.PeekMessage(msg);
  EXPECT_EQ(got, "pingx");

  queue.Unwatch(pipe.fds[0]);
  pipe.Put("y");
  queue.PeekMessage(msg);
  EXPECT_EQ(got, "pingx");
}

// When a handler unwatches another descriptor that was ready in the same
// round, that descriptor's handler does not run.
TEST(EventQueueTest, UnwatchedInSameRoundIsNotCalled) {
  TEventQueue& queue = TEventQueue::Current();
  Pipe first;
  Pipe second;
  int calls = 0;
  queue.Watch(first.fds[0], EPOLLIN, [&](std::uint32_t) {
    ++calls;
    queue.Unwatch(second.fds[0]);
    queue.Unwatch(first.fds[0]);
  });
  queue.Watch(second.fds[0], EPOLLIN, [&](std::uint32_t) {
    ++calls;
    queue.Unwatch(first.fds[0]);
    queue.Unwatch(second.fds[0]);
  });
  first.Put("a");
  second.Put("b");
  TMessage msg;
  queue.PeekMessage(msg);
  EXPECT_EQ(calls, 1);
}

// Other threads reach the main thread's queue; a worker's own queue is not it.
TEST(EventQueueTest, MainQueueReachableFromWorkers) {
  EXPECT_TRUE(TEventQueue::Main().IsOwnerThread());
  EXPECT_EQ(&TEventQueue::Current(), &TEventQueue::Main());
  std::atomic<bool> ran_on_main{false};
  bool worker_owns_main = true;
  bool worker_owns_own = false;
  std::jthread([&] {
    worker_owns_main = TEventQueue::Main().IsOwnerThread();
    worker_owns_own = TEventQueue::Current().IsOwnerThread();
    TEventQueue::Main().PostTask([&] { ran_on_main = TEventQueue::Main().IsOwnerThread(); });
  }).join();
  EXPECT_FALSE(worker_owns_main);
  EXPECT_TRUE(worker_owns_own);
  EXPECT_TRUE(PumpUntil([&] { return ran_on_main.load(); }));
}

// A thread's queue holds descriptors while the thread lives and closes them
// when it ends.
TEST(EventQueueTest, EndedThreadClosesItsQueue) {
  const int before = OpenDescriptors();
  int during = 0;
  std::jthread([&] {
    TEventQueue::Current();
    during = OpenDescriptors();
  }).join();
  EXPECT_GT(during, before);
  EXPECT_EQ(OpenDescriptors(), before);
}

// A renewed queue (a parked thread's next run) keeps the epoll set and the
// eventfd but nothing else: the old target takes no posts, its queued
// message and its watched descriptor's readiness are not delivered, the
// same descriptor can be watched afresh, and posts from another thread
// still wake the owner.
TEST(EventQueueTest, RenewedQueueKeepsDescriptorsAndDeliversNothingOld) {
  std::jthread([] {
    const Pipe pipe;
    pipe.Put("x");
    const HWND old_wnd = TEventQueue::Current().AllocateHWnd([](TMessage&) { ADD_FAILURE(); });
    TEventQueue::Current().Watch(pipe.fds[0], EPOLLIN, [](std::uint32_t) { ADD_FAILURE(); });
    ASSERT_TRUE(PostMessage(old_wnd, WM_USER, 0, 0));
    const int descriptors = OpenDescriptors();
    TEventQueue::RenewCurrent();
    TEventQueue& queue = TEventQueue::Current();
    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_FALSE(PostMessage(old_wnd, WM_USER, 0, 0));
    int ready = 0;
    EXPECT_NO_THROW(queue.Watch(pipe.fds[0], EPOLLIN, [&](std::uint32_t) { ++ready; }));
    const Target target([](TMessage&) {});
    std::jthread([&] { PostMessage(target.wnd(), WM_USER + 1, 0, 0); }).join();
    TMessage msg;
    ASSERT_TRUE(queue.GetMessageFor(msg, 5000));
    EXPECT_EQ(msg.Msg, WM_USER + 1);
    EXPECT_EQ(ready, 1);
    queue.Unwatch(pipe.fds[0]);
  }).join();
}

// A queue's end removes its own targets and looks at no other entry of the
// registry, however many targets other threads hold (idle connections each
// hold some); those stay reachable, the ended queue's are gone.
TEST(EventQueueTest, EndOfAQueueLooksOnlyAtItsOwnTargets) {
  std::vector<std::unique_ptr<Target>> others;
  for (int i = 0; i < 2000; ++i)
    others.push_back(std::make_unique<Target>([](TMessage&) {}));
  const std::uint64_t before = TEventQueue::TargetsVisitedAtEnds();
  std::vector<HWND> own;
  std::jthread([&] {
    TEventQueue& queue = TEventQueue::Current();
    for (int i = 0; i < 3; ++i)
      own.push_back(queue.AllocateHWnd([](TMessage&) {}));
    queue.DeallocateHWnd(own.back());
  }).join();
  EXPECT_EQ(TEventQueue::TargetsVisitedAtEnds() - before, 2u);
  for (const HWND wnd : own)
    EXPECT_FALSE(PostMessage(wnd, WM_USER, 0, 0));
  EXPECT_TRUE(PostMessage(others.front()->wnd(), WM_USER, 0, 0));
  EXPECT_TRUE(PostMessage(others.back()->wnd(), WM_USER, 0, 0));
  TEventQueue::Current().ProcessMessages();
}

}  // namespace
}  // namespace korvi
