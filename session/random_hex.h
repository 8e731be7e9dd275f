/// \file
/// Random text for session IDs and form tokens, from the system's random
/// source.
#pragma once

#include <cstddef>
#include <string>

namespace korvi {

/// `count` random bytes written as 2 * `count` upper-case hexadecimal
/// characters. Raises Exception when the system cannot give random bytes.
std::string RandomHex(std::size_t count);

}  // namespace korvi
