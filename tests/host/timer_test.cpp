// TTimer: ticks on the thread that created it, only while enabled with an
// interval and a handler, and nothing happens after it is freed.
#include "korvi/host/timer.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "korvi/host/exceptions.h"
#include "tests/support/descriptor_limit.h"
#include "tests/support/foreign_thread.h"
#include "tests/support/loopback_client.h"
#include "tests/support/pump.h"

namespace korvi {
namespace {

using test::PumpUntil;

// A 5 ms timer whose ticks tell the other timers of a test that time passes.
class Clock {
 public:
  Clock() : timer_(nullptr) {
    timer_.SetInterval(5);
    timer_.SetOnTimer([this](TObject*) { ++ticks_; });
  }
  // Pumps until `n` more ticks of this clock have passed.
  bool Wait(int n) {
    const int until = ticks_ + n;
    return PumpUntil([&] { return ticks_ >= until; });
  }

 private:
  TTimer timer_;
  int ticks_ = 0;
};

// A timer made on a worker thread ticks there, from that thread's loop.
TEST(TimerTest, TicksOnCreatingWorkerThread) {
  std::vector<std::thread::id> tick_threads;
  std::thread::id worker_id;
  std::jthread([&] {
    worker_id = std::this_thread::get_id();
    TTimer timer(nullptr);
    timer.SetInterval(5);
    timer.SetOnTimer([&](TObject* sender) {
      EXPECT_EQ(sender, &timer);
      tick_threads.push_back(std::this_thread::get_id());
      if (tick_threads.size() == 3) TEventQueue::Current().PostQuitMessage();
    });
    TEventQueue& queue = TEventQueue::Current();
    TMessage msg;
    while (queue.GetMessageFor(msg, 5000))
      queue.DispatchMessage(msg);
  }).join();
  ASSERT_EQ(tick_threads.size(), 3u);
  for (auto id : tick_threads)
    EXPECT_EQ(id, worker_id);
}

// Defaults are enabled and 1000 ms; ticks stop when disabled or at interval
// 0 and resume when switched back on.
TEST(TimerTest, TicksOnlyWhileEnabledWithInterval) {
  Clock clock;
  TTimer timer(nullptr);
  EXPECT_TRUE(timer.Enabled());
  EXPECT_EQ(timer.Interval(), 1000u);
  int ticks = 0;
  timer.SetInterval(5);
  timer.SetOnTimer([&](TObject*) { ++ticks; });
  EXPECT_TRUE(PumpUntil([&] { return ticks >= 1; }));

  timer.SetEnabled(false);
  int frozen = ticks;
  EXPECT_TRUE(clock.Wait(6));
  EXPECT_EQ(ticks, frozen);

  timer.SetEnabled(true);
  EXPECT_TRUE(PumpUntil([&] { return ticks > frozen; }));

  timer.SetInterval(0);
  frozen = ticks;
  EXPECT_TRUE(clock.Wait(6));
  EXPECT_EQ(ticks, frozen);
}

// A tick already queued when the timer is re-armed (disabled and enabled
// again, or restarted) is dropped, as a window timer's pending WM_TIMER is
// when the timer is set again. A restart also enables a disabled timer with
// its new interval.
TEST(TimerTest, RearmingDropsQueuedTick) {
  for (const bool restart : {false, true}) {
    SCOPED_TRACE(restart ? "restart" : "disable and enable");
    TTimer timer(nullptr);
    timer.SetInterval(5);
    int ticks = 0;
    timer.SetOnTimer([&](TObject*) { ++ticks; });
    TEventQueue& queue = TEventQueue::Current();
    TMessage msg;
    while (queue.GetMessageFor(msg, 5000) && msg.Msg != WM_TIMER)
      queue.DispatchMessage(msg);
    ASSERT_EQ(msg.Msg, WM_TIMER);
    if (restart) {
      timer.SetEnabled(false);
      timer.Restart(7);
      EXPECT_TRUE(timer.Enabled());
      EXPECT_EQ(timer.Interval(), 7u);
    } else {
      timer.SetEnabled(false);
      timer.SetEnabled(true);
    }
    queue.DispatchMessage(msg);
    EXPECT_EQ(ticks, 0);
    EXPECT_TRUE(PumpUntil([&] { return ticks > 0; }));
  }
}

// Without OnTimer an enabled timer does nothing, and setting it starts ticks.
TEST(TimerTest, NoHandlerNoTicks) {
  TTimer timer(nullptr);
  timer.SetInterval(5);
  int ticks = 0;
  timer.SetOnTimer([&](TObject*) { ++ticks; });
  timer.SetOnTimer(nullptr);
  Clock clock;
  EXPECT_TRUE(clock.Wait(6));
  EXPECT_EQ(ticks, 0);
  timer.SetOnTimer([&](TObject*) { ++ticks; });
  EXPECT_TRUE(PumpUntil([&] { return ticks > 0; }));
}

// A timer may free itself from its own tick; a freed timer never ticks again.
TEST(TimerTest, FreedTimerStopsForGood) {
  auto* timer = new TTimer(nullptr);
  timer->SetInterval(5);
  int ticks = 0;
  timer->SetOnTimer([&](TObject* sender) {
    ++ticks;
    delete static_cast<TTimer*>(sender);
  });
  EXPECT_TRUE(PumpUntil([&] { return ticks == 1; }));
  Clock clock;
  EXPECT_TRUE(clock.Wait(6));
  EXPECT_EQ(ticks, 1);
}

// An owner frees its timer; a timer whose thread has ended can still be freed.
TEST(TimerTest, FreedByOwnerOrAfterItsThread) {
  int ticks = 0;
  {
    TComponent owner(nullptr);
    auto* timer = new TTimer(&owner);
    timer->SetInterval(5);
    timer->SetOnTimer([&](TObject*) { ++ticks; });
  }
  std::unique_ptr<TTimer> orphan;
  std::jthread([&] {
    orphan = std::make_unique<TTimer>(nullptr);
    orphan->SetInterval(5);
    orphan->SetOnTimer([&](TObject*) { ++ticks; });
  }).join();
  orphan.reset();
  Clock clock;
  EXPECT_TRUE(clock.Wait(6));
  EXPECT_EQ(ticks, 0);
}

// A timer whose thread cannot get its queue (no descriptor left for the
// queue's eventfd after its epoll set) raises and leaves no descriptor behind.
TEST(TimerTest, FailedCreationLeaksNoDescriptor) {
  // UBSan checks a type with a pipe the first time it meets it, and would
  // find no descriptor for one under the squeeze: it meets the types here.
  { TTimer warm_up(nullptr); }
  EXPECT_THROW(throw Exception("warm-up"), Exception);
  std::jthread([] {
    const int before = test::OpenDescriptorCount();
    {
      test::ScopedDescriptorLimit squeeze(1);
      EXPECT_THROW(TTimer timer(nullptr), Exception);
    }
    EXPECT_EQ(test::OpenDescriptorCount(), before);
  }).join();
}

// Freeing a timer on another thread while its own thread still runs (and
// may be running the timer's handlers that moment) stops a debug build at
// once with a message.
TEST(TimerDeathTest, FreedOffItsRunningThreadStopsTheProcess) {
#ifdef NDEBUG
  GTEST_SKIP() << "the owner-thread check is a debug check";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(test::DeleteOffItsThread([] { return new TTimer(nullptr); }),
               "TTimer freed on a thread other than its own");
}

}  // namespace
}  // namespace korvi
