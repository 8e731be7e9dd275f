// TThread: starting, waiting, terminating, self-freeing, stack size, and
// Synchronize onto the main thread (which is the thread running the tests).
#include "korvi/host/thread.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <set>
#include <string>
#include <thread>

#include "korvi/host/exceptions.h"
#include "tests/support/pump.h"

namespace korvi {
namespace {

using test::PumpUntil;

// Runs a function as its Execute; waits for it before its members go.
class FunctionThread : public TThread {
 public:
  explicit FunctionThread(std::function<void(FunctionThread&)> body)
      : TThread(true), body_(std::move(body)) {}
  ~FunctionThread() override {
    Terminate();
    WaitFor();
  }
  using TThread::Terminated;

 protected:
  void Execute() override { body_(*this); }

 private:
  std::function<void(FunctionThread&)> body_;
};

// The seam fails exactly the next thread starts it was asked to, as the
// system would, and the thread can be started once it is spent.
TEST(ThreadTest, FailedThreadStartsCanBeInjected) {
  std::atomic<int> runs{0};
  FunctionThread thread([&](FunctionThread&) { ++runs; });
  FailNextThreadStarts(2);
  for (int i = 0; i < 2; ++i) {
    try {
      thread.Resume();
      ADD_FAILURE() << "start " << i << " did not fail";
    } catch (const Exception& error) {
      EXPECT_EQ(error.Message(), "Thread creation error: Resource temporarily unavailable");
    }
  }
  thread.Resume();
  thread.WaitFor();
  EXPECT_EQ(runs, 1);
}

// Synchronize from a worker runs on the main thread while it pumps its
// queue, and returns to the worker only after the method ran.
TEST(ThreadTest, SynchronizeRunsOnMainWhilePumping) {
  bool ran_on_main = false;
  std::atomic<bool> returned{false};
  bool ran_before_return = false;
  FunctionThread thread([&](FunctionThread&) {
    TThread::Synchronize([&] { ran_on_main = IsMainThread(); });
    ran_before_return = ran_on_main;
    returned = true;
  });
  thread.Resume();
  EXPECT_TRUE(PumpUntil([&] { return returned.load(); }));
  thread.WaitFor();
  EXPECT_TRUE(ran_on_main);
  EXPECT_TRUE(ran_before_return);
}

// WaitFor on the main thread keeps serving Synchronize, so a thread that
// synchronizes before it ends cannot deadlock against it.
TEST(ThreadTest, WaitForOnMainServesSynchronize) {
  int calls = 0;
  FunctionThread thread([&](FunctionThread&) {
    for (int i = 0; i < 3; ++i)
      TThread::Synchronize([&] { ++calls; });
  });
  thread.Resume();
  thread.WaitFor();
  EXPECT_EQ(calls, 3);
}

// Voluntary context switches of thread `tid` of this process so far.
long VoluntarySwitches(pid_t tid) {
  std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
  const std::string label = "voluntary_ctxt_switches:";
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(label)) return std::stol(line.substr(label.size()));
  }
  return -1;
}

// A thread waiting in Synchronize sleeps until its own call has run: the
// completions of 200 calls of another thread do not wake it.
TEST(ThreadTest, SynchronizeWakesOnlyItsOwnCaller) {
  constexpr int kOtherCalls = 200;
  std::atomic<int> others_done{0};
  FunctionThread other([&](FunctionThread&) {
    for (int i = 0; i < kOtherCalls; ++i) {
      TThread::Synchronize([] {});
      ++others_done;
    }
  });
  long wake_ups = -1;
  FunctionThread waiter([&](FunctionThread&) {
    const pid_t tid = gettid();
    TThread::Synchronize([&] {
      // On the main thread, while the waiter waits for this very call.
      const long before = VoluntarySwitches(tid);
      other.Resume();
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (others_done < kOtherCalls && std::chrono::steady_clock::now() < deadline) {
        if (!CheckSynchronize()) std::this_thread::yield();
      }
      wake_ups = VoluntarySwitches(tid) - before;
    });
  });
  waiter.Resume();
  waiter.WaitFor();
  other.WaitFor();
  EXPECT_EQ(others_done, kOtherCalls);
  EXPECT_GE(wake_ups, 0);
  EXPECT_LT(wake_ups, 10);
}

// A thread abandoned by the method it waits for unwinds with
// EThreadAbandoned (past handlers of std::exception) instead of returning,
// and every later Synchronize call raises it at once.
TEST(ThreadTest, AbandonedThreadUnwindsOutOfSynchronize) {
  bool running = false;
  bool returned = false;
  bool caught_as_std = false;
  bool abandoned = false;
  bool later_ran = false;
  bool later_abandoned = false;
  bool terminated = false;
  FunctionThread thread([&](FunctionThread& self) {
    try {
      TThread::Synchronize([&] {
        running = self.SynchronizeRunning();
        self.Abandon();
      });
      returned = true;
    } catch (const std::exception&) {
      caught_as_std = true;
    } catch (const EThreadAbandoned&) {
      abandoned = true;
    }
    try {
      TThread::Synchronize([&] { later_ran = true; });
    } catch (const EThreadAbandoned&) {
      later_abandoned = true;
    }
    terminated = self.Terminated();
  });
  thread.Resume();
  thread.WaitFor();
  EXPECT_TRUE(running);
  EXPECT_FALSE(thread.SynchronizeRunning());
  EXPECT_FALSE(returned);
  EXPECT_FALSE(caught_as_std);
  EXPECT_TRUE(abandoned);
  EXPECT_FALSE(later_ran);
  EXPECT_TRUE(later_abandoned);
  EXPECT_TRUE(terminated);
}

// The method's exception reaches the thread that called Synchronize; on the
// main thread the method simply runs in place.
TEST(ThreadTest, SynchronizePassesExceptionsBackAndRunsDirectlyOnMain) {
  std::string caught;
  FunctionThread thread([&](FunctionThread&) {
    try {
      TThread::Synchronize([] { throw Exception("boom"); });
    } catch (const Exception& e) {
      caught = e.Message();
    }
  });
  thread.Resume();
  thread.WaitFor();
  EXPECT_EQ(caught, "boom");

  bool ran = false;
  TThread::Synchronize([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_THROW(TThread::Synchronize([] { throw Exception("here"); }), Exception);
}

// CheckSynchronize runs waiting calls on the main thread only.
TEST(ThreadTest, CheckSynchronizeRunsPendingCalls) {
  EXPECT_FALSE(CheckSynchronize());
  bool worker_could_run = true;
  bool ran = false;
  FunctionThread thread([&](FunctionThread&) {
    worker_could_run = CheckSynchronize();
    TThread::Synchronize([&] { ran = true; });
  });
  thread.Resume();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  bool checked = false;
  while (!checked && std::chrono::steady_clock::now() < deadline) {
    checked = CheckSynchronize();
    if (!checked) std::this_thread::yield();
  }
  EXPECT_TRUE(checked);
  thread.WaitFor();
  EXPECT_TRUE(ran);
  EXPECT_FALSE(worker_could_run);
  EXPECT_TRUE(IsMainThread());
}

// Freeing a thread that runs until told to stop terminates it and waits.
TEST(ThreadTest, DestructorTerminatesAndWaits) {
  std::atomic<bool> started{false};
  bool finished = false;
  auto* thread = new FunctionThread([&](FunctionThread& self) {
    started = true;
    while (!self.Terminated())
      std::this_thread::yield();
    finished = true;
  });
  thread->Resume();
  EXPECT_TRUE(PumpUntil([&] { return started.load(); }));
  delete thread;
  EXPECT_TRUE(finished);
}

// A self-freeing thread is deleted on its own thread after Execute.
class SelfFreeing : public TThread {
 public:
  SelfFreeing(std::promise<std::thread::id>* ran, std::promise<std::thread::id>* freed)
      : TThread(true), ran_(ran), freed_(freed) {
    SetFreeOnTerminate(true);
  }
  ~SelfFreeing() override { freed_->set_value(std::this_thread::get_id()); }
  int* policy = nullptr;  ///< when set, receives the scheduling policy Execute ran under

 protected:
  void Execute() override {
    if (policy != nullptr) *policy = sched_getscheduler(0);
    ran_->set_value(std::this_thread::get_id());
  }

 private:
  std::promise<std::thread::id>* ran_;
  std::promise<std::thread::id>* freed_;
};

TEST(ThreadTest, FreeOnTerminateDeletesOnOwnThread) {
  std::promise<std::thread::id> ran;
  std::promise<std::thread::id> freed;
  (new SelfFreeing(&ran, &freed))->Resume();
  auto ran_id = ran.get_future();
  auto freed_id = freed.get_future();
  ASSERT_EQ(freed_id.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(freed_id.get(), ran_id.get());
}

// A self-freeing thread started after another has ended runs on the ended
// one's parked system thread (once that has parked).
TEST(ThreadTest, SelfFreeingThreadRunsOnAParkedSystemThread) {
  std::set<std::thread::id> seen;
  bool reused = false;
  for (int i = 0; i < 200 && !reused; ++i) {
    std::promise<std::thread::id> ran;
    std::promise<std::thread::id> freed;
    (new SelfFreeing(&ran, &freed))->Resume();
    auto freed_id = freed.get_future();
    ASSERT_EQ(freed_id.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    reused = !seen.insert(freed_id.get()).second;
  }
  EXPECT_TRUE(reused);
}

// Batch threads and plain ones, started in turn, each run under their own
// policy, though ended system threads park and are reused: a parked system
// thread only takes a thread of its own policy.
TEST(ThreadTest, BatchSchedulingHoldsOnParkedSystemThreads) {
  std::set<std::thread::id> seen;
  bool reused = false;
  for (int i = 0; i < 200 && !(reused && i >= 6); ++i) {
    const bool batch = i % 2 == 0;
    std::promise<std::thread::id> ran;
    std::promise<std::thread::id> freed;
    int policy = -1;
    auto* thread = new SelfFreeing(&ran, &freed);
    thread->SetBatchScheduling(batch);
    thread->policy = &policy;
    thread->Resume();
    auto freed_id = freed.get_future();
    ASSERT_EQ(freed_id.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    ASSERT_EQ(policy, batch ? SCHED_BATCH : SCHED_OTHER) << "run " << i;
    reused = !seen.insert(freed_id.get()).second || reused;
  }
  EXPECT_TRUE(reused);
}

// MoveToCpu takes each CPU the thread may run on and leaves the thread's
// CPUs as they were, so it is not pinned; one it may not run on is refused.
TEST(ThreadTest, MoveToCpuLeavesTheThreadFree) {
  std::thread([] {
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (!CPU_ISSET(cpu, &allowed)) continue;
      EXPECT_TRUE(TThread::MoveToCpu(cpu)) << cpu;
      cpu_set_t after;
      sched_getaffinity(0, sizeof after, &after);
      EXPECT_TRUE(CPU_EQUAL(&after, &allowed)) << cpu;
    }
    for (const int refused : {-1, CPU_SETSIZE})
      EXPECT_FALSE(TThread::MoveToCpu(refused));
  }).join();
}

// The stack size given before Resume is the thread's; one the system cannot
// give makes Resume raise "Thread creation error: ...".
TEST(ThreadTest, StackSizeAndCreationError) {
  std::size_t stack = 0;
  FunctionThread big([&](FunctionThread&) {
    pthread_attr_t attr;
    pthread_getattr_np(pthread_self(), &attr);
    pthread_attr_getstacksize(&attr, &stack);
    pthread_attr_destroy(&attr);
  });
  big.SetStackSize(8u << 20);
  big.Resume();
  big.WaitFor();
  EXPECT_GE(stack, 8u << 20);

  FunctionThread tiny([](FunctionThread&) {});
  tiny.SetStackSize(1);
  try {
    tiny.Resume();
    ADD_FAILURE() << "Resume accepted a 1-byte stack";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message().rfind("Thread creation error: ", 0), 0u) << e.Message();
  }
}

}  // namespace
}  // namespace korvi
