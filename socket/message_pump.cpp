// One bounded pass of the calling thread's message loop.
#include "socket/message_pump.h"

#include "host/application.h"
#include "host/event_queue.h"

namespace korvi {
namespace {

TPumpResult PumpOnce(int timeout_ms, bool through_application) {
  TEventQueue& queue = TEventQueue::Current();
  TMessage msg;
  if (!queue.GetMessageFor(msg, timeout_ms)) {
    if (msg.Msg != WM_QUIT) return TPumpResult::TimedOut;
    queue.PostQuitMessage();
    return TPumpResult::Quit;
  }
  bool handled = false;
  TApplication& app = Application();
  if (through_application && app.OnMessage && TEventQueue::Main().IsOwnerThread()) {
    app.OnMessage(msg, handled);
  }
  if (!handled) queue.DispatchMessage(msg);
  return TPumpResult::Dispatched;
}

}  // namespace

TPumpResult PumpOwnQueueOnce(int timeout_ms) {
  return PumpOnce(timeout_ms, false);
}

TPumpResult PumpApplicationOnce(int timeout_ms) {
  return PumpOnce(timeout_ms, true);
}

}  // namespace korvi
