// TDescriptorReserve: keeps a listening socket responsive when the process
// has no descriptor left.
//
// A connection that cannot be accepted for want of a descriptor stays in
// the listener's queue, and the listener reports it again at once, so the
// accepting thread would spin without end. The reserve holds one spare
// descriptor for that moment: it gives it up, accepts the waiting
// connection and shuts it down (the client learns at once that it was
// refused), and keeps that connection's descriptor as the next spare, so no
// number is free for another thread to take in between. When even that
// fails (another thread took the freed number before the accept), the
// listener pauses for a short while instead, and the spare is taken again
// as soon as a descriptor is free.
#pragma once

#include "host/file_descriptor.h"
#include "host/timer.h"

namespace korvi {

class TCustomKSocket;

// Milliseconds a listener pauses when it cannot even refuse a connection.
constexpr unsigned kAcceptBackOffMs = 100;

class TDescriptorReserve {
 public:
  // Takes the spare descriptor for `listener` (kept by reference); create it
  // on the listener's thread.
  explicit TDescriptorReserve(TCustomKSocket& listener);

  // True for the socket errors that mean the process (or the system) is
  // out of descriptors or buffers.
  static bool IsShortage(int socket_error);
  // Refuses one waiting connection, or pauses the listener when it cannot.
  void Refuse();

 private:
  void OpenSpare();
  void EndBackOff();
  TCustomKSocket& listener_;
  TFileDescriptor spare_;
  TTimer back_off_;
};

}  // namespace korvi
