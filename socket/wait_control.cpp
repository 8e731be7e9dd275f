// TCustomWait: the countdown, its modal loop and its painting.
#include "korvi/socket/wait_control.h"

#include "korvi/host/application.h"
#include "korvi/host/sysutils.h"
#include "korvi/socket/message_pump.h"

namespace korvi {
namespace {

constexpr std::uint32_t WM_SYSKEYDOWN = 0x0104;
constexpr std::uint32_t WM_LBUTTONDBLCLK = 0x0203;
constexpr std::uint32_t WM_RBUTTONDBLCLK = 0x0206;

// Longest sleep of one modal pass, so OnWaiting keeps coming while idle.
constexpr int kModalPassMs = 100;

constexpr int kNoCaptionCount = 15;

// Puts the application's message hook back when the modal loop ends, also
// when a handler raised.
class HookScope {
 public:
  explicit HookScope(TApplication::TMessageEvent hook)
      : saved_(std::move(Application().OnMessage)) {
    Application().OnMessage = std::move(hook);
  }
  ~HookScope() { Application().OnMessage = std::move(saved_); }
  HookScope(const HookScope&) = delete;
  HookScope& operator=(const HookScope&) = delete;

 private:
  TApplication::TMessageEvent saved_;
};

}  // namespace

TCustomWait::TCustomWait(TComponent* owner) : TComponent(owner), timer_(new TTimer(this)) {
  font_.Size = 8;
  font_.Name = "Courier";
  font_.Pitch = fpFixed;
  timer_->SetEnabled(false);
  timer_->SetOnTimer([this](TObject* sender) { TimerEvent(sender); });
}

TCustomWait::~TCustomWait() {
  // The timer is freed with the owned components; it must not tick into a
  // half-destroyed control meanwhile.
  timer_->SetEnabled(false);
}

void TCustomWait::SetCaption(std::string caption) {
  caption_ = std::move(caption);
  Invalidate();
}

void TCustomWait::SetVisible(bool visible) {
  visible_ = visible;
  Invalidate();
}

void TCustomWait::Invalidate() {
  if (visible_ && canvas_ != nullptr) Paint();
}

void TCustomWait::Start() {
  initial_count_ = ParseLeadingNumber(caption_);
  if (initial_count_ == 0) {
    initial_count_ = kNoCaptionCount;
    SetCaption(IntToStr(kNoCaptionCount));
  }
  timer_->SetEnabled(true);
  if (OnWaitStart) OnWaitStart(this);
}

void TCustomWait::Stop() {
  ModalResult = 1;
  timer_->SetEnabled(false);
  SetCaption(IntToStr(initial_count_));
  if (OnWaitStop) OnWaitStop(this);
}

void TCustomWait::Restart() {
  SetCaption(IntToStr(initial_count_));
}

void TCustomWait::StartModal() {
  HookScope hook([this](TMessage& msg, bool& handled) { AppMessage(msg, handled); });
  ModalResult = 0;
  Start();
  while (Running()) {
    if (OnWaiting) OnWaiting(this);
    if (PumpApplicationOnce(kModalPassMs) == TPumpResult::Quit) {
      // The application is quitting: give the wait up as cancelled.
      timer_->SetEnabled(false);
      ModalResult = 2;
      SetCaption(IntToStr(initial_count_));
    }
  }
}

void TCustomWait::AppMessage(TMessage& Message, bool& Handled) {
  switch (Message.Msg) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONDBLCLK:
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
      Application().Beep();
      Handled = true;
      break;
    default:
      break;
  }
}

void TCustomWait::TimerEvent(TObject* /*Sender*/) {
  const int count = ParseLeadingNumber(caption_) - 1;
  if (OnWait) OnWait(this, count);
  if (count > 0) {
    caption_ = IntToStr(count);
  } else {
    timer_->SetEnabled(false);
    ModalResult = 2;
    caption_ = IntToStr(initial_count_);
    if (OnTimeout) OnTimeout(this);
  }
  Invalidate();
}

void TCustomWait::Paint() {
  if (canvas_ == nullptr) return;
  const int remaining = ParseLeadingNumber(caption_);
  const int bar = initial_count_ > 0 ? remaining * (Width - 7) / initial_count_ : 0;
  TWaitCanvas& canvas = *canvas_;
  canvas.Pen = pen_;
  canvas.Font = font_;
  canvas.Brush = brush_;
  canvas.Brush.Color = clWhite;
  canvas.Rectangle(0, 0, Width - 1, Height - 1);
  canvas.Brush.Color = clHighlight;
  canvas.Rectangle(3, 3, bar + 3, Height - 4);
  canvas.TextOut(4, Height / 2 - 8, caption_);
}

}  // namespace korvi
