/// \file
/// TApplication: the main thread's message loop, its message hook, message
/// boxes and a clean stop on SIGINT/SIGTERM.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "korvi/host/event_queue.h"

namespace korvi {

/// The application object: the main thread's message loop and its hooks.
class TApplication {
 public:
  /// Hook that sees every message the main loop takes before it is
  /// dispatched; setting `handled` swallows the message.
  using TMessageEvent = std::function<void(TMessage& msg, bool& handled)>;
  /// Replacement for the message box (one line on standard error by default).
  using TMessageBoxEvent = std::function<void(const std::string& text, const std::string& caption)>;

  /// Runs the main thread's loop until Terminate (main thread only).
  void Run();
  /// Dispatches the messages already queued on the calling thread's queue
  /// (through OnMessage on the main thread).
  void ProcessMessages();
  /// Takes and dispatches one message, waiting for it; false on WM_QUIT.
  bool HandleMessage();
  /// Takes one message of the calling thread's queue, waiting at most
  /// `timeout_ms` (-1: no limit), and dispatches it (through OnMessage on the
  /// main thread); true when a message was handled. False when none came in
  /// time or a quit request came: that request is put back for the loop that
  /// owns it, and `*quit` (when given) tells the two apart.
  bool HandleMessageFor(int timeout_ms, bool* quit = nullptr);
  /// Ends Run; safe from any thread and from a signal.
  void Terminate();
  /// True once Terminate was called.
  bool Terminated() const { return terminated_; }
  /// Makes SIGINT and SIGTERM call Terminate (and ignores SIGPIPE).
  void HandleStopSignals();
  /// Shows a message: OnMessageBox when set, else "caption: text" on stderr.
  void MessageBox(const std::string& text, const std::string& caption);
  /// A short audible signal (a BEL on standard error when it is a terminal).
  void Beep();

  /// Sees every message the main loop takes (see TMessageEvent).
  TMessageEvent OnMessage;
  /// Replaces the message box (see TMessageBoxEvent).
  TMessageBoxEvent OnMessageBox;

 private:
  bool Filter(TMessage& msg);
  std::atomic<bool> terminated_{false};
};

/// The process's application object.
TApplication& Application();

}  // namespace korvi
