// TSSLKSocket: the TLS hooks, passing straight through to the plain socket.
#include "socket/ssl_ksocket.h"

namespace korvi {

bool TSSLKSocket::Startup() {
  return true;
}

bool TSSLKSocket::HandShake() {
  return true;
}

int TSSLKSocket::_WriteTo(int s, const void* buf, int len, int flags, const sockaddr_in& to,
                          int tolen) {
  return TKSocket::_WriteTo(s, buf, len, flags, to, tolen);
}

int TSSLKSocket::_Write(int s, const void* buf, int len, int flags) {
  return TKSocket::_Write(s, buf, len, flags);
}

int TSSLKSocket::_read(int s, void* buf, int len, int flags) {
  return TKSocket::_read(s, buf, len, flags);
}

}  // namespace korvi
