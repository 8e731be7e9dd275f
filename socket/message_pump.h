// Bounded pumping of the calling thread's event queue for the blocking
// socket operations and the wait control's modal loop.
//
// Both forms wait for at most one message, so a waiting thread sleeps
// instead of spinning. A quit request (WM_QUIT) is never swallowed: it is
// put back for the loop that owns it and reported, and the waiting
// operation then gives up.
#pragma once

namespace korvi {

enum class TPumpResult {
  Dispatched,  // a message was dispatched (or swallowed by the hook)
  TimedOut,    // nothing arrived in time
  Quit         // a quit request is waiting for the owning loop
};

// Waits up to `timeout_ms` (-1: no limit) for one message of the calling
// thread's queue and dispatches it.
TPumpResult PumpOwnQueueOnce(int timeout_ms);
// The same through the application's message processing: on the main thread
// the application's OnMessage hook sees the message first and may swallow it.
TPumpResult PumpApplicationOnce(int timeout_ms);

}  // namespace korvi
