/// \file
/// CsAccess: the one lock of the process that every session store and every
/// session holds while it reads or changes its state.
#pragma once

#include <mutex>

namespace korvi {

/// The process-wide session lock. It is recursive, so application code may
/// hold it around several session calls (a read followed by a write) to make
/// them one step. It is made on first use, from whichever thread comes first,
/// and never destroyed, so stores and sessions freed while the program exits
/// can still take it.
std::recursive_mutex& CsAccess();

/// Holds CsAccess for its lifetime. While it waits for the lock it counts as
/// a waiter, so a long walk that lets go of the lock between its steps (the
/// expiry scan) can let it in first: a mutex lets the thread that just
/// released it take it straight back, ahead of threads still waking up.
class TSessionLock {
 public:
  TSessionLock();
  ~TSessionLock();
  TSessionLock(const TSessionLock&) = delete;
  TSessionLock& operator=(const TSessionLock&) = delete;
};

/// Returns once every TSessionLock that was waiting when it was called has
/// had CsAccess (at once when none was). Call it without holding CsAccess.
void LetSessionWaitersIn();

}  // namespace korvi
