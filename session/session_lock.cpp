// CsAccess: built on first use and deliberately never destroyed.
#include "korvi/session/session_lock.h"

namespace korvi {

std::recursive_mutex& CsAccess() {
  // A function-local static is initialised once, thread-safely, by the
  // first caller; allocating it keeps it alive through static destruction.
  static std::recursive_mutex* const lock = new std::recursive_mutex;
  return *lock;
}

}  // namespace korvi
