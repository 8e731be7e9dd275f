// TThread on POSIX threads, and Synchronize: a worker hands a method to the
// main thread through a process-wide list, wakes the main queue with a task
// that runs the list, and waits until its method has run there.
//
// A system thread whose self-freeing TThread has ended parks for a while: a
// self-freeing TThread started later with the same stack size and scheduling
// policy runs on it instead of on a new system thread. Between two runs the
// parked thread gets a fresh event queue, so each run starts as on a thread
// of its own; the queue's descriptors stay for the next run while the thread
// waits briefly.
#include "korvi/host/thread.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "korvi/host/event_queue.h"
#include "korvi/host/exceptions.h"

namespace korvi {

namespace {

// One Synchronize call waiting for the main thread. It has a completion of
// its own, so finishing one call wakes only the thread that made it.
struct SyncRequest {
  const std::function<void()>* method;
  const TThread* caller;  // the thread object of the calling thread, if any
  std::exception_ptr error;
  bool done = false;
  std::condition_variable completed;  // signalled (under the mutex) when done
};

// Pending Synchronize calls. `changed` wakes the main thread waiting in
// WaitFor: it is signalled when a call is queued and when a thread's
// Execute returns. Never destroyed, so threads still running at exit find
// it intact.
struct SyncState {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<SyncRequest*> pending;
};

SyncState& Sync() {
  static SyncState* const state = new SyncState;
  return *state;
}

// The TThread whose Execute runs on the calling thread (nullptr elsewhere).
thread_local TThread* current_thread = nullptr;

// Thread starts still to fail (FailNextThreadStarts).
std::atomic<int> failed_starts{0};

// True when this start is to fail.
bool TakeFailedStart() {
  int left = failed_starts.load();
  while (left > 0 && !failed_starts.compare_exchange_weak(left, left - 1)) {
  }
  return left > 0;
}

[[noreturn]] void ThrowCreationError(int error) {
  throw Exception(std::string("Thread creation error: ") + std::strerror(error));
}

// Most system threads kept parked at once, and how long one waits for work
// before it ends.
constexpr std::size_t kMaxParked = 64;
constexpr std::chrono::seconds kParkedIdle{10};
// How long of that it keeps its event queue's descriptors for the next run:
// under load the next connection comes within moments, and an idle process
// holds none.
constexpr std::chrono::seconds kQueueKept{1};

// A parked system thread waiting for its next TThread. A system thread
// takes a record from the park when it first parks and gives it back when
// it ends; records are never freed, so a wake-up that comes late finds its
// record intact and at worst wakes the record's next owner for nothing.
struct ParkedThread {
  std::size_t stack_size = 0;
  bool batch = false;       // runs under the batch scheduling policy
  TThread* next = nullptr;  // set with the park's mutex held
  // 1 once `next` is handed over; the parked thread sleeps on it, apart
  // from the park's mutex so that waking one does not hold up the others.
  std::atomic<std::uint32_t> woken{0};
};

// The parked threads, the latest last, and the records of ended threads.
// Never destroyed, so threads still parked at exit find it intact.
struct ThreadPark {
  std::mutex mutex;
  std::vector<ParkedThread*> idle;
  std::vector<ParkedThread*> spare;
};

ThreadPark& Park() {
  static ThreadPark* const park = new ThreadPark;
  return *park;
}

// The calling system thread's record.
ParkedThread& OwnRecord() {
  struct Holder {
    Holder() {
      ThreadPark& park = Park();
      std::lock_guard lock(park.mutex);
      if (park.spare.empty()) {
        record = new ParkedThread;
      } else {
        record = park.spare.back();
        park.spare.pop_back();
      }
    }
    ~Holder() {
      ThreadPark& park = Park();
      std::lock_guard lock(park.mutex);
      park.spare.push_back(record);
    }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
    ParkedThread* record = nullptr;
  };
  thread_local Holder holder;
  return *holder.record;
}

// Sleeps until `word` is no longer 0 (true) or `deadline` has passed
// (false); the latest time point waits without a limit. One system call
// each way, where a condition variable takes three: the sleeper has no
// mutex to take back when it wakes.
bool SleepUntilSet(std::atomic<std::uint32_t>& word,
                   std::chrono::steady_clock::time_point deadline) {
  const bool limited = deadline != std::chrono::steady_clock::time_point::max();
  while (word.load(std::memory_order_acquire) == 0) {
    timespec wait{};
    if (limited) {
      const auto left = deadline - std::chrono::steady_clock::now();
      if (left <= std::chrono::steady_clock::duration::zero()) return false;
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
      wait = {static_cast<time_t>(seconds.count()),
              static_cast<long>(std::chrono::nanoseconds(left - seconds).count())};
    }
    syscall(SYS_futex, &word, FUTEX_WAIT_PRIVATE, 0, limited ? &wait : nullptr, nullptr, 0);
  }
  return true;
}

// Sets `word` and wakes its sleeper.
void SetAndWake(std::atomic<std::uint32_t>& word) {
  word.store(1, std::memory_order_release);
  syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// The callers whose methods are running on the main thread, innermost last
// (a method may pump and so run another caller's method). Main thread only.
std::vector<const TThread*>& RunningCallers() {
  static std::vector<const TThread*>* const callers = new std::vector<const TThread*>;
  return *callers;
}

}  // namespace

bool IsMainThread() {
  return TEventQueue::Main().IsOwnerThread();
}

bool CheckSynchronize() {
  if (!IsMainThread()) return false;
  SyncState& sync = Sync();
  bool ran = false;
  for (;;) {
    SyncRequest* request;
    {
      std::lock_guard lock(sync.mutex);
      if (sync.pending.empty()) break;
      request = sync.pending.front();
      sync.pending.pop_front();
    }
    RunningCallers().push_back(request->caller);
    try {
      (*request->method)();
    } catch (...) {
      request->error = std::current_exception();
    }
    RunningCallers().pop_back();
    {
      // The request lives on the waiting thread's stack, which may go as soon
      // as the mutex is released: it is signalled under the mutex and not
      // touched after this.
      std::lock_guard lock(sync.mutex);
      request->done = true;
      request->completed.notify_one();
    }
    ran = true;
  }
  return ran;
}

TThread::TThread(bool create_suspended) {
  if (!create_suspended) Resume();
}

TThread::~TThread() {
  // A self-freeing thread is destroyed on its own thread and nobody joins it.
  if (started_ && !free_on_terminate_) {
    Terminate();
    WaitFor();
  }
}

void TThread::Resume() {
  if (started_) return;
  if (TakeFailedStart()) ThrowCreationError(EAGAIN);
  if (free_on_terminate_ && HandToParked()) return;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  int error = shape_.stack_size > 0 ? pthread_attr_setstacksize(&attr, shape_.stack_size) : 0;
  if (error == 0) {
    std::lock_guard lock(handle_mutex_);
    started_ = true;
    error = pthread_create(&handle_, &attr, &TThread::Entry, this);
    if (error != 0) started_ = false;
  }
  pthread_attr_destroy(&attr);
  if (error != 0) ThrowCreationError(error);
}

void FailNextThreadStarts(int count) {
  failed_starts = count;
}

bool TThread::HandToParked() {
  ThreadPark& park = Park();
  std::unique_lock park_lock(park.mutex);
  for (auto it = park.idle.rbegin(); it != park.idle.rend(); ++it) {
    ParkedThread* parked = *it;
    if (Shape{parked->stack_size, parked->batch} != shape_) continue;
    park.idle.erase(std::next(it).base());
    {
      std::lock_guard lock(handle_mutex_);
      started_ = true;
      parked_run_ = true;
    }
    parked->next = this;
    park_lock.unlock();
    SetAndWake(parked->woken);
    return true;
  }
  return false;
}

void* TThread::Entry(void* self) {
  auto* thread = static_cast<TThread*>(self);
  { std::lock_guard wait_for_resume(thread->handle_mutex_); }
  const Shape shape = thread->shape_;
  if (shape.batch) {
    const sched_param no_priority{};
    pthread_setschedparam(pthread_self(), SCHED_BATCH, &no_priority);
  }
  // A thread whose object frees itself is detached, so nobody joins it and
  // it may park and run the next one; otherwise it ends with its run.
  while (thread != nullptr && thread->Run()) {
    TEventQueue::RenewCurrent();
    thread = WaitInPark(shape);
  }
  return nullptr;
}

bool TThread::Run() {
  current_thread = this;
  try {
    Execute();
  } catch (...) {
    // An exception cannot cross the thread's start routine; the thread
    // simply ends, as when Execute returns (EThreadAbandoned included).
  }
  current_thread = nullptr;
  const bool parked_run = parked_run_;
  if (free_on_terminate_) {
    if (!parked_run) pthread_detach(pthread_self());
    delete this;
    return true;
  }
  if (!parked_run) {
    SignalFinished();
    return false;
  }
  // WaitFor must not find the queue of this run still alive: objects of the
  // run may be freed on the waiting thread as soon as it returns.
  TEventQueue::RenewCurrent();
  SignalFinished();
  return true;
}

TThread* TThread::WaitInPark(Shape shape) {
  ThreadPark& park = Park();
  ParkedThread& parked = OwnRecord();
  {
    std::lock_guard lock(park.mutex);
    if (park.idle.size() >= kMaxParked) return nullptr;
    parked.stack_size = shape.stack_size;
    parked.batch = shape.batch;
    parked.next = nullptr;
    parked.woken.store(0, std::memory_order_relaxed);
    park.idle.push_back(&parked);
  }
  const auto parked_at = std::chrono::steady_clock::now();
  if (!SleepUntilSet(parked.woken, parked_at + kQueueKept)) {
    TEventQueue::EndCurrent();
    if (!SleepUntilSet(parked.woken, parked_at + kParkedIdle)) {
      {
        std::lock_guard lock(park.mutex);
        if (parked.next == nullptr) {
          std::erase(park.idle, &parked);
          return nullptr;
        }
      }
      // Work arrived just as the wait ended: its wake-up is on the way.
      SleepUntilSet(parked.woken, std::chrono::steady_clock::time_point::max());
    }
  }
  TThread* next = parked.next;
  // Resume has stored what it stores before the thread may run.
  { std::lock_guard wait_for_resume(next->handle_mutex_); }
  return next;
}

void TThread::SignalFinished() {
  SyncState& sync = Sync();
  {
    std::lock_guard lock(sync.mutex);
    finished_ = true;
  }
  sync.changed.notify_all();
}

void TThread::WaitFor() {
  if (!started_) return;
  if (IsMainThread()) {
    // The thread may be waiting in Synchronize for this very thread, so the
    // calls it queues keep running while we wait.
    SyncState& sync = Sync();
    std::unique_lock lock(sync.mutex);
    while (!finished_) {
      if (sync.pending.empty()) {
        sync.changed.wait(lock);
        continue;
      }
      lock.unlock();
      CheckSynchronize();
      lock.lock();
    }
  }
  Join();
}

void TThread::Join() {
  std::lock_guard lock(handle_mutex_);
  if (joined_) return;
  // A parked system thread goes on after the run: nothing to join.
  if (!parked_run_) pthread_join(handle_, nullptr);
  joined_ = true;
}

void TThread::Synchronize(const std::function<void()>& method) {
  if (IsMainThread()) {
    method();
    return;
  }
  TThread* const caller = current_thread;
  if (caller != nullptr && caller->abandoned_) throw EThreadAbandoned{};
  SyncState& sync = Sync();
  SyncRequest request{&method, caller, nullptr, false, {}};
  {
    std::lock_guard lock(sync.mutex);
    sync.pending.push_back(&request);
  }
  // Wakes a main thread that waits in WaitFor; one that runs its message
  // loop picks the call up through the task.
  sync.changed.notify_all();
  TEventQueue::Main().PostTask([] { CheckSynchronize(); });
  {
    std::unique_lock lock(sync.mutex);
    request.completed.wait(lock, [&request] { return request.done; });
  }
  // The method destroyed what this thread works for: go no further.
  if (caller != nullptr && caller->abandoned_) throw EThreadAbandoned{};
  if (request.error) std::rethrow_exception(request.error);
}

bool TThread::MoveToCpu(int Cpu) {
  cpu_set_t allowed;
  if (Cpu < 0 || Cpu >= CPU_SETSIZE || sched_getaffinity(0, sizeof allowed, &allowed) != 0 ||
      !CPU_ISSET(Cpu, &allowed)) {
    return false;
  }
  if (sched_getcpu() == Cpu) return true;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(Cpu, &one);
  // Narrowing the set moves the thread at once; widening it again does not
  // move it back.
  if (sched_setaffinity(0, sizeof one, &one) != 0) return false;
  sched_setaffinity(0, sizeof allowed, &allowed);
  return true;
}

bool TThread::SynchronizeRunning() const {
  if (!IsMainThread()) return false;
  const std::vector<const TThread*>& callers = RunningCallers();
  return std::find(callers.begin(), callers.end(), this) != callers.end();
}

void TThread::Abandon() {
  abandoned_ = true;
  Terminate();
}

}  // namespace korvi
