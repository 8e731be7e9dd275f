// TCustomKSocket host lookup: DnsLookup, its cancellation and its completion.
#include "korvi/socket/async_lookup.h"
#include "korvi/socket/ksocket.h"
#include "korvi/socket/name_lookup.h"

namespace korvi {

void TCustomKSocket::DnsLookup(const std::string& HostName) {
  if (HostName.empty()) {
    RaiseException("DNS lookup: invalid host name.");
    TriggerDNSLookupDone(WSAEINVAL);
    return;
  }
  // A pending lookup is replaced without an event.
  lookup_.reset();
  LookupHandle = 0;
  dns_result_.clear();
  dns_result_list_.Clear();
  std::uint32_t addr = 0;
  if (ParseDottedAddress(HostName, addr)) {
    dns_result_ = DottedAddress(addr);
    TriggerDNSLookupDone(0);
    return;
  }
  auto request = NewLookupRequest(HostName);
  if (!StartAsyncLookup(request, WindowHandle())) {
    RaiseExceptionFmt("%s: can't start DNS lookup, error #%d", {HostName, WSAGetLastError()});
    return;
  }
  LookupHandle = request->Handle;
  lookup_ = std::move(request);
}

void TCustomKSocket::CancelDnsLookup() {
  if (LookupHandle == 0) return;
  // The resolver thread finishes on its own; its completion no longer
  // matches LookupHandle and is ignored.
  lookup_.reset();
  LookupHandle = 0;
  if (!destroying_) TriggerDNSLookupDone(WSAEINTR);
}

void TCustomKSocket::WMAsyncGetHostByName(TMessage& msg) {
  if (LookupHandle == 0 || msg.WParam != LookupHandle) return;
  const std::shared_ptr<TLookupRequest> request = std::move(lookup_);
  LookupHandle = 0;
  const std::uint16_t error = WSAGetSelectError(msg.LParam);
  if (error == 0 && request) {
    for (std::uint32_t addr : request->Addresses)
      dns_result_list_.Add(DottedAddress(addr));
    if (dns_result_list_.Count() > 0) dns_result_ = dns_result_list_[0];
  }
  TriggerDNSLookupDone(error);
}

}  // namespace korvi
