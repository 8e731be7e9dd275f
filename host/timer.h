/// \file
/// TTimer: a component that calls OnTimer every Interval milliseconds while
/// Enabled. Ticks come through the event queue of the thread that created the
/// timer, so OnTimer runs on that thread while it pumps its queue. Free it on
/// that thread, or after that thread ended (debug builds check this).
#pragma once

#include "korvi/host/component.h"
#include "korvi/host/event_queue.h"

namespace korvi {

/// A component that calls OnTimer every Interval milliseconds while enabled.
class TTimer : public TComponent {
 public:
  /// Creates the timer, enabled, 1000 ms, without OnTimer.
  explicit TTimer(TComponent* owner);
  ~TTimer() override;

  /// Milliseconds between ticks (default 1000; 0 stops the timer).
  ///@{
  unsigned Interval() const { return interval_; }
  void SetInterval(unsigned interval);
  ///@}
  /// The timer ticks while enabled, Interval > 0 and OnTimer is set (default true).
  ///@{
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  ///@}
  /// Enables the timer with `interval` and starts it afresh: its next tick
  /// comes `interval` milliseconds from now, as after disabling and enabling
  /// it again, but with one change of the queue's timer instead of two.
  void Restart(unsigned interval);
  /// The handler called on each tick.
  const TNotifyEvent& OnTimer() const { return on_timer_; }
  /// Sets the handler called on each tick.
  void SetOnTimer(TNotifyEvent handler);

 private:
  /// Starts the queue's timer for this one when it should tick, stops it otherwise.
  void UpdateTimer();
  /// The own target's method: runs OnTimer for a current WM_TIMER.
  void WndProc(TMessage& msg);
  unsigned interval_ = 1000;
  bool enabled_ = true;
  TNotifyEvent on_timer_;
  unsigned armed_ = 0;  ///< the interval the queue's timer ticks at (0: stopped)
  HWND wnd_ = 0;
  /// Bumped on every re-arm; WM_TIMERs posted before it are stale and ignored.
  std::uintptr_t generation_ = 0;
};

}  // namespace korvi
