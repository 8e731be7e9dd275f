/// \file
/// Socket error codes and texts.
///
/// Every error the socket layer reports carries a Windows Sockets error number
/// (10000 + the classic error number, 11001 to 11004 for resolver results).
/// System errno values and resolver results are translated onto these numbers
/// here, in one table, before they reach LastError, an event or a message.
/// The "last socket error" is kept per thread, like the system's errno.
#pragma once

#include <string>

#include "korvi/host/exceptions.h"

namespace korvi {

/// The exception every failure of the socket layer raises.
class ESocketException : public Exception {
 public:
  using Exception::Exception;
};

///@{
/// Windows Sockets error numbers used by the socket layer.
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;
///@}

/// The text for a socket error code ("Connection refused" for 10061,
/// "Not a WinSock error" for codes outside the table).
std::string KSocketErrorDesc(int code);

/// The socket error number for a system errno value (0 for 0; codes without a
/// Windows Sockets counterpart become 10000 + errno).
int WinsockErrorFromErrno(int errno_value);
/// The socket error number for a resolver result (h_errno of the host lookup
/// functions; 0 for 0): 11001 host not found, 11002 try again, 11003
/// non-recoverable, 11004 no address.
int WinsockErrorFromResolver(int h_errno_value);

/// The calling thread's last socket error.
int WSAGetLastError();
/// Sets the calling thread's last socket error.
void WSASetLastError(int code);
/// Sets the calling thread's last socket error from the current errno; returns it.
int WSASetLastErrorFromErrno();

}  // namespace korvi
