// TTimer: a timer of the creating thread's event queue. Each expiry posts
// WM_TIMER to the timer's own target, so OnTimer runs on that thread from
// its message loop, after the messages posted before it.
#include "korvi/host/timer.h"

namespace korvi {

TTimer::TTimer(TComponent* owner) : TComponent(owner) {
  wnd_ = TEventQueue::Current().AllocateHWnd([this](TMessage& msg) { WndProc(msg); });
  UpdateTimer();
}

TTimer::~TTimer() {
  TEventQueue::CheckOwnerThread(wnd_, "TTimer");
  TEventQueue::ReleaseTarget(wnd_, -1);
}

void TTimer::SetInterval(unsigned interval) {
  if (interval == interval_) return;
  interval_ = interval;
  UpdateTimer();
}

void TTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  UpdateTimer();
}

void TTimer::Restart(unsigned interval) {
  interval_ = interval;
  enabled_ = true;
  UpdateTimer();
}

void TTimer::SetOnTimer(TNotifyEvent handler) {
  on_timer_ = std::move(handler);
  UpdateTimer();
}

void TTimer::UpdateTimer() {
  ++generation_;
  const unsigned interval = enabled_ && on_timer_ ? interval_ : 0;
  // A stopped timer has no expiry pending: stopping it again changes nothing.
  if (interval == 0 && armed_ == 0) return;
  TEventQueue::SetTimerFor(wnd_, interval, generation_);
  armed_ = interval;
}

void TTimer::WndProc(TMessage& msg) {
  if (msg.Msg != WM_TIMER || msg.WParam != generation_) return;
  if (!enabled_ || interval_ == 0 || !on_timer_) return;
  // A copy, so the handler may replace the event or free the timer.
  TNotifyEvent handler = on_timer_;
  handler(this);
}

}  // namespace korvi
