// TTimer: a component that calls OnTimer every Interval milliseconds while
// Enabled. Ticks come through the event queue of the thread that created the
// timer, so OnTimer runs on that thread while it pumps its queue. Free it on
// that thread, or after that thread ended (debug builds check this).
#pragma once

#include "host/component.h"
#include "host/event_queue.h"
#include "host/file_descriptor.h"

namespace korvi {

class TTimer : public TComponent {
 public:
  explicit TTimer(TComponent* owner);
  ~TTimer() override;

  // Milliseconds between ticks (default 1000; 0 stops the timer).
  unsigned Interval() const { return interval_; }
  void SetInterval(unsigned interval);
  // The timer ticks while enabled, Interval > 0 and OnTimer is set (default true).
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  const TNotifyEvent& OnTimer() const { return on_timer_; }
  void SetOnTimer(TNotifyEvent handler);

 private:
  // Arms the timerfd when the timer should tick, disarms it otherwise.
  void UpdateTimer();
  // The timerfd is readable: posts one WM_TIMER to the own target.
  void Expired();
  // The own target's method: runs OnTimer for a current WM_TIMER.
  void WndProc(TMessage& msg);
  unsigned interval_ = 1000;
  bool enabled_ = true;
  TNotifyEvent on_timer_;
  TFileDescriptor fd_;  // timerfd, watched by the creating thread's queue
  unsigned armed_ = 0;  // the interval the timerfd ticks at (0: disarmed)
  HWND wnd_ = 0;
  // Bumped on every re-arm; WM_TIMERs posted before it are stale and ignored.
  std::uintptr_t generation_ = 0;
};

}  // namespace korvi
