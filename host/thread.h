/// \file
/// TThread: a thread object in the framework's style. It is created suspended
/// or running, runs Execute once, may free itself when Execute returns, and can
/// run a method on the main thread with Synchronize.
#pragma once

#include <pthread.h>
#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>

#include "korvi/host/object.h"

namespace korvi {

/// Unwinds a thread whose owner was destroyed while the thread waited in
/// Synchronize (see TThread::Abandon). It deliberately derives from nothing:
/// handlers that catch std::exception and carry on must not catch it, since
/// nothing of the destroyed owner may be touched again. The thread's start
/// routine catches it and the thread ends.
struct EThreadAbandoned {};

/// A thread object that runs Execute once.
class TThread : public TObject {
 public:
  /// Creates the thread; unless `create_suspended`, it starts at once. A
  /// subclass whose Execute needs its own constructor to have finished must
  /// pass true and call Resume when it is fully built. A self-freeing thread
  /// may run on a system thread that ran an earlier, ended one; it still gets
  /// a fresh event queue of its own.
  explicit TThread(bool create_suspended);
  /// A thread that does not free itself is asked to terminate and waited for.
  /// A subclass whose Execute uses its own members should do the same in its
  /// destructor, before those members go.
  ~TThread() override;

  /// Starts a suspended thread. Raises Exception "Thread creation error: <reason>"
  /// when the system cannot create it.
  void Resume();
  /// Sets the terminate flag that Execute polls.
  void Terminate() { terminated_ = true; }
  /// True once Terminate was called.
  bool Terminated() const { return terminated_; }
  ///@{
  /// When set before Execute returns, the object deletes itself on its own thread.
  bool FreeOnTerminate() const { return free_on_terminate_; }
  void SetFreeOnTerminate(bool value) { free_on_terminate_ = value; }
  ///@}
  /// Stack size for the thread (set before Resume; 0 = system default).
  void SetStackSize(std::size_t bytes) { shape_.stack_size = bytes; }
  /// Runs the thread under the system's batch policy (SCHED_BATCH; set
  /// before Resume). A woken batch thread does not preempt the thread that
  /// runs, so many short-lived wake-ups share a busy CPU in turn instead of
  /// switching at each one. Threads it starts inherit the policy. Where the
  /// system refuses the policy, the thread runs under the one it inherited.
  void SetBatchScheduling(bool on) { shape_.batch = on; }
  /// Waits until Execute has returned (not for self-freeing threads). On the
  /// main thread, pending Synchronize calls keep running while it waits.
  void WaitFor();
  /// Runs `method` on the main thread and returns when it has run; runs it
  /// directly when called on the main thread. An exception thrown by the
  /// method is passed on to the caller. In a thread that was abandoned it
  /// raises EThreadAbandoned instead of returning.
  static void Synchronize(const std::function<void()>& method);
  /// Moves the calling thread onto CPU `Cpu`, when the system lets it run
  /// there, and leaves it free to run on its allowed CPUs again: the system
  /// may move it on later. False when it was not moved.
  static bool MoveToCpu(int Cpu);
  /// True while a method this thread handed to Synchronize runs on the main
  /// thread (always false when asked on another thread).
  bool SynchronizeRunning() const;
  /// Lets the thread go when the object it serves is destroyed by the very
  /// method it waits for in Synchronize (main thread only): the waiting call,
  /// and every later one, raises EThreadAbandoned in the thread instead of
  /// returning, and Terminated becomes true.
  void Abandon();

 protected:
  /// The thread body.
  virtual void Execute() = 0;

 private:
  static void* Entry(void* self);
  /// Runs Execute on the calling system thread and ends the run (the object
  /// frees itself or wakes WaitFor). True when the system thread is free to
  /// park and run another TThread afterwards.
  bool Run();
  /// What a system thread is made with, and a parked one must match.
  struct Shape {
    std::size_t stack_size = 0;
    bool batch = false;
    bool operator==(const Shape&) const = default;
  };
  /// Hands this self-freeing thread to a parked system thread of the same
  /// shape; false when none is parked.
  bool HandToParked();
  /// Parks the calling system thread until a TThread is handed to it (that
  /// one is returned) or it waited long enough (nullptr: the thread ends).
  static TThread* WaitInPark(Shape shape);
  /// Marks Execute as returned and wakes WaitFor.
  void SignalFinished();
  /// Reaps the system thread once, whoever asks first.
  void Join();
  /// Guards handle_ and joined_. The new thread passes through it before
  /// Execute, so it cannot run (and free itself) while Resume still stores
  /// its handle.
  std::mutex handle_mutex_;
  pthread_t handle_{};
  bool joined_ = false;
  bool started_ = false;
  bool parked_run_ = false;  ///< runs on a parked system thread (no handle to join)
  std::atomic<bool> finished_{false};
  std::atomic<bool> terminated_{false};
  std::atomic<bool> free_on_terminate_{false};
  std::atomic<bool> abandoned_{false};
  Shape shape_;
};

/// True on the process's main thread (the thread that started the program).
bool IsMainThread();
/// A seam for tests: the next `count` Resume calls that would start a thread
/// fail as when the system cannot create one (EAGAIN), whether a parked
/// system thread is free or not.
void FailNextThreadStarts(int count);
/// Runs the Synchronize calls waiting for the main thread (main thread only).
/// Returns true when it ran any.
bool CheckSynchronize();

}  // namespace korvi
