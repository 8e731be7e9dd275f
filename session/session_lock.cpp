// CsAccess, built on first use and deliberately never destroyed, and the
// count of threads waiting for it.
#include "korvi/session/session_lock.h"

#include <atomic>
#include <cstdint>
#include <thread>

namespace korvi {

namespace {

// TSessionLocks waiting for CsAccess, and how many have taken it so far.
std::atomic<int> waiting{0};
std::atomic<std::uint64_t> served{0};

}  // namespace

std::recursive_mutex& CsAccess() {
  // A function-local static is initialised once, thread-safely, by the
  // first caller; allocating it keeps it alive through static destruction.
  static std::recursive_mutex* const lock = new std::recursive_mutex;
  return *lock;
}

TSessionLock::TSessionLock() {
  ++waiting;
  CsAccess().lock();
  ++served;
  --waiting;
}

TSessionLock::~TSessionLock() {
  CsAccess().unlock();
}

void LetSessionWaitersIn() {
  const std::uint64_t served_before = served.load();
  const int waiting_before = waiting.load();
  while (waiting.load() > 0 &&
         served.load() - served_before < static_cast<std::uint64_t>(waiting_before))
    std::this_thread::yield();
}

}  // namespace korvi
