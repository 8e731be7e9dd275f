/// \file
/// TEventQueue: the per-thread event queue that stands in for a thread's
/// window messages.
///
/// Every thread that uses one gets its own queue (epoll for descriptors, an
/// eventfd that wakes it for posted messages, and timers that bound its
/// wait). Message targets ("windows", identified by an HWND) belong to the
/// queue of the thread that allocated them; any thread may post to an HWND,
/// and the message is dispatched to the target's method on the owning
/// thread, in posting order. Posting to an HWND that no longer exists fails
/// quietly (PostMessage returns false).
///
/// Objects that own a target and watched descriptors (timers, sockets) must
/// be freed on the owning thread, or after it ended: while it runs, it may be
/// running their handlers. Debug builds check this (CheckOwnerThread).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace korvi {

namespace detail {
struct QueueCore;
}  // namespace detail

using HWND = std::uint64_t;  ///< 0 = none

/// A message of an event queue, as posted to a target.
struct TMessage {
  /// The target (0: the queue itself).
  HWND Wnd = 0;
  /// The message number (WM_...).
  std::uint32_t Msg = 0;
  /// The first parameter.
  std::uintptr_t WParam = 0;
  /// The second parameter.
  std::intptr_t LParam = 0;
};

/// Message numbers, as in Windows.
///@{
constexpr std::uint32_t WM_NULL = 0x0000;
constexpr std::uint32_t WM_QUIT = 0x0012;
constexpr std::uint32_t WM_KEYDOWN = 0x0100;
constexpr std::uint32_t WM_KEYUP = 0x0101;
constexpr std::uint32_t WM_CHAR = 0x0102;
constexpr std::uint32_t WM_TIMER = 0x0113;
constexpr std::uint32_t WM_MOUSEMOVE = 0x0200;
constexpr std::uint32_t WM_LBUTTONDOWN = 0x0201;
constexpr std::uint32_t WM_LBUTTONUP = 0x0202;
constexpr std::uint32_t WM_RBUTTONDOWN = 0x0204;
constexpr std::uint32_t WM_RBUTTONUP = 0x0205;
constexpr std::uint32_t WM_USER = 0x0400;
///@}

/// The method a target's messages are dispatched to.
using TWndMethod = std::function<void(TMessage& msg)>;
/// Called on the owning thread when a watched descriptor is ready; `events`
/// holds the epoll bits (EPOLLIN, EPOLLOUT, EPOLLERR, EPOLLHUP, EPOLLRDHUP).
using TReadyHandler = std::function<void(std::uint32_t events)>;

/// A thread's event queue: message targets, timers, posted messages and watched descriptors.
class TEventQueue {
 public:
  /// The calling thread's queue, created on first use and destroyed when the
  /// thread ends (its targets are then gone).
  static TEventQueue& Current();
  /// The queue of the process's main thread.
  static TEventQueue& Main();
  /// Gives a thread that is about to run something new (a parked worker
  /// thread taking its next job) a fresh queue, as if it had ended and
  /// started again: the old queue's targets, watched descriptors, timers and
  /// queued messages are gone, and posts to them fail. The new queue keeps
  /// the old one's epoll set and eventfd, emptied. Not for the main thread.
  static void RenewCurrent();
  /// Ends the calling thread's queue as if the thread had ended (its targets,
  /// messages and descriptors go); the next Current() makes a new one. Not
  /// for the main thread.
  static void EndCurrent();

  TEventQueue(const TEventQueue&) = delete;
  TEventQueue& operator=(const TEventQueue&) = delete;
  ~TEventQueue();

  /// Creates a message target on this queue (call on the owning thread).
  HWND AllocateHWnd(TWndMethod method);
  /// Removes a target and its timer; messages still queued for it are dropped.
  void DeallocateHWnd(HWND wnd);

  /// Watches a descriptor for `events` (epoll bits; level-triggered unless
  /// EPOLLET/EPOLLONESHOT are given). Call on the owning thread.
  void Watch(int fd, std::uint32_t events, TReadyHandler handler);
  /// Changes the events of a watched descriptor (0 switches it off).
  void Modify(int fd, std::uint32_t events);
  /// Stops watching a descriptor (before it is closed).
  void Unwatch(int fd);

  /// Runs `task` on this queue's thread, in order with posted messages.
  /// Any thread may call it.
  void PostTask(std::function<void()> task);

  /// Waits for the next message, running ready-descriptor handlers and tasks
  /// while it waits. Returns false when the message is WM_QUIT.
  bool GetMessage(TMessage& msg);
  /// Like GetMessage but gives up after `timeout_ms` (returns false and sets
  /// msg.Msg to WM_NULL on time-out).
  bool GetMessageFor(TMessage& msg, int timeout_ms);
  /// Takes the next message without waiting (descriptors are polled once).
  /// Returns false when nothing is queued.
  bool PeekMessage(TMessage& msg);
  /// Calls the target's method for `msg` (nothing when the target is gone).
  void DispatchMessage(TMessage& msg);
  /// Dispatches everything already queued. A WM_QUIT found here is put back
  /// so that the loop that owns it still sees it; returns false then.
  bool ProcessMessages();
  /// Queues WM_QUIT for this queue's loop.
  void PostQuitMessage();

  /// The thread this queue belongs to is the calling thread.
  bool IsOwnerThread() const;

  /// Stops watching `fd` (-1: none) and removes `wnd` and its timer, on the
  /// queue that owns `wnd`. Call on that queue's thread; once that thread has
  /// ended it does nothing (its queue took its targets and descriptors along).
  static void ReleaseTarget(HWND wnd, int fd);
  /// Starts, restarts or (with `interval_ms` 0) stops the timer of `wnd` on
  /// the queue that owns it: every `interval_ms` milliseconds from now that
  /// queue posts WM_TIMER with `wparam` to `wnd`, one message however many
  /// expiries passed since it last looked. No descriptor is involved: the
  /// queue's wait ends when the next timer is due. Nothing once that queue's
  /// thread has ended.
  static void SetTimerFor(HWND wnd, unsigned interval_ms, std::uintptr_t wparam);
  /// Stops watching `fd` on the queue that owns `wnd`; nothing once that
  /// queue's thread has ended.
  static void UnwatchFor(HWND wnd, int fd);
  /// Debug builds stop the process with a message naming `what` when the
  /// queue that owns `wnd` belongs to another thread that still runs: `what`
  /// is being freed there while that thread may be running its handlers.
  static void CheckOwnerThread(HWND wnd, const char* what);
  /// How many registry entries the ends of queues have looked at since the
  /// process started: each end looks at its own queue's targets only, so it
  /// costs the same however many targets other threads hold.
  static std::uint64_t TargetsVisitedAtEnds();

 private:
  friend class TApplication;
  TEventQueue();
  /// A queue for the calling thread in place of `previous`, whose targets it
  /// removes and whose descriptors it takes over.
  explicit TEventQueue(TEventQueue& previous);
  /// Dispatches what is queued now; `filter` sees each message first and
  /// returning true swallows it. Returns false when it met (and put back) WM_QUIT.
  bool ProcessQueued(const std::function<bool(TMessage&)>& filter);
  /// Shared with the HWND registry, so posters never touch a dead queue.
  std::shared_ptr<detail::QueueCore> core_;
};

/// Posts a message to `wnd` from any thread; false when the target is gone.
bool PostMessage(HWND wnd, std::uint32_t msg, std::uintptr_t wparam, std::intptr_t lparam);

}  // namespace korvi
