// Loopback helpers for the socket tests: a socket listening on 127.0.0.1
// at a port the system picked, accepting what waits there, and a connected
// pair of an adopted socket and a plain client.
#pragma once

#include "korvi/host/event_queue.h"
#include "korvi/socket/ksocket.h"
#include "tests/support/loopback_client.h"

namespace korvi::test {

// Makes `socket` listen on 127.0.0.1 at a port the system picks; returns the port.
int ListenOnLoopback(TCustomKSocket& socket);
// Pumps until `listener` reports a waiting connection, then accepts it;
// returns the handle (-1 when none came in time).
int AcceptWaiting(TCustomKSocket& listener);

// A connected pair: `socket` adopted from `listener`, `peer` the plain other
// end. The notification announcing the writable adopted connection has run.
template <typename Socket = TKSocket>
struct LoopbackConnection {
  TKSocket listener{nullptr};
  LoopbackClient peer{ListenOnLoopback(listener)};
  Socket socket{nullptr};
  LoopbackConnection() {
    socket.Dup(AcceptWaiting(listener));
    TEventQueue::Current().ProcessMessages();
  }
};

}  // namespace korvi::test
