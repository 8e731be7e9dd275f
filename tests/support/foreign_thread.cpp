// Freeing an object off the thread that made it.
#include "tests/support/foreign_thread.h"

#include <atomic>
#include <future>
#include <thread>

#include "korvi/host/event_queue.h"

namespace korvi::test {

void DeleteOffItsThread(const std::function<TObject*()>& make) {
  std::promise<TObject*> made;
  std::atomic<bool> stop{false};
  std::thread owner([&] {
    made.set_value(make());
    TMessage msg;
    while (!stop)
      TEventQueue::Current().GetMessageFor(msg, 10);
  });
  delete made.get_future().get();
  stop = true;
  owner.join();
}

}  // namespace korvi::test
