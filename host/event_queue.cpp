// The per-thread event queue: posted messages and tasks in one FIFO, an
// eventfd that wakes the owning thread when the FIFO fills, an epoll set
// whose ready descriptors run their handlers while the thread waits, and the
// targets' timers, whose next expiry bounds that wait.
//
// Message targets (HWNDs) live in one process-wide registry so that any
// thread can post to them; each entry names the queue that owns the target,
// and each queue lists its own targets. When a thread ends, its
// queue removes its own targets from the registry (touching no other entry)
// and marks itself dead, so late posts fail instead of touching freed memory.
#include "korvi/host/event_queue.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "korvi/host/exceptions.h"
#include "korvi/host/file_descriptor.h"

namespace korvi {

namespace detail {

// One entry of the FIFO: a message, or a task when `task` is set. `seq`
// numbers the posts, so a pump can stop at what was queued when it began.
struct QueueItem {
  TMessage msg;
  std::function<void()> task;
  std::uint64_t seq = 0;
};

// A watched descriptor; `events` 0 means switched off (removed from epoll).
struct Watcher {
  int fd = -1;
  std::uint32_t events = 0;
  std::shared_ptr<TReadyHandler> handler;
};

using Clock = std::chrono::steady_clock;

// The timer of target `wnd`: WM_TIMER with `wparam` is due at `due`, then
// every `interval`.
struct QueueTimer {
  HWND wnd = 0;
  Clock::time_point due;
  Clock::duration interval;
  std::uintptr_t wparam = 0;
};

struct QueueCore {
  QueueCore();
  // A queue for the same thread that takes over the epoll set and eventfd of
  // `previous`, which ends as Close leaves it.
  explicit QueueCore(QueueCore& previous);
  ~QueueCore();

  // Appends `item` and wakes the owner; false when the queue is dead.
  bool Post(QueueItem item);
  // Puts `item` in front (the owner gives back a WM_QUIT it did not handle).
  void PutBack(QueueItem item);
  // Takes the first item unless it was posted after `up_to`; false when there is none.
  bool Take(QueueItem& item, std::uint64_t up_to);
  // Takes the next message, running the tasks and dropping the messages of
  // removed targets that come before it.
  bool TakeMessage(TMessage& msg, std::uint64_t up_to = UINT64_MAX);
  bool Empty();
  // The number of the latest post.
  std::uint64_t LastSeq();
  // Waits up to `timeout_ms` (-1: no limit) for descriptors and runs the
  // handlers of those that are ready; the wait ends early when a timer is
  // due, and due timers post their WM_TIMER.
  void Poll(int timeout_ms);
  // Sets the timer of `wnd` (interval 0 removes it).
  void SetTimer(HWND wnd, unsigned interval_ms, std::uintptr_t wparam);
  // `timeout_ms` shortened to the time until the next timer is due.
  int WaitLimit(int timeout_ms);
  // Posts WM_TIMER for every due timer and sets its next expiry.
  void PostDueTimers();
  // Tears the queue down: no more posts, descriptors closed.
  void Close();
  // Ends the queue as Close does, but hands its epoll set, emptied of every
  // watched descriptor, and its eventfd to `heir`, which numbers its
  // watchers on from here so that an event still ready under an old
  // number finds no handler.
  void Retire(QueueCore* heir);
  // Creates the epoll set and the eventfd when the queue has none.
  void Open();

  void Watch(int fd, std::uint32_t events, TReadyHandler handler);
  void Modify(int fd, std::uint32_t events);
  void Unwatch(int fd);
  // Takes the watcher of `fd` out of the epoll set and the tables (the
  // caller holds `mutex`); an empty one when `fd` is not watched.
  Watcher Detach(int fd);

  const std::thread::id owner = std::this_thread::get_id();
  TFileDescriptor epoll_fd;
  TFileDescriptor wake_fd;

  // Most messages the owner takes one after another without a look at its
  // descriptors, and how many it took since it last looked (a new queue
  // looks before its first message).
  static constexpr int kMessagesPerLook = 4;
  int taken_since_look = kMessagesPerLook;

  std::mutex mutex;  // guards everything below
  bool alive = true;
  std::deque<QueueItem> items;
  std::uint64_t last_seq = 0;
  // Keyed by the id stored in the epoll data, so that an event for a
  // descriptor that was unwatched (and maybe reused) finds no handler.
  std::unordered_map<std::uint64_t, Watcher> watchers;
  std::unordered_map<int, std::uint64_t> watch_ids;
  std::uint64_t next_watch_id = 1;  // 0 marks the wake eventfd
  // A thread has few timers, restarted often (a connection's life timer at
  // each request): a list that keeps its room makes restarting allocate
  // nothing.
  std::vector<QueueTimer> timers;

  std::mutex targets_mutex;  // guards `own_targets`
  // The targets this queue owns, so that its end finds its own without
  // looking at anyone else's.
  std::unordered_set<HWND> own_targets;
};

namespace {

constexpr std::uint64_t kWakeId = 0;
constexpr int kMaxEvents = 64;

[[noreturn]] void RaiseSystemError(const std::string& what, int error) {
  throw Exception(what + ": " + std::strerror(error));
}

void EpollControl(int epoll_fd, int op, int fd, std::uint32_t events, std::uint64_t id) {
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = id;
  if (epoll_ctl(epoll_fd, op, fd, &ev) != 0) {
    RaiseSystemError("Cannot watch descriptor " + std::to_string(fd), errno);
  }
}

// A message target: the queue that owns it and the method it dispatches to.
struct Target {
  std::shared_ptr<QueueCore> queue;
  std::shared_ptr<TWndMethod> method;
};

// One part of the registry, with its own lock. Aligned to a cache line, so
// that threads working on neighbouring parts do not share one.
struct alignas(64) RegistryShard {
  std::mutex mutex;  // guards `targets`
  std::unordered_map<HWND, Target> targets;
};

// The process-wide HWND registry, split by HWND into parts that each have
// their own lock: every connection's thread creates, posts to and removes
// its own targets, and one lock for all of them made those threads wait on
// each other. Never destroyed, so threads that end after main() returned can
// still unregister their targets.
struct Registry {
  static constexpr std::size_t kShards = 64;
  std::array<RegistryShard, kShards> shards;
  std::atomic<HWND> next{1};
  std::atomic<std::uint64_t> visited_at_ends{0};  // entries looked at by the ends of queues

  RegistryShard& ShardOf(HWND wnd) { return shards[wnd % kShards]; }
};

Registry& Targets() {
  static Registry* const registry = new Registry;
  return *registry;
}

// The queue that owns `wnd`, or nullptr.
std::shared_ptr<QueueCore> OwnerOf(HWND wnd) {
  RegistryShard& shard = Targets().ShardOf(wnd);
  std::lock_guard lock(shard.mutex);
  auto it = shard.targets.find(wnd);
  return it == shard.targets.end() ? nullptr : it->second.queue;
}

// Enters `method` as a new target of `queue`.
HWND AddTarget(const std::shared_ptr<QueueCore>& queue, TWndMethod method) {
  const HWND wnd = Targets().next.fetch_add(1, std::memory_order_relaxed);
  {
    std::lock_guard lock(queue->targets_mutex);
    queue->own_targets.insert(wnd);
  }
  RegistryShard& shard = Targets().ShardOf(wnd);
  std::lock_guard lock(shard.mutex);
  shard.targets.emplace(wnd, Target{queue, std::make_shared<TWndMethod>(std::move(method))});
  return wnd;
}

// The method of `wnd` when `queue` owns it, or nullptr; `take` also takes
// the target out of its shard. A method taken comes back to the caller, so
// that it is destroyed after the lock is released: what it captures may
// itself post or deallocate.
std::shared_ptr<TWndMethod> MethodOf(HWND wnd, const QueueCore* queue, bool take = false) {
  RegistryShard& shard = Targets().ShardOf(wnd);
  std::lock_guard lock(shard.mutex);
  auto it = shard.targets.find(wnd);
  if (it == shard.targets.end() || it->second.queue.get() != queue) return nullptr;
  std::shared_ptr<TWndMethod> method = it->second.method;
  if (take) shard.targets.erase(it);
  return method;
}

// Takes `wnd` out of the registry when `queue` owns it (its method comes
// back as above).
std::shared_ptr<TWndMethod> RemoveTarget(HWND wnd, QueueCore* queue) {
  std::shared_ptr<TWndMethod> method = MethodOf(wnd, queue, true);
  if (method) {
    std::lock_guard lock(queue->targets_mutex);
    queue->own_targets.erase(wnd);
  }
  return method;
}

// Takes every target of `queue` out of the registry and returns their
// methods (for the caller to destroy once the locks are released, as above).
std::vector<std::shared_ptr<TWndMethod>> RemoveTargetsOf(QueueCore* queue) {
  std::unordered_set<HWND> own;
  {
    std::lock_guard lock(queue->targets_mutex);
    own.swap(queue->own_targets);
  }
  std::vector<std::shared_ptr<TWndMethod>> removed;
  removed.reserve(own.size());
  for (const HWND wnd : own) {
    Targets().visited_at_ends.fetch_add(1, std::memory_order_relaxed);
    // Gone already when another thread released it meanwhile.
    if (std::shared_ptr<TWndMethod> method = MethodOf(wnd, queue, true))
      removed.push_back(std::move(method));
  }
  return removed;
}

}  // namespace

QueueCore::QueueCore() {
  Open();
}

QueueCore::QueueCore(QueueCore& previous) {
  previous.Retire(this);
  Open();  // when `previous` had already been closed
}

void QueueCore::Open() {
  if (epoll_fd.Valid()) return;
  // Both descriptors close again when the constructor raises.
  epoll_fd.Reset(epoll_create1(EPOLL_CLOEXEC));
  wake_fd.Reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!epoll_fd.Valid() || !wake_fd.Valid()) RaiseSystemError("Cannot create event queue", errno);
  EpollControl(epoll_fd.Get(), EPOLL_CTL_ADD, wake_fd.Get(), EPOLLIN, kWakeId);
}

QueueCore::~QueueCore() {
  Close();
}

bool QueueCore::Post(QueueItem item) {
  std::lock_guard lock(mutex);
  if (!alive) return false;
  const bool was_empty = items.empty();
  item.seq = ++last_seq;
  items.push_back(std::move(item));
  // The owner only blocks after finding the FIFO empty, so waking it on the
  // empty-to-filled step is enough; and the owner posting to itself is not
  // blocked, it takes the item before it waits again.
  if (was_empty && std::this_thread::get_id() != owner) {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(wake_fd.Get(), &one, sizeof one);
  }
  return true;
}

void QueueCore::PutBack(QueueItem item) {
  std::lock_guard lock(mutex);
  if (alive) items.push_front(std::move(item));
}

bool QueueCore::Take(QueueItem& item, std::uint64_t up_to) {
  std::lock_guard lock(mutex);
  if (items.empty() || items.front().seq > up_to) return false;
  item = std::move(items.front());
  items.pop_front();
  return true;
}

bool QueueCore::TakeMessage(TMessage& msg, std::uint64_t up_to) {
  QueueItem item;
  while (Take(item, up_to)) {
    if (item.task) {
      item.task();
      continue;
    }
    const bool orphan =
        item.msg.Msg != WM_QUIT && item.msg.Wnd != 0 && MethodOf(item.msg.Wnd, this) == nullptr;
    if (orphan) continue;
    msg = item.msg;
    ++taken_since_look;
    return true;
  }
  return false;
}

bool QueueCore::Empty() {
  std::lock_guard lock(mutex);
  return items.empty();
}

std::uint64_t QueueCore::LastSeq() {
  std::lock_guard lock(mutex);
  return last_seq;
}

void QueueCore::Poll(int timeout_ms) {
  taken_since_look = 0;
  epoll_event events[kMaxEvents];
  const int count = epoll_wait(epoll_fd.Get(), events, kMaxEvents, WaitLimit(timeout_ms));
  if (count < 0) {
    // A signal interrupted the wait; the caller simply looks again.
    if (errno == EINTR) return;
    RaiseSystemError("epoll_wait", errno);
  }
  PostDueTimers();
  for (int i = 0; i < count; ++i) {
    // epoll_event is packed on x86-64: its fields are copied out, never
    // bound to references (the id would sit at a misaligned address).
    const std::uint64_t id = events[i].data.u64;
    const std::uint32_t ready = events[i].events;
    if (id == kWakeId) {
      std::uint64_t value;
      [[maybe_unused]] ssize_t got = read(wake_fd.Get(), &value, sizeof value);
      continue;
    }
    std::shared_ptr<TReadyHandler> handler;
    {
      std::lock_guard lock(mutex);
      auto it = watchers.find(id);
      if (it == watchers.end() || it->second.events == 0) continue;
      handler = it->second.handler;
    }
    // The copy keeps the handler alive even if it unwatches its descriptor.
    (*handler)(ready);
  }
}

void QueueCore::SetTimer(HWND wnd, unsigned interval_ms, std::uintptr_t wparam) {
  std::lock_guard lock(mutex);
  if (!alive) return;
  auto it = std::find_if(timers.begin(), timers.end(),
                         [wnd](const QueueTimer& timer) { return timer.wnd == wnd; });
  if (interval_ms == 0) {
    if (it == timers.end()) return;
    *it = timers.back();
    timers.pop_back();
    return;
  }
  const Clock::duration interval = std::chrono::milliseconds(interval_ms);
  const QueueTimer timer{wnd, Clock::now() + interval, interval, wparam};
  if (it == timers.end()) {
    timers.push_back(timer);
  } else {
    *it = timer;
  }
  // An owner waiting elsewhere must work out its wait again.
  if (std::this_thread::get_id() != owner) {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(wake_fd.Get(), &one, sizeof one);
  }
}

int QueueCore::WaitLimit(int timeout_ms) {
  std::lock_guard lock(mutex);
  if (timeout_ms == 0 || timers.empty()) return timeout_ms;
  Clock::time_point next = Clock::time_point::max();
  for (const QueueTimer& timer : timers)
    next = std::min(next, timer.due);
  // Rounded up, so the wait never ends just before the timer is due.
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
  const int until_due = static_cast<int>(std::clamp<std::int64_t>(left, 0, INT32_MAX));
  return timeout_ms < 0 ? until_due : std::min(timeout_ms, until_due);
}

void QueueCore::PostDueTimers() {
  std::lock_guard lock(mutex);
  if (timers.empty()) return;
  const Clock::time_point now = Clock::now();
  for (QueueTimer& timer : timers) {
    if (timer.due > now) continue;
    items.push_back(QueueItem{TMessage{timer.wnd, WM_TIMER, timer.wparam, 0}, {}, ++last_seq});
    // The expiries missed meanwhile fold into this one message; the timer
    // keeps its rhythm.
    const auto missed = (now - timer.due) / timer.interval;
    timer.due += (missed + 1) * timer.interval;
  }
}

void QueueCore::Close() {
  Retire(nullptr);
}

void QueueCore::Retire(QueueCore* heir) {
  std::deque<QueueItem> dropped_items;
  std::unordered_map<std::uint64_t, Watcher> dropped_watchers;
  {
    std::lock_guard lock(mutex);
    if (!alive) return;
    alive = false;
    dropped_items.swap(items);
    dropped_watchers.swap(watchers);
    watch_ids.clear();
    timers.clear();
    if (heir != nullptr) {
      // A wake-up still counted in the eventfd only makes the heir look once more.
      for (const auto& [id, watcher] : dropped_watchers) {
        if (watcher.events != 0) epoll_ctl(epoll_fd.Get(), EPOLL_CTL_DEL, watcher.fd, nullptr);
      }
      heir->epoll_fd = std::move(epoll_fd);
      heir->wake_fd = std::move(wake_fd);
      heir->next_watch_id = next_watch_id;
    }
    wake_fd.Reset();
    epoll_fd.Reset();
  }
  // Tasks and handlers are destroyed outside the lock: what they capture may
  // post or unwatch on the way out.
}

void QueueCore::Watch(int fd, std::uint32_t events, TReadyHandler handler) {
  Watcher replaced;  // destroyed after the lock is released
  {
    std::lock_guard lock(mutex);
    if (!alive) return;
    // Watching a descriptor again replaces its handler and events.
    replaced = Detach(fd);
    const std::uint64_t id = next_watch_id++;
    if (events != 0) EpollControl(epoll_fd.Get(), EPOLL_CTL_ADD, fd, events, id);
    watchers[id] = Watcher{fd, events, std::make_shared<TReadyHandler>(std::move(handler))};
    watch_ids[fd] = id;
  }
}

void QueueCore::Modify(int fd, std::uint32_t events) {
  std::lock_guard lock(mutex);
  auto id = watch_ids.find(fd);
  if (!alive || id == watch_ids.end()) return;
  Watcher& watcher = watchers[id->second];
  if (events == 0) {
    // epoll reports errors and hang-ups even for an empty event set, so
    // switching off means leaving the epoll set.
    if (watcher.events != 0) epoll_ctl(epoll_fd.Get(), EPOLL_CTL_DEL, fd, nullptr);
  } else {
    EpollControl(epoll_fd.Get(), watcher.events == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, events,
                 id->second);
  }
  watcher.events = events;
}

void QueueCore::Unwatch(int fd) {
  Watcher removed;  // destroyed after the lock is released
  std::lock_guard lock(mutex);
  if (alive) removed = Detach(fd);
}

Watcher QueueCore::Detach(int fd) {
  auto id = watch_ids.find(fd);
  if (id == watch_ids.end()) return {};
  auto it = watchers.find(id->second);
  // The descriptor may already be closed; then the kernel dropped it.
  if (it->second.events != 0) epoll_ctl(epoll_fd.Get(), EPOLL_CTL_DEL, fd, nullptr);
  Watcher removed = std::move(it->second);
  watchers.erase(it);
  watch_ids.erase(id);
  return removed;
}

}  // namespace detail

using detail::QueueCore;
using detail::QueueItem;

namespace {

// Creates the main thread's queue during static initialisation, which runs on
// the thread that started the process.
[[maybe_unused]] TEventQueue& main_queue_at_start = TEventQueue::Main();

// The queue of the calling thread (other than the main thread), once made.
thread_local std::unique_ptr<TEventQueue> t_queue;

}  // namespace

TEventQueue::TEventQueue() : core_(std::make_shared<QueueCore>()) {}

TEventQueue::TEventQueue(TEventQueue& previous) {
  // The methods are destroyed when this constructor returns, outside the
  // registry lock, as in the destructor.
  const std::vector<std::shared_ptr<TWndMethod>> removed =
      detail::RemoveTargetsOf(previous.core_.get());
  core_ = std::make_shared<QueueCore>(*previous.core_);
}

TEventQueue::~TEventQueue() {
  // The methods are destroyed after the registry lock is released: what
  // they capture may itself post or deallocate.
  const std::vector<std::shared_ptr<TWndMethod>> removed = detail::RemoveTargetsOf(core_.get());
  core_->Close();
}

std::uint64_t TEventQueue::TargetsVisitedAtEnds() {
  return detail::Targets().visited_at_ends.load(std::memory_order_relaxed);
}

TEventQueue& TEventQueue::Main() {
  static TEventQueue* const main = new TEventQueue();
  return *main;
}

TEventQueue& TEventQueue::Current() {
  TEventQueue& main = Main();
  if (main.IsOwnerThread()) return main;
  if (!t_queue) t_queue.reset(new TEventQueue());
  return *t_queue;
}

void TEventQueue::RenewCurrent() {
  // The old queue's targets leave the registry as at the end of a thread;
  // its epoll set and eventfd pass to the new queue, so the next run of the
  // thread creates no descriptors.
  if (!t_queue) return;
  const std::unique_ptr<TEventQueue> previous = std::move(t_queue);
  t_queue.reset(new TEventQueue(*previous));
}

void TEventQueue::EndCurrent() {
  t_queue.reset();
}

bool TEventQueue::IsOwnerThread() const {
  return core_->owner == std::this_thread::get_id();
}

HWND TEventQueue::AllocateHWnd(TWndMethod method) {
  return detail::AddTarget(core_, std::move(method));
}

void TEventQueue::DeallocateHWnd(HWND wnd) {
  core_->SetTimer(wnd, 0, 0);
  detail::RemoveTarget(wnd, core_.get());
}

void TEventQueue::ReleaseTarget(HWND wnd, int fd) {
  std::shared_ptr<QueueCore> owner = detail::OwnerOf(wnd);
  if (!owner) return;  // the owning thread has ended and took its targets along
  if (fd >= 0) owner->Unwatch(fd);
  owner->SetTimer(wnd, 0, 0);
  detail::RemoveTarget(wnd, owner.get());
}

void TEventQueue::SetTimerFor(HWND wnd, unsigned interval_ms, std::uintptr_t wparam) {
  if (std::shared_ptr<QueueCore> owner = detail::OwnerOf(wnd))
    owner->SetTimer(wnd, interval_ms, wparam);
}

void TEventQueue::UnwatchFor(HWND wnd, int fd) {
  if (std::shared_ptr<QueueCore> owner = detail::OwnerOf(wnd)) owner->Unwatch(fd);
}

void TEventQueue::CheckOwnerThread([[maybe_unused]] HWND wnd, [[maybe_unused]] const char* what) {
#ifndef NDEBUG
  const std::shared_ptr<QueueCore> owner = detail::OwnerOf(wnd);
  if (owner && owner->owner != std::this_thread::get_id()) {
    const std::string text = std::string("korvi: ") + what +
                             " freed on a thread other than its own while that thread runs\n";
    [[maybe_unused]] ssize_t written = write(STDERR_FILENO, text.data(), text.size());
    std::abort();
  }
#endif
}

void TEventQueue::Watch(int fd, std::uint32_t events, TReadyHandler handler) {
  core_->Watch(fd, events, std::move(handler));
}

void TEventQueue::Modify(int fd, std::uint32_t events) {
  core_->Modify(fd, events);
}

void TEventQueue::Unwatch(int fd) {
  core_->Unwatch(fd);
}

void TEventQueue::PostTask(std::function<void()> task) {
  core_->Post(QueueItem{TMessage{}, std::move(task)});
}

void TEventQueue::PostQuitMessage() {
  core_->Post(QueueItem{TMessage{0, WM_QUIT, 0, 0}, {}});
}

bool TEventQueue::GetMessage(TMessage& msg) {
  return GetMessageFor(msg, -1);
}

bool TEventQueue::GetMessageFor(TMessage& msg, int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  // Without a time limit the clock is not read at all.
  const auto deadline = timeout_ms < 0 ? Clock::time_point::max()
                                       : Clock::now() + std::chrono::milliseconds(timeout_ms);
  bool polled = false;
  for (;;) {
    // Descriptors are looked at before every few messages, so a busy
    // stream of posted messages cannot starve them.
    if (!polled && core_->taken_since_look >= QueueCore::kMessagesPerLook && !core_->Empty())
      core_->Poll(0);
    if (core_->TakeMessage(msg)) return msg.Msg != WM_QUIT;
    int wait_ms = -1;
    if (timeout_ms >= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      // Time is up, but the descriptors get one look even with no time given.
      if (left <= 0 && polled) {
        msg = TMessage{};
        return false;
      }
      wait_ms = left <= 0 ? 0 : static_cast<int>(left);
    }
    core_->Poll(wait_ms);
    polled = true;
  }
}

bool TEventQueue::PeekMessage(TMessage& msg) {
  core_->Poll(0);
  return core_->TakeMessage(msg);
}

void TEventQueue::DispatchMessage(TMessage& msg) {
  if (msg.Wnd == 0) return;
  if (std::shared_ptr<TWndMethod> method = detail::MethodOf(msg.Wnd, core_.get())) (*method)(msg);
}

bool TEventQueue::ProcessMessages() {
  return ProcessQueued(nullptr);
}

bool TEventQueue::ProcessQueued(const std::function<bool(TMessage&)>& filter) {
  core_->Poll(0);
  // Only what is queued now: messages posted while these are dispatched wait
  // for the next call, so a target that re-posts to itself cannot trap us.
  const std::uint64_t up_to = core_->LastSeq();
  TMessage msg;
  while (core_->TakeMessage(msg, up_to)) {
    if (msg.Msg == WM_QUIT) {
      core_->PutBack(QueueItem{msg, {}, 0});
      return false;
    }
    if (!filter || !filter(msg)) DispatchMessage(msg);
  }
  return true;
}

bool PostMessage(HWND wnd, std::uint32_t msg, std::uintptr_t wparam, std::intptr_t lparam) {
  std::shared_ptr<QueueCore> queue = detail::OwnerOf(wnd);
  return queue && queue->Post(QueueItem{TMessage{wnd, msg, wparam, lparam}, {}});
}

}  // namespace korvi
