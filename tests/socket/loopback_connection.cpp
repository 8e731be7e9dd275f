// Listening and accepting on loopback for the socket tests.
#include "tests/socket/loopback_connection.h"

#include <stdexcept>
#include <string>

#include "tests/support/pump.h"

namespace korvi::test {

int ListenOnLoopback(TCustomKSocket& socket) {
  socket.SetAddr("127.0.0.1");
  socket.SetPort("0");
  if (socket.Listen() != 0) throw std::runtime_error("listen failed");
  return std::stoi(socket.GetXPort());
}

int AcceptWaiting(TCustomKSocket& listener) {
  bool waiting = false;
  auto saved = listener.OnSessionAvailable;
  listener.OnSessionAvailable = [&waiting](TObject*, std::uint16_t) { waiting = true; };
  const bool arrived = PumpUntil([&] { return waiting; });
  listener.OnSessionAvailable = saved;
  return arrived ? listener.Accept() : -1;
}

}  // namespace korvi::test
