// One bounded pass of the calling thread's message loop.
#include "korvi/socket/message_pump.h"

#include "korvi/host/application.h"
#include "korvi/host/event_queue.h"

namespace korvi {

TPumpResult PumpOwnQueueOnce(int timeout_ms) {
  TEventQueue& queue = TEventQueue::Current();
  TMessage msg;
  if (queue.GetMessageFor(msg, timeout_ms)) {
    queue.DispatchMessage(msg);
    return TPumpResult::Dispatched;
  }
  if (msg.Msg != WM_QUIT) return TPumpResult::TimedOut;
  queue.PostQuitMessage();
  return TPumpResult::Quit;
}

TPumpResult PumpApplicationOnce(int timeout_ms) {
  bool quit = false;
  if (Application().HandleMessageFor(timeout_ms, &quit)) return TPumpResult::Dispatched;
  return quit ? TPumpResult::Quit : TPumpResult::TimedOut;
}

}  // namespace korvi
