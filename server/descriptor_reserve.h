/// \file
/// TDescriptorReserve: keeps a listening socket responsive when the process
/// has no descriptor left.
///
/// A connection that cannot be accepted for want of a descriptor stays in
/// the listener's queue, and the listener reports it again at once, so the
/// accepting thread would spin without end. The reserve holds two spare
/// descriptors for that moment: it gives one up, accepts the waiting
/// connection and shuts it down (the client learns at once that it was
/// refused), and keeps that connection's descriptor as the spare from then
/// on, so no number is free for another thread to take in between. Another
/// thread can still take the freed number before the accept (a worker
/// setting up its connection); then the listener pauses for a short while,
/// until such threads are done, and the second spare refuses next. A spare
/// lost that way is looked for every back-off period until descriptors are
/// free again.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "korvi/host/file_descriptor.h"
#include "korvi/host/timer.h"

namespace korvi {

class TCustomKSocket;

/// Milliseconds a listener pauses when it cannot even refuse a connection.
constexpr unsigned kAcceptBackOffMs = 100;

/// Keeps a listening socket responsive when the process has no descriptor left.
class TDescriptorReserve {
 public:
  /// Takes the spare descriptor for `listener` (kept by reference); create it
  /// on the listener's thread.
  explicit TDescriptorReserve(TCustomKSocket& listener);

  /// True for the socket errors that mean the process (or the system) is
  /// out of descriptors or buffers.
  static bool IsShortage(int socket_error);
  /// Refuses one waiting connection and gives its client's address, or
  /// pauses the listener when it cannot (nothing then).
  std::optional<std::string> Refuse();

 private:
  /// Opens the spares that are missing, as far as descriptors are free.
  void OpenSpares();
  void EndBackOff();
  TCustomKSocket& listener_;
  std::array<TFileDescriptor, 2> spares_;
  bool paused_ = false;  ///< the listener is paused until the back-off ends
  TTimer back_off_;
};

}  // namespace korvi
