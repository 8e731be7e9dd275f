// Bounded waiting for tests: pump the calling thread's event queue until a
// condition holds or a time limit passes. Never sleeps blindly.
#pragma once

#include <functional>

namespace korvi::test {

// Dispatches the calling thread's messages until `done()` is true; returns
// false when `timeout_ms` passed first.
bool PumpUntil(const std::function<bool()>& done, int timeout_ms = 5000);

}  // namespace korvi::test
