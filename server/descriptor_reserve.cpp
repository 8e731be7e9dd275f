// The spare descriptor and back-off of a listener that ran out of descriptors.
#include "korvi/server/descriptor_reserve.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>

#include "korvi/server/connection_refusal.h"
#include "korvi/socket/ksocket.h"
#include "korvi/socket/socket_errors.h"

namespace korvi {

TDescriptorReserve::TDescriptorReserve(TCustomKSocket& listener)
    : listener_(listener), back_off_(nullptr) {
  OpenSpares();
  back_off_.SetEnabled(false);
  back_off_.SetInterval(kAcceptBackOffMs);
  back_off_.SetOnTimer([this](TObject*) { EndBackOff(); });
}

bool TDescriptorReserve::IsShortage(int socket_error) {
  return socket_error == WSAEMFILE || socket_error == WSAENOBUFS;
}

std::optional<std::string> TDescriptorReserve::Refuse() {
  OpenSpares();
  auto spare = std::find_if(spares_.begin(), spares_.end(),
                            [](const TFileDescriptor& fd) { return fd.Valid(); });
  if (spare != spares_.end()) {
    spare->Reset();
    TFileDescriptor refused(accept4(listener_.Handle(), nullptr, nullptr, SOCK_CLOEXEC));
    if (refused.Valid()) {
      // The connection ends here; its descriptor, kept open, is the spare
      // from now on.
      std::string address = ClientAddressOf(refused.Get());
      shutdown(refused.Get(), SHUT_RDWR);
      *spare = std::move(refused);
      // The other spare may be missing: it is looked for shortly.
      back_off_.SetEnabled(true);
      return address;
    }
  }
  // No spare, or its number went to another thread before the accept
  // (a worker setting up): stop hearing of waiting connections for a moment,
  // until the threads setting up are done; the other spare refuses next.
  listener_.Pause();
  paused_ = true;
  back_off_.SetEnabled(true);
  return std::nullopt;
}

void TDescriptorReserve::OpenSpares() {
  for (TFileDescriptor& spare : spares_) {
    if (!spare.Valid()) spare.Reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
  }
}

void TDescriptorReserve::EndBackOff() {
  OpenSpares();
  // A listener closed meanwhile stays closed.
  if (paused_ && listener_.State() == wsListening) listener_.Resume();
  paused_ = false;
  // A spare still missing is looked for again a moment later, until
  // descriptors are free again.
  const bool complete = std::all_of(spares_.begin(), spares_.end(),
                                    [](const TFileDescriptor& fd) { return fd.Valid(); });
  back_off_.SetEnabled(!complete);
}

}  // namespace korvi
