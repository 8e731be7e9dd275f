/// \file
/// Refusing an accepted connection before any worker serves it.
#pragma once

#include <string>

namespace korvi {

/// The dotted address of the client of the connection `handle` ("" when the
/// system cannot tell).
std::string ClientAddressOf(int handle);

/// Ends the accepted connection `handle` at once, from the accepting thread.
/// With `send_page` (plain connections) the client gets the 503 page first,
/// as far as the connection takes it without waiting. The request bytes
/// that already arrived are dropped, so that the connection ends with an
/// orderly close rather than a reset that could cut the page. Closes `handle`.
void RefuseConnection(int handle, bool send_page);

}  // namespace korvi
