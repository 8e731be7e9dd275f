/// \file
/// TWait: the countdown control that a socket without MultiThreaded uses to
/// wait on the user-interface thread for a line, a state or an emptied send
/// chain while the application keeps running but ignores pointer and key
/// input.
///
/// The control is headless: its timer ticks through the event queue of the
/// thread that created it, its modal loop pumps the application's messages,
/// and Paint draws onto whatever TWaitCanvas the application attaches (a
/// countdown bar with the remaining seconds printed over it).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "korvi/host/component.h"
#include "korvi/host/event_queue.h"
#include "korvi/host/timer.h"

namespace korvi {

/// A colour as RGB (0x00BBGGRR) or a system colour (0x80000000 | index).
using TColor = std::uint32_t;
/// Black.
constexpr TColor clBlack = 0x000000;
/// White.
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clHighlight = 0x8000000D;  ///< the system highlight colour

/// Font pitch: the font's own, proportional or fixed.
enum TFontPitch { fpDefault, fpVariable, fpFixed };

/// Outline drawing settings.
struct TPen {
  /// The outline colour.
  TColor Color = clBlack;
};
/// Fill drawing settings.
struct TBrush {
  /// The fill colour.
  TColor Color = clWhite;
};
/// Text drawing settings.
struct TFont {
  /// Size in points.
  int Size = 8;
  /// Typeface name.
  std::string Name = "MS Sans Serif";
  /// Proportional or fixed pitch.
  TFontPitch Pitch = fpDefault;
};

/// The surface a TWait paints on: the current pen, brush and font, a filled
/// rectangle and a text.
class TWaitCanvas {
 public:
  virtual ~TWaitCanvas() = default;
  /// Outline settings of Rectangle.
  TPen Pen;
  /// Fill settings of Rectangle.
  TBrush Brush;
  /// Text settings of TextOut.
  TFont Font;
  /// Draws a rectangle from (x1, y1) to (x2, y2) outlined with Pen, filled with Brush.
  virtual void Rectangle(int x1, int y1, int x2, int y2) = 0;
  /// Draws `text` with its top-left corner at (x, y) in Font.
  virtual void TextOut(int x, int y, const std::string& text) = 0;
};

/// Tick event of the countdown: the count after this tick.
using TWaitEvent = std::function<void(TObject* Sender, int Count)>;

/// The countdown control (published as TWait).
class TCustomWait : public TComponent {
 public:
  /// Creates the control: 192 x 32, caption "60", a disabled 1000 ms timer
  /// that ticks on the calling thread.
  explicit TCustomWait(TComponent* owner);
  ~TCustomWait() override;

  /// Draws the bar and the caption on the attached canvas.
  virtual void Paint();
  /// Starts counting down from the caption (15 when it holds no number).
  virtual void Start();
  /// Ends the countdown with ModalResult 1 and restores the caption.
  virtual void Stop();
  /// Starts counting down and pumps the application's messages until the
  /// countdown ends, swallowing pointer and key input meanwhile.
  virtual void StartModal();
  /// Sets the caption back to the initial count (the timer keeps its state).
  virtual void Restart();

  /// Message hook installed while StartModal runs: mouse-button and key-down
  /// messages beep and are marked handled; everything else passes.
  void AppMessage(TMessage& Message, bool& Handled);

  /// The countdown text (remaining seconds).
  const std::string& Caption() const { return caption_; }
  /// Sets the countdown text and redraws.
  void SetCaption(std::string caption);
  /// The countdown is running (the timer is enabled).
  bool Running() const { return timer_->Enabled(); }
  /// The same as Running.
  bool GetRunning() const { return Running(); }
  /// Milliseconds per tick.
  std::uint16_t GetInterval() const { return static_cast<std::uint16_t>(timer_->Interval()); }
  /// Sets the milliseconds per tick.
  void SetInterval(std::uint16_t interval) { timer_->SetInterval(interval); }
  /// The count the current or last countdown started from.
  int InitialCount() const { return initial_count_; }
  /// Shown or hidden; only a visible control paints.
  bool Visible() const { return visible_; }
  /// Shows or hides the control.
  void SetVisible(bool visible);
  /// The surface Paint draws on (nullptr: nothing is drawn). Not owned.
  TWaitCanvas* Canvas() const { return canvas_; }
  /// Attaches the surface Paint draws on.
  void SetCanvas(TWaitCanvas* canvas) { canvas_ = canvas; }
  /// Redraws the control when it is visible and has a canvas.
  void Invalidate();

  /// Width in pixels.
  int Width = 192;
  /// Height in pixels.
  int Height = 32;
  /// 0 while a modal wait runs, 1 after Stop, 2 after the countdown expired.
  int ModalResult = 0;

  TWaitEvent OnWait;         ///< each tick, with the new count
  TNotifyEvent OnWaiting;    ///< each pass of the modal loop
  TNotifyEvent OnWaitStart;  ///< Start
  TNotifyEvent OnWaitStop;   ///< Stop
  TNotifyEvent OnTimeout;    ///< the countdown expired

 protected:
  /// One tick of the countdown.
  void TimerEvent(TObject* Sender);

 private:
  TPen pen_;
  TFont font_;
  TBrush brush_;
  std::string caption_ = "60";
  TTimer* timer_;  ///< owned through the component owner chain
  int initial_count_ = 60;
  bool visible_ = true;
  TWaitCanvas* canvas_ = nullptr;
};

/// The wait control as the application developer places it.
class TWait : public TCustomWait {
 public:
  using TCustomWait::TCustomWait;
};

}  // namespace korvi
