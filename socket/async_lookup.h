// Asynchronous host lookups: each runs on a resolver thread of its own and
// posts its completion as WM_ASYNCGETHOSTBYNAME (WParam = lookup handle,
// error in the high 16 bits of LParam) to the message target that asked, so
// the result is handled on the thread that owns that target. A completion
// whose target is gone is dropped; the resolver threads are joined when the
// process ends.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "korvi/host/event_queue.h"

namespace korvi {

// One lookup: the name asked for and, once the completion message arrived,
// its result. Shared between the asking socket and the resolver thread.
struct TLookupRequest {
  std::uint64_t Handle = 0;              // non-zero, unique in the process
  std::string HostName;                  // the name to resolve
  std::vector<std::uint32_t> Addresses;  // IPv4 addresses in network order
  int Error = 0;                         // socket error code (0 = resolved)
};

// Creates a request with a fresh handle for `host_name`.
std::shared_ptr<TLookupRequest> NewLookupRequest(const std::string& host_name);
// Resolves the request's name on a resolver thread and posts the completion
// to `wnd`. False (with the last socket error set) when no thread could be started.
bool StartAsyncLookup(std::shared_ptr<TLookupRequest> request, HWND wnd);

}  // namespace korvi
