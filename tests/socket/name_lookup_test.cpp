// Host texts to addresses, blocking lookups and the process-wide socket count.
#include "korvi/socket/name_lookup.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "korvi/socket/ksocket.h"
#include "tests/support/expect_message.h"
#include "tests/support/string_lines.h"

namespace korvi {
namespace {

TEST(NameLookupTest, DottedTextsParseAndPrintBack) {
  std::uint32_t addr = 0;
  ASSERT_TRUE(ParseDottedAddress("10.0.0.1", addr));
  EXPECT_EQ(addr, htonl(0x0A000001));
  EXPECT_EQ(DottedAddress(addr), "10.0.0.1");
  ASSERT_TRUE(ParseDottedAddress("127.1", addr));
  EXPECT_EQ(DottedAddress(addr), "127.0.0.1");
  EXPECT_FALSE(ParseDottedAddress("localhost", addr));
  EXPECT_FALSE(ParseDottedAddress("1.2.3.256", addr));
  EXPECT_FALSE(ParseDottedAddress("", addr));
}

TEST(NameLookupTest, ResolveHostTakesDottedBroadcastAndNames) {
  EXPECT_EQ(KSocketResolveHost("  192.168.1.2 "), htonl(0xC0A80102));
  EXPECT_EQ(KSocketResolveHost("255.255.255.255"), 0xFFFFFFFFu);
  EXPECT_EQ(KSocketResolveHost("localhost"), htonl(INADDR_LOOPBACK));
}

TEST(NameLookupTest, UnresolvableHostRaisesWithTheUntrimmedText) {
  test::ExpectThrowMessage<ESocketException>(
      [] { KSocketResolveHost(" no-such-host.invalid"); },
      "SetAddr: Cannot convert host address ' no-such-host.invalid'");
  const std::string too_long(300, 'a');
  test::ExpectThrowMessage<ESocketException>(
      [&] { KSocketResolveHost(too_long); },
      "SetAddr: Cannot convert host address '" + too_long + "'");
}

TEST(NameLookupTest, BlockingLookupsOfLocalNames) {
  const auto forward = KSocketGetHostByName("localhost");
  ASSERT_TRUE(forward.has_value());
  ASSERT_FALSE(forward->Addresses.empty());
  EXPECT_EQ(forward->Addresses.front(), htonl(INADDR_LOOPBACK));
  int error = 0;
  EXPECT_FALSE(KSocketGetHostByName("no-such-host.invalid", error).has_value());
  EXPECT_GE(error, 11001);
  EXPECT_LE(error, 11004);
  EXPECT_FALSE(KSocketGetHostByAddr("not dotted").has_value());
  EXPECT_FALSE(LocalHostName().empty());
  TStringList& ips = LocalIPList();
  EXPECT_EQ(&ips, &LocalIPList());
}

// Threads asking for the local addresses at the same time each fill and
// read a list of their own, with the same addresses the main thread gets.
TEST(NameLookupTest, LocalIPListIsSafeFromAnyThread) {
  const test::LineVector expected = test::Lines(LocalIPList());
  constexpr int kThreads = 4;
  std::vector<const TStringList*> lists(kThreads);
  std::vector<test::LineVector> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i)
        seen[t] = test::Lines(LocalIPList());
      lists[t] = &LocalIPList();
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(seen[t], expected);
    EXPECT_NE(lists[t], &LocalIPList());
  }
}

// Sockets come and go on several threads at once; the count and the
// library state stay consistent.
TEST(NameLookupTest, SocketCountIsSafeAcrossThreads) {
  const int before = SocketCount();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 50; ++i) {
        TKSocket socket(nullptr);
        EXPECT_TRUE(WinsockStarted());
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(SocketCount(), before);
  {
    TKSocket socket(nullptr);
    EXPECT_EQ(SocketCount(), before + 1);
    EXPECT_TRUE(WinsockStarted());
  }
  if (before == 0) {
    EXPECT_FALSE(WinsockStarted());
  }
  EXPECT_EQ(WinsockInfo().wVersion, 0x0101);
}

}  // namespace
}  // namespace korvi
