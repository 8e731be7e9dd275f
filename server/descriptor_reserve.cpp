// The spare descriptor and back-off of a listener that ran out of descriptors.
#include "server/descriptor_reserve.h"

#include <fcntl.h>
#include <sys/socket.h>

#include "socket/ksocket.h"
#include "socket/socket_errors.h"

namespace korvi {

TDescriptorReserve::TDescriptorReserve(TCustomKSocket& listener)
    : listener_(listener), back_off_(nullptr) {
  OpenSpare();
  back_off_.SetEnabled(false);
  back_off_.SetInterval(kAcceptBackOffMs);
  back_off_.SetOnTimer([this](TObject*) { EndBackOff(); });
}

bool TDescriptorReserve::IsShortage(int socket_error) {
  return socket_error == WSAEMFILE || socket_error == WSAENOBUFS;
}

void TDescriptorReserve::Refuse() {
  OpenSpare();
  if (spare_.Valid()) {
    spare_.Reset();
    TFileDescriptor refused(accept4(listener_.Handle(), nullptr, nullptr, SOCK_CLOEXEC));
    if (refused.Valid()) {
      // The connection ends here; its descriptor, kept open, is the spare
      // from now on.
      shutdown(refused.Get(), SHUT_RDWR);
      spare_ = std::move(refused);
      return;
    }
    OpenSpare();
  }
  // No spare: stop hearing of waiting connections for a moment.
  listener_.Pause();
  back_off_.SetEnabled(true);
}

void TDescriptorReserve::OpenSpare() {
  if (!spare_.Valid()) spare_.Reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
}

void TDescriptorReserve::EndBackOff() {
  back_off_.SetEnabled(false);
  OpenSpare();
  // A listener closed meanwhile stays closed.
  if (listener_.State() == wsListening) listener_.Resume();
}

}  // namespace korvi
