// Error texts and the translation of system errors onto socket error numbers.
#include "korvi/socket/socket_errors.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>
#include <thread>

namespace korvi {
namespace {

TEST(SocketErrorsTest, TextsOfKnownAndUnknownCodes) {
  EXPECT_EQ(KSocketErrorDesc(0), "No Error");
  EXPECT_EQ(KSocketErrorDesc(10061), "Connection refused");
  EXPECT_EQ(KSocketErrorDesc(10058), "Can't send after socket shutdown");
  EXPECT_EQ(KSocketErrorDesc(10059), "Too many references: can't splice");
  EXPECT_EQ(KSocketErrorDesc(11004), "No Data");
  EXPECT_EQ(KSocketErrorDesc(10072), "Not a WinSock error");
  EXPECT_EQ(KSocketErrorDesc(-1), "Not a WinSock error");
}

// Linux numbers its socket errors differently from the classic table, so
// each must be looked up rather than offset.
TEST(SocketErrorsTest, ErrnoValuesBecomeWinsockNumbers) {
  struct Case {
    int native;
    int winsock;
  };
  const Case cases[] = {
      {0, 0},
      {EINTR, 10004},
      {EACCES, 10013},
      {EINVAL, 10022},
      {EAGAIN, 10035},
      {EINPROGRESS, 10036},
      {ENOTSOCK, 10038},
      {EBADF, 10038},
      {EMSGSIZE, 10040},
      {EADDRINUSE, 10048},
      {EADDRNOTAVAIL, 10049},
      {ENETUNREACH, 10051},
      {ECONNABORTED, 10053},
      {EPROTO, 10053},
      {ENONET, 10050},
      {ECONNRESET, 10054},
      {EPIPE, 10054},
      {ENOBUFS, 10055},
      {ENOTCONN, 10057},
      {ETIMEDOUT, 10060},
      {ECONNREFUSED, 10061},
      {EHOSTUNREACH, 10065},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WinsockErrorFromErrno(c.native), c.winsock) << "errno " << c.native;
  }
}

TEST(SocketErrorsTest, ResolverResultsBecome1100x) {
  EXPECT_EQ(WinsockErrorFromResolver(0), 0);
  EXPECT_EQ(WinsockErrorFromResolver(HOST_NOT_FOUND), 11001);
  EXPECT_EQ(WinsockErrorFromResolver(TRY_AGAIN), 11002);
  EXPECT_EQ(WinsockErrorFromResolver(NO_RECOVERY), 11003);
  EXPECT_EQ(WinsockErrorFromResolver(NO_DATA), 11004);
}

// The last socket error belongs to the thread that set it.
TEST(SocketErrorsTest, LastErrorIsPerThread) {
  WSASetLastError(10061);
  int seen_elsewhere = -1;
  std::thread other([&] {
    seen_elsewhere = WSAGetLastError();
    errno = ECONNRESET;
    WSASetLastErrorFromErrno();
  });
  other.join();
  EXPECT_EQ(seen_elsewhere, 0);
  EXPECT_EQ(WSAGetLastError(), 10061);
}

}  // namespace
}  // namespace korvi
