// TTimer: a timerfd watched by the queue of the creating thread. Each expiry
// posts WM_TIMER to the timer's own target, so OnTimer runs on that thread
// from its message loop, after the messages posted before it.
#include "host/timer.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/exceptions.h"

namespace korvi {

TTimer::TTimer(TComponent* owner)
    : TComponent(owner), fd_(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) {
  if (!fd_.Valid()) throw Exception(std::string("Cannot create timer: ") + std::strerror(errno));
  TEventQueue& queue = TEventQueue::Current();
  wnd_ = queue.AllocateHWnd([this](TMessage& msg) { WndProc(msg); });
  try {
    queue.Watch(fd_.Get(), EPOLLIN, [this](std::uint32_t) { Expired(); });
  } catch (...) {
    TEventQueue::ReleaseTarget(wnd_, fd_.Get());
    throw;
  }
  UpdateTimer();
}

TTimer::~TTimer() {
  TEventQueue::CheckOwnerThread(wnd_, "TTimer");
  TEventQueue::ReleaseTarget(wnd_, fd_.Get());
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

void TTimer::SetOnTimer(TNotifyEvent handler) {
  on_timer_ = std::move(handler);
  UpdateTimer();
}

void TTimer::UpdateTimer() {
  ++generation_;
  const unsigned interval = enabled_ && on_timer_ ? interval_ : 0;
  // A disarmed timerfd has no expiry pending: disarming it again changes nothing.
  if (interval == 0 && armed_ == 0) return;
  itimerspec timing{};
  timing.it_interval.tv_sec = interval / 1000;
  timing.it_interval.tv_nsec = static_cast<long>(interval % 1000) * 1000000L;
  timing.it_value = timing.it_interval;
  timerfd_settime(fd_.Get(), 0, &timing, nullptr);
  armed_ = interval;
}

void TTimer::Expired() {
  std::uint64_t expirations = 0;
  // Several expiries since the last look become one tick, as with a window timer.
  if (read(fd_.Get(), &expirations, sizeof expirations) != sizeof expirations) return;
  PostMessage(wnd_, WM_TIMER, generation_, 0);
}

void TTimer::WndProc(TMessage& msg) {
  if (msg.Msg != WM_TIMER || msg.WParam != generation_) return;
  if (!enabled_ || interval_ == 0 || !on_timer_) return;
  // A copy, so the handler may replace the event or free the timer.
  TNotifyEvent handler = on_timer_;
  handler(this);
}

}  // namespace korvi
