// Pumping the calling thread's queue with a time limit.
#include "tests/support/pump.h"

#include <chrono>

#include "korvi/host/event_queue.h"

namespace korvi::test {

bool PumpUntil(const std::function<bool()>& done, int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  TEventQueue& queue = TEventQueue::Current();
  while (!done()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    TMessage msg;
    // A step of at most 5 ms keeps the condition checked promptly when work
    // happens on other threads without posting to this one.
    if (queue.GetMessageFor(msg, static_cast<int>(left < 5 ? left : 5))) {
      queue.DispatchMessage(msg);
    } else if (msg.Msg == WM_QUIT) {
      return done();
    }
  }
  return true;
}

}  // namespace korvi::test
