// DnsLookup: dotted addresses at once, names on a resolver thread with the
// completion on the socket's own thread, cancellation.
#include "korvi/socket/ksocket.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "tests/support/expect_message.h"
#include "tests/support/pump.h"

namespace korvi {
namespace {

using test::ExpectThrowMessage;
using test::PumpUntil;

struct LookupLog {
  std::vector<int> codes;
  std::vector<std::thread::id> threads;
  void Attach(TCustomKSocket& socket) {
    socket.OnDnsLookupDone = [this](TObject*, std::uint16_t error) {
      codes.push_back(error);
      threads.push_back(std::this_thread::get_id());
    };
  }
};

TEST(KSocketLookupTest, DottedAddressCompletesInsideTheCall) {
  TKSocket socket(nullptr);
  LookupLog log;
  log.Attach(socket);
  socket.DnsLookup("10.0.0.1");
  EXPECT_EQ(log.codes, std::vector<int>{0});
  EXPECT_EQ(socket.DnsResult(), "10.0.0.1");
  EXPECT_EQ(socket.DnsResultList().Count(), 0);
}

TEST(KSocketLookupTest, EmptyNameIsReportedThenCompletedWith10022) {
  TKSocket socket(nullptr);
  LookupLog log;
  log.Attach(socket);
  ExpectThrowMessage<ESocketException>([&] { socket.DnsLookup(""); },
                                       "DNS lookup: invalid host name.");
  EXPECT_TRUE(log.codes.empty());
  std::vector<std::string> order;
  socket.OnError = [&](TObject*) { order.push_back("error"); };
  socket.OnDnsLookupDone = [&](TObject*, std::uint16_t error) {
    order.push_back("done " + std::to_string(error));
  };
  socket.DnsLookup("");
  EXPECT_EQ(order, (std::vector<std::string>{"error", "done 10022"}));
}

// A name resolves on another thread; the result arrives on the socket's thread.
TEST(KSocketLookupTest, NameCompletesOnTheOwningThread) {
  TKSocket socket(nullptr);
  LookupLog log;
  log.Attach(socket);
  socket.DnsLookup("localhost");
  EXPECT_TRUE(log.codes.empty());
  ASSERT_TRUE(PumpUntil([&] { return !log.codes.empty(); }));
  EXPECT_EQ(log.codes, std::vector<int>{0});
  EXPECT_EQ(log.threads.front(), std::this_thread::get_id());
  EXPECT_EQ(socket.DnsResult(), "127.0.0.1");
  ASSERT_GE(socket.DnsResultList().Count(), 1);
  EXPECT_EQ(socket.DnsResultList()[0], "127.0.0.1");
}

TEST(KSocketLookupTest, UnknownNameCompletesWithResolverError) {
  TKSocket socket(nullptr);
  LookupLog log;
  log.Attach(socket);
  socket.DnsLookup("no-such-host.invalid");
  ASSERT_TRUE(PumpUntil([&] { return !log.codes.empty(); }, 20000));
  EXPECT_GE(log.codes.front(), 11001);
  EXPECT_LE(log.codes.front(), 11004);
  EXPECT_EQ(socket.DnsResult(), "");
}

// Cancelling reports 10004 at once, and the late completion is dropped.
TEST(KSocketLookupTest, CancelReports10004AndDropsTheResult) {
  TKSocket socket(nullptr);
  LookupLog log;
  log.Attach(socket);
  socket.DnsLookup("localhost");
  socket.CancelDnsLookup();
  EXPECT_EQ(log.codes, std::vector<int>{10004});
  socket.CancelDnsLookup();
  EXPECT_EQ(log.codes.size(), 1u);
  // A second lookup replaces nothing and completes normally; the first one's
  // completion, arriving in between or after, is ignored.
  socket.DnsLookup("localhost");
  ASSERT_TRUE(PumpUntil([&] { return log.codes.size() == 2; }));
  EXPECT_EQ(log.codes.back(), 0);
  EXPECT_EQ(socket.DnsResult(), "127.0.0.1");
}

// A new lookup replaces a pending one without an event for the old one.
TEST(KSocketLookupTest, NewLookupReplacesThePendingOneSilently) {
  TKSocket socket(nullptr);
  LookupLog log;
  log.Attach(socket);
  socket.DnsLookup("localhost");
  socket.DnsLookup("127.0.0.2");
  EXPECT_EQ(log.codes, std::vector<int>{0});
  EXPECT_EQ(socket.DnsResult(), "127.0.0.2");
  socket.DnsLookup("localhost");
  ASSERT_TRUE(PumpUntil([&] { return log.codes.size() == 2; }));
}

// Destroying a socket while its lookup runs fires no event and leaves the
// resolver posting into nothing.
TEST(KSocketLookupTest, DestroyWhileLookingUpIsSafe) {
  int events = 0;
  {
    TKSocket socket(nullptr);
    socket.OnDnsLookupDone = [&](TObject*, std::uint16_t) { ++events; };
    socket.DnsLookup("localhost");
  }
  EXPECT_EQ(events, 0);
  TKSocket other(nullptr);
  bool done = false;
  other.OnDnsLookupDone = [&](TObject*, std::uint16_t) { done = true; };
  other.DnsLookup("localhost");
  ASSERT_TRUE(PumpUntil([&] { return done; }));
  EXPECT_EQ(events, 0);
}

}  // namespace
}  // namespace korvi
