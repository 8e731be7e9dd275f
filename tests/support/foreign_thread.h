// DeleteOffItsThread: frees an object on a thread other than the one that
// made it while that thread still runs its queue, for the tests of the
// owner-thread check.
#pragma once

#include <functional>

#include "korvi/host/object.h"

namespace korvi::test {

// Makes an object with `make` on a new thread that then keeps pumping its
// queue, deletes the object on the calling thread while that thread runs,
// and ends the thread.
void DeleteOffItsThread(const std::function<TObject*()>& make);

}  // namespace korvi::test
