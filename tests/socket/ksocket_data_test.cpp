// TKSocket data path over real loopback sockets: the send chain and
// OnDataSent, partial sends, receiving, line mode and the blocking waits.
#include "korvi/socket/ksocket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "korvi/host/event_queue.h"
#include "tests/socket/loopback_connection.h"
#include "tests/support/expect_message.h"
#include "tests/support/pump.h"
#include "tests/support/temp_dir.h"

namespace korvi {
namespace {

using test::AcceptWaiting;
using test::ExpectThrowMessage;
using test::ListenOnLoopback;
using test::LoopbackClient;
using test::PumpUntil;

// Records what each send offered to the system, through the write hook.
class RecordingSocket : public TKSocket {
 public:
  using TCustomKSocket::SendBufferList;
  using TKSocket::TKSocket;
  std::vector<int> offered;

 protected:
  int _Write(int s, const void* buf, int len, int flags) override {
    offered.push_back(len);
    return TKSocket::_Write(s, buf, len, flags);
  }
};

template <typename Socket = TKSocket>
using Connection = test::LoopbackConnection<Socket>;

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i)
    data[i] = static_cast<char>('a' + i % 26);
  return data;
}

TEST(KSocketDataTest, ChainSplitsIntoBlocksAndTopsUpTheLast) {
  RecordingSocket socket(nullptr);
  const std::string data = Pattern(4000);
  socket.PutDataInSendBuffer(data.data(), 4000);
  ASSERT_EQ(socket.SendBufferList.size(), 3u);
  EXPECT_EQ(socket.SendBufferList[0]->Unread(), 1514);
  EXPECT_EQ(socket.SendBufferList[1]->Unread(), 1514);
  EXPECT_EQ(socket.SendBufferList[2]->Unread(), 972);
  socket.PutStringInSendBuffer(std::string(600, 'x'));
  ASSERT_EQ(socket.SendBufferList.size(), 4u);
  EXPECT_EQ(socket.SendBufferList[2]->Unread(), 1514);
  EXPECT_EQ(socket.SendBufferList[3]->Unread(), 58);
  socket.PutDataInSendBuffer(data.data(), 0);
  EXPECT_EQ(socket.SendBufferList.size(), 4u);
}

// 4000 bytes go out as 1514 + 1514 + 972; OnDataSent fires once, after Send returned.
TEST(KSocketDataTest, SendGoesOutInBlocksAndReportsAfterReturning) {
  Connection<RecordingSocket> c;
  bool in_send = false;
  int sent_events = 0;
  c.socket.OnDataSent = [&](TObject*, std::uint16_t error) {
    EXPECT_FALSE(in_send);
    EXPECT_EQ(error, 0);
    ++sent_events;
  };
  const std::string data = Pattern(4000);
  in_send = true;
  EXPECT_EQ(c.socket.Send(data.data(), 4000), 4000);
  in_send = false;
  EXPECT_EQ(c.socket.offered, (std::vector<int>{1514, 1514, 972}));
  EXPECT_TRUE(c.socket.AllSent());
  EXPECT_EQ(sent_events, 0);
  ASSERT_TRUE(PumpUntil([&] { return sent_events > 0; }));
  EXPECT_TRUE(TEventQueue::Current().ProcessMessages());
  EXPECT_EQ(sent_events, 1);
  // The emptied last block stays for reuse.
  EXPECT_EQ(c.socket.SendBufferList.size(), 1u);
  std::string received;
  c.peer.ReadBlocking(received, 4000, 5000);
  EXPECT_EQ(received, data);
}

// Len 0 with the kept empty block sets AllSent again and reports; on a chain
// that never held a block it stays unsent.
TEST(KSocketDataTest, EmptySendDependsOnTheKeptBlock) {
  Connection<> c;
  int sent_events = 0;
  c.socket.OnDataSent = [&](TObject*, std::uint16_t) { ++sent_events; };
  EXPECT_EQ(c.socket.Send("", 0), 0);
  EXPECT_FALSE(c.socket.AllSent());
  EXPECT_EQ(c.socket.SendStr("x"), 1);
  EXPECT_TRUE(c.socket.AllSent());
  ASSERT_TRUE(PumpUntil([&] { return sent_events == 1; }));
  EXPECT_EQ(c.socket.Send("", 0), 0);
  EXPECT_TRUE(c.socket.AllSent());
  ASSERT_TRUE(PumpUntil([&] { return sent_events == 2; }));
}

// A peer that reads late keeps AllSent false until the writable
// notifications have drained the chain; then OnDataSent fires once.
TEST(KSocketDataTest, PartialSendDrainsOnWritableNotifications) {
  Connection<> c;
  const int small = 4096;
  setsockopt(c.socket.Handle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  int sent_events = 0;
  c.socket.OnDataSent = [&](TObject*, std::uint16_t) { ++sent_events; };
  const std::string data = Pattern(1 << 20);
  EXPECT_EQ(c.socket.SendStr(data), 1 << 20);
  EXPECT_FALSE(c.socket.AllSent());
  EXPECT_TRUE(TEventQueue::Current().ProcessMessages());
  EXPECT_FALSE(c.socket.AllSent());
  EXPECT_EQ(sent_events, 0);
  // The peer starts reading only now.
  std::string received;
  std::thread reader([&] { c.peer.ReadBlocking(received, data.size(), 20000); });
  EXPECT_TRUE(PumpUntil([&] { return sent_events > 0; }, 20000));
  reader.join();
  EXPECT_TRUE(c.socket.AllSent());
  EXPECT_TRUE(TEventQueue::Current().ProcessMessages());
  EXPECT_EQ(sent_events, 1);
  EXPECT_TRUE(received == data);
}

// A connection whose socket sends from a file holding `content`, through
// a send buffer of `send_buffer` bytes, counting its OnDataSent events,
// which must not come while in_call is set.
struct FileSending {
  FileSending(const std::string& content, int send_buffer) {
    parts.file = ::open(dir.Write("f.bin", content).c_str(), O_RDONLY | O_CLOEXEC);
    setsockopt(parts.c.socket.Handle(), SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
    parts.c.socket.OnDataSent = [this](TObject*, std::uint16_t) {
      EXPECT_FALSE(parts.in_call);
      ++parts.sent_events;
    };
  }
  ~FileSending() {
    if (parts.file >= 0) ::close(parts.file);
  }
  FileSending(const FileSending&) = delete;
  FileSending& operator=(const FileSending&) = delete;

  test::TempDir dir;
  struct {
    Connection<> c;
    int file = -1;
    int sent_events = 0;
    bool in_call = false;
  } parts;
};

// Bytes of a file join the stream after what Send queued, whether the
// system takes them at once or, for a peer that reads late, partly through
// the chain; OnDataSent fires once per call, after it returned; a range past
// the file's end is cut there; an unconnected socket refuses.
TEST(KSocketDataTest, FileBytesFollowQueuedBytesLikeSend) {
  const std::string content = Pattern(300000);
  FileSending sending(content, 4096);
  ASSERT_GE(sending.parts.file, 0);
  auto& [c, file, sent_events, in_call] = sending.parts;
  const std::string head = Pattern(100000);
  in_call = true;
  EXPECT_EQ(c.socket.SendFileBytes(file, 0, 200000), 200000);  // more than the system takes
  EXPECT_EQ(c.socket.Send(head.data(), static_cast<int>(head.size())), 100000);
  EXPECT_EQ(c.socket.SendFileBytes(file, 200000, 1000000), 100000);  // behind queued bytes
  EXPECT_EQ(c.socket.SendFileBytes(file, 300000, 10), 0);
  in_call = false;
  std::string received;
  std::thread reader([&] { c.peer.ReadBlocking(received, 400000, 20000); });
  EXPECT_TRUE(PumpUntil([&] { return c.socket.AllSent() && sent_events > 0; }, 20000));
  reader.join();
  EXPECT_TRUE(received == content.substr(0, 200000) + head + content.substr(200000));
  EXPECT_EQ(c.socket.WriteCount(), 400000);

  // Straight to a reading peer, past an empty chain.
  sent_events = 0;
  in_call = true;
  EXPECT_EQ(c.socket.SendFileBytes(file, 0, 8192), 8192);
  in_call = false;
  received.clear();
  c.peer.ReadBlocking(received, 8192, 20000);
  EXPECT_TRUE(received == content.substr(0, 8192));
  EXPECT_TRUE(PumpUntil([&] { return sent_events == 1; }));

  TKSocket unconnected(nullptr);
  EXPECT_THROW(unconnected.SendFileBytes(file, 0, 10), ESocketException);
}

// Once a connection has carried a mebibyte, the large parts of a file that
// its send buffer has room for go through a pipe; a peer reading as they
// come gets every byte once, in order, and the counts add up.
TEST(KSocketDataTest, FileBytesAsTakenOnAWarmConnection) {
  std::string content(6'000'000, '\0');
  for (size_t i = 0; i < content.size(); ++i)
    content[i] = static_cast<char>(i % 251);
  FileSending sending(content, 1 << 20);
  ASSERT_GE(sending.parts.file, 0);
  auto& [c, file, sent_events, in_call] = sending.parts;
  std::string received;
  std::thread reader([&] { c.peer.ReadBlocking(received, content.size(), 20000); });
  const auto size = static_cast<std::int64_t>(content.size());
  std::int64_t offset = 0;
  while (offset < size) {
    const int events = sent_events;
    const int taken = c.socket.SendFileBytesAsTaken(file, offset, static_cast<int>(size - offset));
    ASSERT_GT(taken, 0);
    offset += taken;
    ASSERT_TRUE(PumpUntil([&] { return sent_events > events; }, 20000));
  }
  reader.join();
  EXPECT_TRUE(received == content);
  EXPECT_EQ(c.socket.WriteCount(), size);
}

// SendFileBytesAsTaken hands over only what the system takes at once and
// keeps the rest with the caller: OnDataSent comes once there is room again,
// never inside the call. Offered to a full connection it queues one block of
// 8192 bytes; behind queued bytes the same; past the file's end nothing. The
// peer gets every byte taken, in order.
TEST(KSocketDataTest, FileBytesAsTakenLeaveTheRestToTheCaller) {
  const std::string content = Pattern(3000000);
  FileSending sending(content, 65536);
  ASSERT_GE(sending.parts.file, 0);
  auto& [c, file, sent_events, in_call] = sending.parts;
  in_call = true;
  const int first = c.socket.SendFileBytesAsTaken(file, 0, 3000000);
  EXPECT_GT(first, 0);
  EXPECT_LT(first, 3000000);
  EXPECT_FALSE(c.socket.AllSent());
  const int full = c.socket.SendFileBytesAsTaken(file, first, 3000000 - first);
  EXPECT_EQ(full, 8192);
  const std::string head = Pattern(100);
  EXPECT_EQ(c.socket.Send(head.data(), 100), 100);
  EXPECT_EQ(c.socket.SendFileBytesAsTaken(file, first + full, 3000000), 8192);
  EXPECT_EQ(c.socket.SendFileBytesAsTaken(file, 3000000, 10), 0);
  in_call = false;
  EXPECT_TRUE(TEventQueue::Current().ProcessMessages());
  EXPECT_EQ(sent_events, 0);
  const size_t total = static_cast<size_t>(first) + 2 * 8192 + 100;
  std::string received;
  std::thread reader([&] { c.peer.ReadBlocking(received, total, 20000); });
  EXPECT_TRUE(PumpUntil([&] { return c.socket.AllSent() && sent_events > 0; }, 20000));
  reader.join();
  EXPECT_TRUE(received ==
              content.substr(0, first + full) + head + content.substr(first + full, 8192));
  EXPECT_EQ(c.socket.WriteCount(), static_cast<std::int64_t>(total));
  EXPECT_EQ(sent_events, 1);
}

// With KeepOpenOnPeerClose, a peer that ends its own direction is reported
// but the socket stays open: a large send still drains on writable
// notifications, and WriteCount tells how many bytes the system took.
TEST(KSocketDataTest, SocketKeptOpenSendsAfterThePeerEndedItsDirection) {
  Connection<> c;
  const int small = 4096;
  setsockopt(c.socket.Handle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  c.socket.KeepOpenOnPeerClose = true;
  int closes = 0;
  int sent_events = 0;
  c.socket.OnSessionClosed = [&](TObject*, std::uint16_t) { ++closes; };
  c.socket.OnDataSent = [&](TObject*, std::uint16_t) { ++sent_events; };
  EXPECT_EQ(c.socket.WriteCount(), 0);
  c.peer.ShutdownWrite();
  ASSERT_TRUE(PumpUntil([&] { return closes == 1; }));
  EXPECT_EQ(c.socket.State(), wsConnected);
  const std::string data = Pattern(1 << 20);
  c.socket.SendStr(data);
  std::string received;
  std::thread reader([&] { c.peer.ReadBlocking(received, data.size(), 20000); });
  EXPECT_TRUE(PumpUntil([&] { return sent_events > 0; }, 20000));
  reader.join();
  EXPECT_TRUE(received == data);
  EXPECT_EQ(c.socket.WriteCount(), 1 << 20);
  EXPECT_EQ(closes, 1);
  c.socket.Close();
  EXPECT_EQ(c.socket.WriteCount(), 1 << 20);
}

// Bytes still queued when a connection ends go with it: a connection the
// same object adopts next receives only what is sent to it.
TEST(KSocketDataTest, UnsentBytesDoNotOutliveTheirConnection) {
  Connection<> c;
  const int small = 4096;
  setsockopt(c.socket.Handle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  c.socket.SendStr(Pattern(1 << 20));
  ASSERT_FALSE(c.socket.AllSent());
  c.socket.Close();
  LoopbackClient next(std::stoi(c.listener.GetXPort()));
  c.socket.Dup(AcceptWaiting(c.listener));
  EXPECT_EQ(c.socket.SendStr("fresh"), 5);
  EXPECT_TRUE(c.socket.AllSent());
  std::string received;
  next.ReadBlocking(received, 5, 5000);
  EXPECT_EQ(received.substr(0, 16), "fresh");
}

TEST(KSocketDataTest, SendOnAnUnconnectedSocketFails) {
  TKSocket socket(nullptr);
  ExpectThrowMessage<ESocketException>([&] { socket.SendStr("x"); },
                                       "Error 10057 in function Send\r\nSocket is not connected");
  int errors = 0;
  socket.OnError = [&](TObject*) { ++errors; };
  EXPECT_EQ(socket.SendStr("x"), -1);
  EXPECT_EQ(errors, 1);
}

// Sending into a connection the peer has reset closes the socket quietly;
// no SIGPIPE ends the process.
TEST(KSocketDataTest, SendAfterPeerResetClosesQuietly) {
  Connection<> c;
  int closes = 0;
  c.socket.OnSessionClosed = [&](TObject*, std::uint16_t) { ++closes; };
  c.socket.Pause();  // the reset must meet the send, not the close notification
  c.peer.Reset();
  const std::string chunk = Pattern(65536);
  for (int i = 0; i < 50 && c.socket.State() == wsConnected; ++i)
    c.socket.SendStr(chunk);
  EXPECT_EQ(c.socket.State(), wsClosed);
  EXPECT_EQ(closes, 1);
}

// The same for file bytes, which the system sends without MSG_NOSIGNAL: no
// SIGPIPE reaches the process from the broken pipe.
TEST(KSocketDataTest, FileBytesAfterPeerResetCloseQuietly) {
  test::TempDir dir;
  const int file = ::open(dir.Write("f.bin", Pattern(65536)).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(file, 0);
  Connection<> c;
  int closes = 0;
  c.socket.OnSessionClosed = [&](TObject*, std::uint16_t) { ++closes; };
  c.socket.Pause();
  c.peer.Reset();
  // Receiving takes the reset, so the send meets a broken pipe.
  char byte = 0;
  EXPECT_EQ(c.socket.Receive(&byte, 1), -1);
  for (int i = 0; i < 50 && c.socket.State() == wsConnected; ++i)
    c.socket.SendFileBytes(file, 0, 65536);
  EXPECT_EQ(c.socket.State(), wsClosed);
  EXPECT_EQ(closes, 1);
  ::close(file);
}

// Receive counts bytes; PeekData leaves them; ReceiveStr takes all pending.
TEST(KSocketDataTest, ReceivePathsCountAndPeek) {
  Connection<> c;
  EXPECT_EQ(c.socket.ReceiveStr(), "");
  c.peer.Send("abcdef");
  ASSERT_TRUE(PumpUntil([&] { return c.socket.RcvdCount() == 6; }));
  char buffer[16] = {};
  EXPECT_EQ(c.socket.PeekData(buffer, 3), 3);
  EXPECT_EQ(std::string(buffer, 3), "abc");
  EXPECT_EQ(c.socket.ReadCount(), 0);
  EXPECT_EQ(c.socket.Receive(buffer, 2), 2);
  EXPECT_EQ(c.socket.ReadCount(), 2);
  EXPECT_EQ(c.socket.ReceiveStr(), "cdef");
  EXPECT_EQ(c.socket.ReadCount(), 2);
  EXPECT_EQ(c.socket.Receive(buffer, sizeof buffer), -1);
  EXPECT_EQ(c.socket.LastError(), 10035);
}

// OnDataAvailable is called again while bytes remain after a handler that
// reads only part of them.
TEST(KSocketDataTest, DataAvailableRepeatsWhileBytesArePending) {
  Connection<> c;
  std::string received;
  int calls = 0;
  c.socket.OnDataAvailable = [&](TObject*, std::uint16_t) {
    ++calls;
    char buffer[4];
    const int n = c.socket.Receive(buffer, sizeof buffer);
    if (n > 0) received.append(buffer, static_cast<size_t>(n));
  };
  c.peer.Send("0123456789");
  ASSERT_TRUE(PumpUntil([&] { return received.size() == 10; }));
  EXPECT_EQ(received, "0123456789");
  EXPECT_GE(calls, 3);
}

// Without a handler the bytes stay in the system and the thread is not kept busy.
TEST(KSocketDataTest, UnhandledDataStaysPending) {
  Connection<> c;
  c.peer.Send("kept");
  ASSERT_TRUE(PumpUntil([&] { return c.socket.RcvdCount() == 4; }));
  EXPECT_TRUE(TEventQueue::Current().ProcessMessages());
  EXPECT_EQ(c.socket.ReceiveStr(), "kept");
}

TEST(KSocketDataTest, SendFlagsMapToNormalAndUrgent) {
  TKSocket socket(nullptr);
  EXPECT_EQ(socket.GetSendFlags(), wsSendNormal);
  socket.SetSendFlags(wsSendUrgent);
  EXPECT_EQ(socket.GetSendFlags(), wsSendUrgent);
  ExpectThrowMessage<ESocketException>(
      [&] { socket.SetSendFlags(static_cast<TSocketSendFlags>(7)); }, "Invalid SendFlags");
}

// CR is dropped wherever it stands and only LF ends a line.
TEST(KSocketDataTest, LineModeDropsCarriageReturns) {
  Connection<> c;
  c.socket.MultiThreaded = true;
  std::string line;
  c.peer.Send("abc\r\nab\rc\nx\ry");
  c.socket.ReadLine(5, line);
  EXPECT_EQ(line, "abc");
  c.socket.ReadLine(5, line);
  EXPECT_EQ(line, "abc");
  c.peer.Send("z\n");
  c.socket.ReadLine(5, line);
  EXPECT_EQ(line, "xyz");
  EXPECT_EQ(c.socket.ReadCount(), 15);
}

// A 300-byte line is cut at 254 bytes with OnLineTooLong; the remaining 46
// bytes make the next line.
TEST(KSocketDataTest, LongLineIsCutAndReported) {
  Connection<> c;
  c.socket.MultiThreaded = true;
  int too_long = 0;
  c.socket.OnLineTooLong = [&](TObject*) { ++too_long; };
  c.peer.Send(std::string(300, 'a') + "\n");
  std::string line;
  c.socket.ReadLine(5, line);
  EXPECT_EQ(line, std::string(254, 'a'));
  EXPECT_EQ(too_long, 1);
  c.socket.ReadLine(5, line);
  EXPECT_EQ(line, std::string(46, 'a'));
  EXPECT_EQ(too_long, 1);
  // Exactly 254 characters: reported too, and the CR LF makes an empty line.
  c.peer.Send(std::string(254, 'b') + "\r\n");
  c.socket.ReadLine(5, line);
  EXPECT_EQ(too_long, 2);
  c.socket.ReadLine(5, line);
  EXPECT_EQ(line, "");
}

// A timed-out ReadLine returns the partial line; the next call continues it.
TEST(KSocketDataTest, TimedOutReadLineIsContinued) {
  Connection<> c;
  c.socket.MultiThreaded = true;
  c.peer.Send("par");
  ASSERT_TRUE(PumpUntil([&] { return c.socket.RcvdCount() == 3; }));
  std::string line;
  c.socket.ReadLine(1, line);
  EXPECT_EQ(line, "par");
  c.peer.Send("tial\r\n");
  c.socket.ReadLine(5, line);
  EXPECT_EQ(line, "partial");
}

// Line mode delivers through the readable notifications while a ReadLine waits.
TEST(KSocketDataTest, ReadLineWaitsForDataFromAnotherThread) {
  Connection<> c;
  c.socket.MultiThreaded = true;
  std::thread writer([&] { c.peer.Send("late line\n"); });
  std::string line;
  c.socket.ReadLine(10, line);
  writer.join();
  EXPECT_EQ(line, "late line");
}

TEST(KSocketDataTest, BlockingOperationsNeedAWaitControlUnlessMultiThreaded) {
  Connection<> c;
  std::string line = "unchanged";
  ExpectThrowMessage<ESocketException>([&] { c.socket.ReadLine(1, line); },
                                       "No wait object assigned");
  EXPECT_EQ(line, "unchanged");
  ExpectThrowMessage<ESocketException>([&] { c.socket.Wait(1, wsClosed); },
                                       "Error 11004 in function TKSocket.Wait\r\nNo Data");
  EXPECT_FALSE(c.socket.Wait(10, wsConnected));
}

TEST(KSocketDataTest, MultiThreadedWaitPumpsUntilTheState) {
  TKSocket listener(nullptr);
  const int port = ListenOnLoopback(listener);
  TKSocket client(nullptr);
  client.MultiThreaded = true;
  client.SetAddr("127.0.0.1");
  client.SetPort(std::to_string(port));
  client.Connect();
  EXPECT_TRUE(client.Wait(10, wsConnected));
  EXPECT_FALSE(client.Wait(10, wsConnected));
}

// Flush pumps until the chain is empty while the peer reads on another thread.
TEST(KSocketDataTest, MultiThreadedFlushEmptiesTheChain) {
  Connection<> c;
  c.socket.MultiThreaded = true;
  const std::string data = Pattern(2 << 20);
  std::string received;
  std::thread reader([&] { c.peer.ReadBlocking(received, data.size(), 20000); });
  c.socket.SendStr(data);
  c.socket.Flush();
  EXPECT_TRUE(c.socket.AllSent());
  reader.join();
  EXPECT_TRUE(received == data);
}

// WaitForClose delivers the last data and returns once the peer has closed.
TEST(KSocketDataTest, WaitForCloseDeliversAndReturnsOnPeerClose) {
  Connection<> c;
  std::string received;
  c.socket.OnDataAvailable = [&](TObject*, std::uint16_t) { received += c.socket.ReceiveStr(); };
  std::thread closer([&] {
    c.peer.Send("bye");
    c.peer.Close();
  });
  c.socket.WaitForClose();
  closer.join();
  EXPECT_EQ(received, "bye");
}

// A datagram socket "listens" by binding and is connected at once; datagrams
// carry their sender's address.
TEST(KSocketDataTest, DatagramsTravelBothWays) {
  TKSocket receiver(nullptr);
  receiver.SetProto("udp");
  const int port = ListenOnLoopback(receiver);
  EXPECT_EQ(receiver.State(), wsConnected);

  TKSocket sender(nullptr);
  bool connected = false;
  sender.OnSessionConnected = [&](TObject*, std::uint16_t error) {
    EXPECT_EQ(error, 0);
    connected = true;
  };
  sender.SetProto("udp");
  sender.SetAddr("127.0.0.1");
  sender.SetPort(std::to_string(port));
  sender.Connect();
  EXPECT_TRUE(connected);
  EXPECT_EQ(sender.State(), wsConnected);

  std::string received;
  int from_port = 0;
  receiver.OnDataAvailable = [&](TObject*, std::uint16_t) {
    char buffer[64];
    sockaddr_in from{};
    int from_len = sizeof from;
    const int n = receiver.ReceiveFrom(buffer, sizeof buffer, from, from_len);
    if (n > 0) received.assign(buffer, static_cast<size_t>(n));
    from_port = ntohs(from.sin_port);
  };
  EXPECT_EQ(sender.SendStr("ping"), 4);
  ASSERT_TRUE(PumpUntil([&] { return !received.empty(); }));
  EXPECT_EQ(received, "ping");
  EXPECT_EQ(std::to_string(from_port), sender.GetXPort());
  EXPECT_EQ(receiver.ReadCount(), 4);
}

}  // namespace
}  // namespace korvi
