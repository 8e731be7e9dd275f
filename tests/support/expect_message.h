// ExpectThrowMessage: checks that a call raises a given exception type with
// an exact message text.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace korvi::test {

// Runs `call` and records a failure unless it raises `E` whose Message() is `message`.
template <typename E, typename Call>
void ExpectThrowMessage(Call&& call, const std::string& message) {
  try {
    call();
    ADD_FAILURE() << "no exception; expected \"" << message << "\"";
  } catch (const E& e) {
    EXPECT_EQ(e.Message(), message);
  }
}

}  // namespace korvi::test
