// TKSocket core over real loopback sockets: address properties, listen,
// accept and Dup, connect, close sequences and the error path.
#include "korvi/socket/ksocket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "korvi/host/event_queue.h"
#include "korvi/socket/name_lookup.h"
#include "korvi/socket/ssl_ksocket.h"
#include "tests/socket/loopback_connection.h"
#include "tests/support/expect_message.h"
#include "tests/support/foreign_thread.h"
#include "tests/support/pump.h"

namespace korvi {
namespace {

using test::AcceptWaiting;
using test::ExpectThrowMessage;
using test::ListenOnLoopback;
using test::LoopbackClient;
using test::PumpUntil;

// Opens the parsed fields to the tests.
class ProbeSocket : public TKSocket {
 public:
  using TCustomKSocket::PortAssigned;
  using TCustomKSocket::PortNumber;
  using TCustomKSocket::ProtocolNumber;
  using TCustomKSocket::SocketType;
  using TKSocket::TKSocket;
};

// Records the events of a socket as short texts, in order.
struct EventLog {
  std::vector<std::string> lines;
  void Attach(TCustomKSocket& socket) {
    socket.OnChangeState = [this](TObject*, TSocketState, TSocketState to) {
      lines.push_back("state " + std::to_string(to));
    };
    socket.OnSessionConnected = [this](TObject*, std::uint16_t error) {
      lines.push_back("connected " + std::to_string(error));
    };
    socket.OnSessionClosed = [this](TObject*, std::uint16_t error) {
      lines.push_back("closed " + std::to_string(error));
    };
  }
};

TEST(KSocketTest, PortTextsParseDigitsServicesAndLowBits) {
  ProbeSocket socket(nullptr);
  socket.SetPort("80");
  EXPECT_EQ(socket.PortNumber, 80);
  socket.SetPort("8080abc");
  EXPECT_EQ(socket.PortNumber, 8080);
  socket.SetPort("65616");  // 65536 + 80
  EXPECT_EQ(socket.PortNumber, 80);
  socket.SetPort("http");
  EXPECT_EQ(socket.PortNumber, 80);
  EXPECT_EQ(socket.GetPort(), "http");
  socket.SetPort("  ");
  EXPECT_FALSE(socket.PortAssigned);
}

TEST(KSocketTest, UnknownServiceReportsAndUnassigns) {
  ProbeSocket socket(nullptr);
  ExpectThrowMessage<ESocketException>(
      [&] { socket.SetPort("no-such-service"); },
      "Error 11004 in function SetPort: Cannot convert port 'no-such-service'\r\nNo Data");
  EXPECT_FALSE(socket.PortAssigned);
}

TEST(KSocketTest, ProtocolTextsChooseTheSocketType) {
  ProbeSocket socket(nullptr);
  EXPECT_EQ(socket.GetProto(), "tcp");
  socket.SetProto("udp");
  EXPECT_EQ(socket.ProtocolNumber, 17);
  EXPECT_EQ(socket.SocketType, 2);
  socket.SetProto("not found");
  EXPECT_EQ(socket.ProtocolNumber, 17);
  socket.SetProto("6");
  EXPECT_EQ(socket.SocketType, 1);
  socket.SetProto("17");
  EXPECT_EQ(socket.SocketType, 2);
  ExpectThrowMessage<ESocketException>(
      [&] { socket.SetProto("nonsense"); },
      "Error 11004 in function SetProto: Cannot convert protocol 'nonsense'\r\nNo Data");
}

// While listening the setters refuse, but the new text is stored all the same.
TEST(KSocketTest, SettersRefuseChangesUnlessClosed) {
  TKSocket socket(nullptr);
  ListenOnLoopback(socket);
  ASSERT_EQ(socket.State(), wsListening);
  ExpectThrowMessage<ESocketException>([&] { socket.SetAddr("10.0.0.1"); },
                                       "Cannot change Addr if not closed");
  EXPECT_EQ(socket.GetAddr(), "10.0.0.1");
  ExpectThrowMessage<ESocketException>([&] { socket.SetPort("81"); },
                                       "Cannot change Port if not closed");
  EXPECT_EQ(socket.GetPort(), "81");
  ExpectThrowMessage<ESocketException>([&] { socket.SetProto("udp"); },
                                       "Cannot change Proto if not closed");
}

// Every close forgets address, port and protocol: listening again needs them set again.
TEST(KSocketTest, CloseResetsTheAssignments) {
  ProbeSocket socket(nullptr);
  ListenOnLoopback(socket);
  EXPECT_NE(socket.GetXPort(), "error");
  EXPECT_EQ(socket.GetXAddr(), "127.0.0.1");
  socket.Close();
  EXPECT_EQ(socket.State(), wsClosed);
  EXPECT_EQ(socket.GetXPort(), "error");
  EXPECT_FALSE(socket.PortAssigned);
  ExpectThrowMessage<ESocketException>(
      [&] { socket.Listen(); },
      "Error 10022 in function listen: port not assigned\r\nInvalid argument");
  // The same port text is parsed again because the assignment was reset.
  socket.SetPort("0");
  EXPECT_TRUE(socket.PortAssigned);
}

TEST(KSocketTest, ListenReportsWhatIsMissingInOrder) {
  TKSocket socket(nullptr);
  ExpectThrowMessage<ESocketException>(
      [&] { socket.Listen(); },
      "Error 10022 in function listen: port not assigned\r\nInvalid argument");
  socket.SetPort("0");
  ExpectThrowMessage<ESocketException>(
      [&] { socket.Listen(); },
      "Error 10022 in function listen: address not assigned\r\nInvalid argument");
  socket.SetProto("");
  ExpectThrowMessage<ESocketException>(
      [&] { socket.Listen(); },
      "Error 10022 in function listen: protocol not assigned\r\nInvalid argument");
}

TEST(KSocketTest, ConnectReportsWhatIsMissingInOrder) {
  TKSocket socket(nullptr);
  ExpectThrowMessage<ESocketException>([&] { socket.Connect(); }, "Connect: No Port Specified");
  socket.SetPort("1");
  ExpectThrowMessage<ESocketException>([&] { socket.Connect(); },
                                       "Connect: No IP Address Specified");
  socket.SetAddr("no-such-host.invalid");
  ExpectThrowMessage<ESocketException>(
      [&] { socket.Connect(); }, "SetAddr: Cannot convert host address 'no-such-host.invalid'");
  EXPECT_EQ(socket.State(), wsClosed);
  EXPECT_EQ(socket.Handle(), -1);
}

// With OnError assigned no exception leaves the component; the operation
// stops where it failed. A bind on a busy port leaks no descriptor.
TEST(KSocketTest, OnErrorSwallowsFailures) {
  TKSocket busy(nullptr);
  const int port = ListenOnLoopback(busy);
  TKSocket socket(nullptr);
  int errors = 0;
  socket.OnError = [&](TObject* sender) {
    EXPECT_EQ(sender, &socket);
    ++errors;
  };
  socket.Connect();
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(socket.State(), wsClosed);
  const int descriptors = test::OpenDescriptorCount();
  socket.SetAddr("127.0.0.1");
  socket.SetPort(std::to_string(port));
  EXPECT_EQ(socket.Listen(), -1);
  EXPECT_EQ(errors, 2);
  EXPECT_EQ(socket.Handle(), -1);
  EXPECT_EQ(test::OpenDescriptorCount(), descriptors);
  socket.Dup(-1);
  EXPECT_EQ(errors, 3);
  EXPECT_EQ(socket.Accept(), -1);
  EXPECT_EQ(errors, 4);
}

// The server tries port after port; each failed attempt must release its socket.
TEST(KSocketTest, FailedBindRaisesAndReleasesTheSocket) {
  TKSocket busy(nullptr);
  const int port = ListenOnLoopback(busy);
  TKSocket socket(nullptr);
  const int descriptors = test::OpenDescriptorCount();
  socket.SetAddr("127.0.0.1");
  socket.SetPort(std::to_string(port));
  ExpectThrowMessage<ESocketException>([&] { socket.Listen(); },
                                       "Error 10048 in function Bind\r\nAddress already in use");
  EXPECT_EQ(test::OpenDescriptorCount(), descriptors);
  socket.SetPort("0");
  EXPECT_EQ(socket.Listen(), 0);
  EXPECT_EQ(socket.State(), wsListening);
}

// Listening again on an open socket is refused: the listener (or the
// adopted connection) keeps its descriptor and no second one is opened.
TEST(KSocketTest, ListenOnAnOpenSocketIsRefusedAndLeaksNothing) {
  TKSocket listener(nullptr);
  const int port = ListenOnLoopback(listener);
  const int handle = listener.Handle();
  const int descriptors = test::OpenDescriptorCount();
  ExpectThrowMessage<ESocketException>([&] { listener.Listen(); }, "Listen: Socket already in use");
  EXPECT_EQ(test::OpenDescriptorCount(), descriptors);
  EXPECT_EQ(listener.Handle(), handle);
  EXPECT_EQ(listener.State(), wsListening);
  EXPECT_EQ(listener.GetXPort(), std::to_string(port));
  // The kept listener still takes connections.
  LoopbackClient peer(port);
  const int accepted = AcceptWaiting(listener);
  EXPECT_GT(accepted, 0);
  if (accepted > 0) ::close(accepted);

  test::LoopbackConnection<> pair;
  int errors = 0;
  pair.socket.OnError = [&](TObject*) { ++errors; };
  const int before = test::OpenDescriptorCount();
  EXPECT_EQ(pair.socket.Listen(), -1);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(pair.socket.State(), wsConnected);
  EXPECT_EQ(test::OpenDescriptorCount(), before);
}

TEST(KSocketTest, DupRefusesNoHandle) {
  TKSocket socket(nullptr);
  ExpectThrowMessage<ESocketException>([&] { socket.Dup(0); },
                                       "Error 10022 in function Dup\r\nInvalid argument");
  ExpectThrowMessage<ESocketException>([&] { socket.Dup(-1); },
                                       "Error 10022 in function Dup\r\nInvalid argument");
  ExpectThrowMessage<ESocketException>(
      [&] { socket.Accept(); },
      "Error 10022 in function not a listening socket\r\nInvalid argument");
}

// An accepted handle adopted with Dup, or with DupAccepted right after the
// accept (in blocking or non-blocking mode), is connected at once, in
// non-blocking mode, and no connect event fires; the adopted socket reports
// room to send once, the peer's bytes and its close.
TEST(KSocketTest, DupAdoptsAnAcceptedHandleWithoutConnectEvent) {
  const struct {
    const char* name;
    bool non_blocking;  // the listener accepts in non-blocking mode
    void (*adopt)(TCustomKSocket&, int);
  } adoptions[] = {{"Dup", false, [](TCustomKSocket& s, int h) { s.Dup(h); }},
                   {"DupAccepted", false, [](TCustomKSocket& s, int h) { s.DupAccepted(h); }},
                   {"DupAccepted, non-blocking", true,
                    [](TCustomKSocket& s, int h) { s.DupAccepted(h, true); }}};
  for (const auto& [name, non_blocking, adopt] : adoptions) {
    SCOPED_TRACE(name);
    EventLog log;  // outlives the sockets, whose destruction it may see
    TKSocket listener(nullptr);
    listener.AcceptNonBlocking = non_blocking;
    const int port = ListenOnLoopback(listener);
    LoopbackClient peer(port);
    const int handle = AcceptWaiting(listener);
    ASSERT_GT(handle, 0);
    EXPECT_EQ((::fcntl(handle, F_GETFL) & O_NONBLOCK) != 0, non_blocking);
    EXPECT_EQ(listener.State(), wsListening);
    EXPECT_EQ(listener.AcceptedPeerAddr(), "127.0.0.1");

    TKSocket connection(nullptr);
    log.Attach(connection);
    int sent = 0;
    std::string data;
    connection.OnDataSent = [&](TObject*, std::uint16_t) { ++sent; };
    connection.OnDataAvailable = [&](TObject*, std::uint16_t) { data += connection.ReceiveStr(); };
    adopt(connection, handle);
    EXPECT_EQ(connection.State(), wsConnected);
    EXPECT_NE(::fcntl(handle, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(connection.GetPeerAddr(), "127.0.0.1");
    peer.Send("hi");
    peer.Close();
    ASSERT_TRUE(PumpUntil([&] { return connection.State() == wsClosed; }));
    EXPECT_EQ(log.lines, (std::vector<std::string>{"state 4", "closed 0", "state 7"}));
    EXPECT_EQ(sent, 1);
    EXPECT_EQ(data, "hi");
  }
}

// The peer's data is delivered first, then OnSessionClosed once, then the
// state change to closed inside Close.
TEST(KSocketTest, PeerCloseDeliversDataThenReportsOnce) {
  EventLog log;  // outlives the sockets, whose destruction it may see
  test::LoopbackConnection<> pair;
  LoopbackClient& peer = pair.peer;
  TKSocket& connection = pair.socket;
  log.Attach(connection);
  std::string received;
  connection.OnDataAvailable = [&](TObject*, std::uint16_t) {
    char buffer[8192];
    const int n = connection.Receive(buffer, sizeof buffer);
    if (n > 0) {
      received.append(buffer, static_cast<size_t>(n));
      log.lines.push_back("data " + std::string(buffer, static_cast<size_t>(n)));
    }
  };
  peer.Send("hello");
  peer.Close();
  ASSERT_TRUE(PumpUntil([&] { return connection.State() == wsClosed; }));
  EXPECT_TRUE(TEventQueue::Current().ProcessMessages());
  EXPECT_EQ(log.lines, (std::vector<std::string>{"data hello", "closed 0", "state 7"}));
  EXPECT_EQ(connection.Handle(), -1);
}

// A reset by the peer closes the socket with the reset's error.
TEST(KSocketTest, PeerResetReportsTheError) {
  test::LoopbackConnection<> pair;
  LoopbackClient& peer = pair.peer;
  TKSocket& connection = pair.socket;
  int closes = 0;
  std::uint16_t close_error = 0;
  connection.OnSessionClosed = [&](TObject*, std::uint16_t error) {
    ++closes;
    close_error = error;
  };
  peer.Reset();
  ASSERT_TRUE(PumpUntil([&] { return connection.State() == wsClosed; }));
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(close_error, 10054);
}

TEST(KSocketTest, LocalCloseReportsTheSessionOnce) {
  test::LoopbackConnection<> pair;
  LoopbackClient& peer = pair.peer;
  TKSocket& connection = pair.socket;
  int closes = 0;
  connection.OnSessionClosed = [&](TObject*, std::uint16_t error) {
    EXPECT_EQ(error, 0);
    ++closes;
  };
  connection.Close();
  connection.Close();
  EXPECT_EQ(closes, 1);
  std::string rest;
  peer.ReadBlocking(rest, 1, 5000);
  EXPECT_FALSE(peer.ReadAvailable(rest));
}

TEST(KSocketTest, ConnectCompletesThroughTheNotification) {
  EventLog log;  // outlives the sockets, whose destruction it may see
  TKSocket listener(nullptr);
  const int port = ListenOnLoopback(listener);
  TSSLKSocket client(nullptr);
  log.Attach(client);
  client.SetAddr("localhost");
  client.SetPort(std::to_string(port));
  client.Connect();
  EXPECT_EQ(client.State(), wsConnecting);
  ASSERT_TRUE(PumpUntil([&] { return client.State() == wsConnected; }));
  EXPECT_EQ(log.lines, (std::vector<std::string>{"state 1", "state 3", "state 4", "connected 0"}));
  EXPECT_EQ(client.GetPeerAddr(), "127.0.0.1");
  ExpectThrowMessage<ESocketException>([&] { client.Connect(); }, "Connect: Socket already in use");
}

// A refused connect still passes through wsConnected, reports its error and closes.
TEST(KSocketTest, RefusedConnectReportsAndCloses) {
  EventLog log;  // outlives the sockets, whose destruction it may see
  TKSocket client(nullptr);
  log.Attach(client);
  client.SetAddr("127.0.0.1");
  client.SetPort(std::to_string(test::FreePort()));
  client.Connect();
  ASSERT_TRUE(PumpUntil([&] { return client.State() == wsClosed; }));
  EXPECT_EQ(log.lines, (std::vector<std::string>{"state 1", "state 3", "state 4", "connected 10061",
                                                 "state 7", "closed 0"}));
}

TEST(KSocketTest, PausedSocketHearsNothingUntilResumed) {
  test::LoopbackConnection<> pair;
  LoopbackClient& peer = pair.peer;
  TKSocket& connection = pair.socket;
  std::string received;
  connection.OnDataAvailable = [&](TObject*, std::uint16_t) {
    received += connection.ReceiveStr();
  };
  connection.Pause();
  peer.Send("quiet");
  // The peer's bytes are in our receive queue once they can be counted.
  ASSERT_TRUE(PumpUntil([&] { return connection.GetRcvdCount() == 5; }));
  EXPECT_TRUE(TEventQueue::Current().ProcessMessages());
  EXPECT_EQ(received, "");
  connection.Resume();
  ASSERT_TRUE(PumpUntil([&] { return received == "quiet"; }));
}

// A listener that was paused hears of connections again once resumed.
TEST(KSocketTest, ResumedListenerAcceptsAgain) {
  TKSocket listener(nullptr);
  const int port = ListenOnLoopback(listener);
  listener.Pause();
  listener.Resume();
  LoopbackClient client(port);
  TKSocket accepted(nullptr);
  accepted.Dup(AcceptWaiting(listener));
  EXPECT_EQ(accepted.State(), wsConnected);
}

// A listener whose owner has not accepted yet hears of the waiting
// connection once, however long the queue runs on; the accept brings the
// next connection's notification.
TEST(KSocketTest, ListenerHearsOncePerAccept) {
  TKSocket listener(nullptr);
  const int port = ListenOnLoopback(listener);
  int available = 0;
  listener.OnSessionAvailable = [&](TObject*, std::uint16_t) { ++available; };
  LoopbackClient first(port);
  ASSERT_TRUE(PumpUntil([&] { return available == 1; }));
  EXPECT_FALSE(PumpUntil([&] { return available > 1; }, 300));
  LoopbackClient second(port);
  EXPECT_FALSE(PumpUntil([&] { return available > 1; }, 300));
  ::close(listener.Accept());
  ASSERT_TRUE(PumpUntil([&] { return available == 2; }));
  ::close(listener.Accept());
  EXPECT_FALSE(PumpUntil([&] { return available > 2; }, 300));
}

// Blocks (bounded) until `fd` reports one of `events`, without pumping the
// queue; true when it did.
bool AwaitDescriptor(int fd, short events) {
  pollfd pfd{fd, events, 0};
  return poll(&pfd, 1, 5000) == 1;
}

// Notifications dispatched while the socket is paused are dropped; Resume
// registers again and so reports what holds now: bytes pending, room to
// send, a closed connection. Each notification here is queued behind a
// Pause, so it meets a paused socket.
TEST(KSocketTest, ResumeReportsWhatPauseDropped) {
  test::LoopbackConnection<> pair;
  TKSocket& connection = pair.socket;
  TEventQueue& queue = TEventQueue::Current();
  std::string received;
  int sent_events = 0;
  int closes = 0;
  connection.OnDataAvailable = [&](TObject*, std::uint16_t) {
    received += connection.ReceiveStr();
  };
  connection.OnDataSent = [&](TObject*, std::uint16_t) { ++sent_events; };
  connection.OnSessionClosed = [&](TObject*, std::uint16_t) { ++closes; };

  pair.peer.Send("late");
  ASSERT_TRUE(AwaitDescriptor(connection.Handle(), POLLIN));
  queue.PostTask([&] { connection.Pause(); });
  connection.SendStr("x");
  EXPECT_TRUE(queue.ProcessMessages());
  EXPECT_EQ(received, "");
  EXPECT_EQ(sent_events, 0);
  connection.Resume();
  ASSERT_TRUE(PumpUntil([&] { return received == "late" && sent_events == 1; }));

  pair.peer.Close();
  ASSERT_TRUE(AwaitDescriptor(connection.Handle(), POLLRDHUP));
  queue.PostTask([&] { connection.Pause(); });
  EXPECT_TRUE(queue.ProcessMessages());
  EXPECT_EQ(connection.State(), wsConnected);
  connection.Resume();
  ASSERT_TRUE(PumpUntil([&] { return connection.State() == wsClosed; }));
  EXPECT_EQ(closes, 1);
}

// A notification queued for a connection that the socket then closed does
// not reach the next connection it adopts under the same descriptor number
// (Linux hands out the lowest free number at once).
TEST(KSocketTest, StaleNotificationMissesTheNextConnectionOnTheSameNumber) {
  TKSocket listener(nullptr);
  const int port = ListenOnLoopback(listener);
  LoopbackClient first(port);
  TKSocket socket(nullptr);
  socket.Dup(AcceptWaiting(listener));
  const int number = socket.Handle();
  first.Close();
  // Take the close notification out of the queue without delivering it.
  TEventQueue& queue = TEventQueue::Current();
  TMessage stale;
  for (int waits = 0; waits < 100 && stale.Msg == WM_NULL; ++waits) {
    TMessage msg;
    if (!queue.GetMessageFor(msg, 50)) continue;
    if (msg.Msg == WM_ASYNCSELECT && (WSAGetSelectEvent(msg.LParam) & FD_CLOSE)) {
      stale = msg;
    } else {
      queue.DispatchMessage(msg);
    }
  }
  ASSERT_EQ(stale.Msg, WM_ASYNCSELECT);
  socket.Close();

  LoopbackClient second(port);
  int handle = AcceptWaiting(listener);
  ASSERT_GE(handle, 0);
  if (handle != number) {
    ASSERT_EQ(dup2(handle, number), number);
    close(handle);
  }
  socket.Dup(number);
  int closes = 0;
  socket.OnSessionClosed = [&](TObject*, std::uint16_t) { ++closes; };
  queue.DispatchMessage(stale);
  EXPECT_TRUE(queue.ProcessMessages());
  EXPECT_EQ(socket.State(), wsConnected);
  EXPECT_EQ(closes, 0);
  socket.SendStr("still here");
  std::string got;
  EXPECT_TRUE(PumpUntil([&] { return second.ReadAvailable(got) && got == "still here"; }));
}

// Freeing a socket on another thread while its own thread still runs (and
// may be dispatching its notifications that moment) stops a debug build at
// once with a message; one freed after its thread ended is simply gone.
TEST(KSocketDeathTest, FreedOffItsRunningThreadStopsTheProcess) {
#ifdef NDEBUG
  GTEST_SKIP() << "the owner-thread check is a debug check";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(test::DeleteOffItsThread([] {
                 auto* socket = new TKSocket(nullptr);
                 ListenOnLoopback(*socket);
                 return socket;
               }),
               "TCustomKSocket freed on a thread other than its own");

  const int sockets = SocketCount();
  std::unique_ptr<TKSocket> orphan;
  std::thread([&] {
    orphan = std::make_unique<TKSocket>(nullptr);
    ListenOnLoopback(*orphan);
  }).join();
  const HWND window = orphan->WindowHandle();
  orphan.reset();
  EXPECT_FALSE(PostMessage(window, WM_USER, 0, 0));
  EXPECT_EQ(SocketCount(), sockets);
}

// A socket destroyed on its own thread leaves no message target behind.
TEST(KSocketTest, DestroyedSocketLeavesNothingRegistered) {
  const int sockets = SocketCount();
  HWND window = 0;
  {
    TKSocket socket(nullptr);
    ListenOnLoopback(socket);
    window = socket.WindowHandle();
    EXPECT_TRUE(PostMessage(window, WM_USER + 100, 0, 0));
    EXPECT_EQ(SocketCount(), sockets + 1);
  }
  EXPECT_FALSE(PostMessage(window, WM_USER + 100, 0, 0));
  EXPECT_EQ(SocketCount(), sockets);
}

// A quit request posted to WindowHandle from another thread ends MessageLoop.
TEST(KSocketTest, QuitPostedToTheWindowEndsMessageLoop) {
  TKSocket socket(nullptr);
  const HWND window = socket.WindowHandle();
  bool posted = false;
  std::thread poster([&] { posted = PostMessage(window, WM_QUIT, 0, 0); });
  poster.join();
  ASSERT_TRUE(posted);
  socket.MessageLoop();
}

}  // namespace
}  // namespace korvi
