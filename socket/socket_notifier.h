/// \file
/// TSocketNotifier: the notification channel of one socket object.
///
/// It owns a message target (HWND) on the event queue of the thread that
/// created it and watches the socket's descriptor there. Descriptor readiness
/// becomes the five Windows Sockets notifications, posted to the target as
/// WM_ASYNCSELECT messages (WParam = descriptor, LParam = event bit in bits
/// 0-15, error in bits 16-31, and the registration it belongs to in the upper
/// 32 bits), with Winsock's meaning:
///   FD_READ    bytes are pending; not posted again until a receive call
///              re-enables it (then again while bytes remain),
///   FD_WRITE   after a connect completes, when a connected socket is
///              registered (adopted, or resumed after a pause), and when the
///              socket became writable after a send that would block or that
///              the system took only in part,
///   FD_ACCEPT  a connection waits; re-enabled by an accept call,
///   FD_CONNECT once, when a connect finished, with its error,
///   FD_CLOSE   once, when the peer closed or reset the connection, posted
///              after the FD_READ of the bytes still pending. Without a
///              reset, FD_WRITE still follows while the connection takes
///              bytes: a peer may only have ended its own direction.
/// Readiness is only watched while a notification is armed, so a socket whose
/// owner does not react does not keep the thread busy. Input alone stays
/// watched for a look or two once its FD_READ is posted, so the receive
/// that usually follows re-arms FD_READ without touching the watch.
///
/// Every registration (each Select, and each Release) has an identity of its
/// own that its notifications carry. A notification still queued when the
/// descriptor was closed or registered again is stale: IsCurrent rejects it,
/// so it cannot reach a later connection that Linux gave the same number.
#pragma once

#include <cstdint>

#include "korvi/host/event_queue.h"

namespace korvi {

///@{
/// Notification bits (as in Windows Sockets).
constexpr unsigned FD_READ = 1;
constexpr unsigned FD_WRITE = 2;
constexpr unsigned FD_OOB = 4;
constexpr unsigned FD_ACCEPT = 8;
constexpr unsigned FD_CONNECT = 16;
constexpr unsigned FD_CLOSE = 32;
///@}

///@{
/// Socket notification message and host lookup completion message.
constexpr std::uint32_t WM_ASYNCSELECT = WM_USER + 1;
constexpr std::uint32_t WM_ASYNCGETHOSTBYNAME = WM_USER + 2;
///@}

/// The LParam of a notification: event bits low, error high.
inline std::intptr_t WSAMakeSelectReply(unsigned event, unsigned error) {
  return static_cast<std::intptr_t>((event & 0xFFFFu) | ((error & 0xFFFFu) << 16));
}
/// The event bits of a notification's LParam.
inline unsigned WSAGetSelectEvent(std::intptr_t lparam) {
  return static_cast<unsigned>(lparam) & 0xFFFFu;
}
/// The error of a notification's (or lookup completion's) LParam.
inline std::uint16_t WSAGetSelectError(std::intptr_t lparam) {
  return static_cast<std::uint16_t>((static_cast<std::uintptr_t>(lparam) >> 16) & 0xFFFFu);
}

/// One socket's notification channel: a message target on its thread's queue that watches the
/// system socket.
class TSocketNotifier {
 public:
  /// Creates the message target on the calling thread's queue; its messages
  /// go to `method`.
  explicit TSocketNotifier(TWndMethod method);
  /// Stops watching and removes the target. Call on the owning thread, or
  /// after it ended (debug builds check this).
  ~TSocketNotifier();
  TSocketNotifier(const TSocketNotifier&) = delete;
  TSocketNotifier& operator=(const TSocketNotifier&) = delete;

  /// The message target; any thread may post to it.
  HWND Handle() const { return wnd_; }
  /// Registers the notifications in `mask` for `fd` (0 switches them off) and
  /// puts the descriptor in non-blocking mode. Every registration reports
  /// afresh what holds now (bytes or connections pending, room to send on a
  /// connected socket, a closed connection); a connect in progress stays
  /// pending. False (and the last socket error set) when it fails.
  bool Select(int fd, unsigned mask);
  /// Select for a stream connection that a listening socket has just
  /// accepted: what Select asks the system about the descriptor is known.
  /// `non_blocking`: the accept made it non-blocking already.
  bool SelectAccepted(int fd, unsigned mask, bool non_blocking);
  /// Forgets the descriptor (call before it is closed; also safe once the
  /// owning thread has ended).
  void Release();

  /// A receive call was made: FD_READ may be posted again.
  void ReadCalled();
  /// An accept call was made: FD_ACCEPT may be posted again.
  void AcceptCalled();
  /// A send would block or was taken in part: FD_WRITE follows when writable.
  void WriteBlocked();
  /// A non-blocking connect was started: FD_CONNECT (and FD_WRITE) follow.
  void ConnectStarted();

  /// Posts a notification for the current registration; false when the target is gone.
  bool Post(unsigned event, int error);
  /// True when `msg` is a notification of the current registration (not one
  /// queued for a descriptor since closed or registered again).
  bool IsCurrent(const TMessage& msg) const;

 private:
  /// Arms the notifications of a new registration of `fd`, whose kind is
  /// set, as Select does once it is non-blocking; Update then watches them.
  void Register(int fd, unsigned mask, bool connected);
  void Ready(std::uint32_t events);
  void Update();
  int PendingBytes() const;
  int TakeSocketError() const;
  HWND wnd_ = 0;
  TEventQueue* queue_;
  int fd_ = -1;
  std::uint32_t registration_ = 0;  ///< identity of the current registration
  unsigned mask_ = 0;
  bool listening_ = false;
  bool datagram_ = false;
  bool watched_ = false;
  std::uint32_t watched_events_ = 0;
  bool gone_ = false;       ///< the connection broke: nothing more to watch
  bool read_done_ = false;  ///< the peer finished sending: no input to watch
  bool read_armed_ = false;
  /// Looks at input left while FD_READ is out and input is still watched.
  std::uint8_t read_looks_ = 0;
  bool accept_armed_ = false;
  /// Looks at a ready listener left while FD_ACCEPT is out.
  std::uint8_t accept_looks_ = 0;
  bool write_armed_ = false;
  bool connect_armed_ = false;
  bool close_armed_ = false;
};

}  // namespace korvi
