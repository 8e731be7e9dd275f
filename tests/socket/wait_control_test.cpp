// TWait: the countdown, its modal loop with swallowed input, its painting,
// and the socket operations that wait with it.
#include "korvi/socket/wait_control.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "korvi/host/application.h"
#include "korvi/host/event_queue.h"
#include "korvi/socket/ksocket.h"
#include "tests/socket/loopback_connection.h"
#include "tests/support/pump.h"

namespace korvi {
namespace {

using test::PumpUntil;

// Records what Paint draws.
class RecordingCanvas : public TWaitCanvas {
 public:
  struct Rect {
    int x1, y1, x2, y2;
    TColor brush;
  };
  std::vector<Rect> rects;
  std::vector<std::string> texts;
  int text_x = 0, text_y = 0;
  void Rectangle(int x1, int y1, int x2, int y2) override {
    rects.push_back({x1, y1, x2, y2, Brush.Color});
  }
  void TextOut(int x, int y, const std::string& text) override {
    text_x = x;
    text_y = y;
    texts.push_back(text);
  }
};

TEST(WaitControlTest, StartsWithItsDefaults) {
  TWait wait(nullptr);
  EXPECT_EQ(wait.Width, 192);
  EXPECT_EQ(wait.Height, 32);
  EXPECT_EQ(wait.Caption(), "60");
  EXPECT_EQ(wait.InitialCount(), 60);
  EXPECT_EQ(wait.GetInterval(), 1000);
  EXPECT_FALSE(wait.Running());
  EXPECT_TRUE(wait.Visible());
}

// Caption "3" ticks 2, 1, 0; then the wait has expired with ModalResult 2
// and the caption is back at 3.
TEST(WaitControlTest, CountdownExpires) {
  TWait wait(nullptr);
  wait.SetInterval(10);
  std::vector<int> counts;
  int timeouts = 0;
  int starts = 0;
  wait.OnWait = [&](TObject*, int count) { counts.push_back(count); };
  wait.OnTimeout = [&](TObject*) { ++timeouts; };
  wait.OnWaitStart = [&](TObject*) { ++starts; };
  wait.SetCaption("3");
  wait.Start();
  EXPECT_TRUE(wait.Running());
  EXPECT_EQ(starts, 1);
  ASSERT_TRUE(PumpUntil([&] { return !wait.Running(); }));
  EXPECT_EQ(counts, (std::vector<int>{2, 1, 0}));
  EXPECT_EQ(wait.ModalResult, 2);
  EXPECT_EQ(wait.Caption(), "3");
  EXPECT_EQ(timeouts, 1);
}

TEST(WaitControlTest, CaptionWithoutNumberCountsFifteen) {
  TWait wait(nullptr);
  wait.SetCaption("soon");
  wait.Start();
  EXPECT_EQ(wait.InitialCount(), 15);
  EXPECT_EQ(wait.Caption(), "15");
  wait.Stop();
  EXPECT_FALSE(wait.Running());
}

TEST(WaitControlTest, RestartSetsTheCaptionBack) {
  TWait wait(nullptr);
  wait.SetCaption("9");
  wait.Start();
  wait.SetCaption("4");
  wait.Restart();
  EXPECT_EQ(wait.Caption(), "9");
  EXPECT_TRUE(wait.Running());
  wait.Stop();
}

// Stop during a modal wait ends it with ModalResult 1; meanwhile clicks and
// key presses are swallowed, other messages dispatched, and the
// application's hook is restored afterwards.
TEST(WaitControlTest, ModalWaitEndsOnStopAndSwallowsInput) {
  TWait wait(nullptr);
  int stops = 0;
  int waiting = 0;
  wait.OnWaitStop = [&](TObject*) { ++stops; };
  wait.OnWaiting = [&](TObject*) { ++waiting; };
  std::vector<std::uint32_t> seen;
  TEventQueue& queue = TEventQueue::Current();
  const HWND target = queue.AllocateHWnd([&](TMessage& msg) {
    seen.push_back(msg.Msg);
    if (msg.Msg == WM_USER + 2) wait.Stop();
  });
  bool outer_hook_called = false;
  Application().OnMessage = [&](TMessage&, bool&) { outer_hook_called = true; };
  PostMessage(target, WM_LBUTTONDOWN, 0, 0);
  PostMessage(target, WM_KEYDOWN, 0, 0);
  PostMessage(target, WM_USER + 1, 0, 0);
  PostMessage(target, WM_RBUTTONDOWN, 0, 0);
  PostMessage(target, WM_USER + 2, 0, 0);
  wait.StartModal();
  EXPECT_EQ(wait.ModalResult, 1);
  EXPECT_EQ(stops, 1);
  EXPECT_GE(waiting, 1);
  EXPECT_EQ(seen, (std::vector<std::uint32_t>{WM_USER + 1, WM_USER + 2}));
  EXPECT_FALSE(outer_hook_called);
  // The application's own hook is back.
  PostMessage(target, WM_USER + 3, 0, 0);
  Application().ProcessMessages();
  EXPECT_TRUE(outer_hook_called);
  Application().OnMessage = nullptr;
  queue.DeallocateHWnd(target);
}

TEST(WaitControlTest, ModalWaitEndsOnExpiry) {
  TWait wait(nullptr);
  wait.SetInterval(10);
  wait.SetCaption("2");
  wait.StartModal();
  EXPECT_EQ(wait.ModalResult, 2);
  EXPECT_FALSE(wait.Running());
}

// A quit request met during the modal wait cancels it (ModalResult 2, no
// OnTimeout) and stays queued for the loop that owns it.
TEST(WaitControlTest, QuitRequestCancelsTheModalWait) {
  TWait wait(nullptr);
  int timeouts = 0;
  wait.OnTimeout = [&](TObject*) { ++timeouts; };
  TEventQueue& queue = TEventQueue::Current();
  queue.PostQuitMessage();
  wait.StartModal();
  EXPECT_EQ(wait.ModalResult, 2);
  EXPECT_FALSE(wait.Running());
  EXPECT_EQ(timeouts, 0);
  TMessage msg;
  EXPECT_FALSE(queue.GetMessageFor(msg, 0));
  EXPECT_EQ(msg.Msg, WM_QUIT);
}

// The bar shrinks with the remaining count; the caption is printed over it.
TEST(WaitControlTest, PaintDrawsFrameBarAndCaption) {
  TWait wait(nullptr);
  RecordingCanvas canvas;
  wait.SetCanvas(&canvas);
  wait.Paint();
  ASSERT_EQ(canvas.rects.size(), 2u);
  EXPECT_EQ(canvas.rects[0].brush, clWhite);
  EXPECT_EQ(canvas.rects[0].x2, 191);
  EXPECT_EQ(canvas.rects[0].y2, 31);
  EXPECT_EQ(canvas.rects[1].brush, clHighlight);
  EXPECT_EQ(canvas.rects[1].x1, 3);
  EXPECT_EQ(canvas.rects[1].x2, 185 + 3);
  EXPECT_EQ(canvas.rects[1].y2, 28);
  EXPECT_EQ(canvas.texts.back(), "60");
  EXPECT_EQ(canvas.text_x, 4);
  EXPECT_EQ(canvas.text_y, 8);
  EXPECT_EQ(canvas.Font.Name, "Courier");
  EXPECT_EQ(canvas.Font.Size, 8);
  EXPECT_EQ(canvas.Font.Pitch, fpFixed);

  canvas.rects.clear();
  wait.SetCaption("20");  // a third of the initial 60 left
  ASSERT_EQ(canvas.rects.size(), 2u);
  EXPECT_EQ(canvas.rects[1].x2, 20 * 185 / 60 + 3);
  EXPECT_EQ(canvas.texts.back(), "20");

  canvas.rects.clear();
  wait.SetVisible(false);
  wait.SetCaption("10");
  EXPECT_TRUE(canvas.rects.empty());
}

// A socket without MultiThreaded waits on its wait control; the awaited
// state stops the control.
TEST(WaitControlTest, SocketWaitStopsTheControlOnTheState) {
  TKSocket listener(nullptr);
  const int port = test::ListenOnLoopback(listener);
  TWait wait(nullptr);
  TKSocket client(nullptr);
  client.SetWaitCtrl(&wait);
  client.SetAddr("127.0.0.1");
  client.SetPort(std::to_string(port));
  client.Connect();
  EXPECT_TRUE(client.Wait(10, wsConnected));
  EXPECT_EQ(wait.ModalResult, 1);
  EXPECT_FALSE(wait.Visible());
  EXPECT_EQ(wait.Caption(), "10");
}

TEST(WaitControlTest, SocketReadLineWaitsOnTheControl) {
  TKSocket listener(nullptr);
  test::LoopbackClient peer(test::ListenOnLoopback(listener));
  TKSocket socket(nullptr);
  socket.Dup(test::AcceptWaiting(listener));
  TWait wait(nullptr);
  socket.SetWaitCtrl(&wait);
  TEventQueue::Current().PostTask([&] { peer.Send("over the control\r\n"); });
  std::string line;
  socket.ReadLine(10, line);
  EXPECT_EQ(line, "over the control");
  EXPECT_EQ(wait.ModalResult, 1);
}

// A wait control that goes away is forgotten by the socket.
TEST(WaitControlTest, SocketForgetsADestroyedControl) {
  TKSocket socket(nullptr);
  {
    TWait wait(nullptr);
    socket.SetWaitCtrl(&wait);
    EXPECT_EQ(socket.WaitCtrl(), &wait);
  }
  EXPECT_EQ(socket.WaitCtrl(), nullptr);
}

}  // namespace
}  // namespace korvi
