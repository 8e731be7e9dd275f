// TSSLKSocket: the socket class the server and its worker threads create. It
// routes every system read and write and the connection start-up through
// overridable hooks where a TLS layer would sit; here each hook passes
// straight through, so it behaves exactly like a TKSocket.
#pragma once

#include "socket/ksocket.h"

namespace korvi {

class TSSLKSocket : public TKSocket {
 public:
  using TKSocket::TKSocket;

  // Connection start-up hooks: nothing to do without TLS; both return true.
  bool Startup() override;
  bool HandShake() override;

 protected:
  int _WriteTo(int s, const void* buf, int len, int flags, const sockaddr_in& to,
               int tolen) override;
  int _Write(int s, const void* buf, int len, int flags) override;
  int _read(int s, void* buf, int len, int flags) override;
};

}  // namespace korvi
