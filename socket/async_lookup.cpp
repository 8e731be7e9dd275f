// Resolver threads for the asynchronous host lookup.
#include "korvi/socket/async_lookup.h"

#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>

#include "korvi/socket/name_lookup.h"
#include "korvi/socket/socket_errors.h"
#include "korvi/socket/socket_notifier.h"

namespace korvi {
namespace {

// Keeps the resolver threads so that none outlives the process's statics:
// finished ones are joined when the next lookup starts, the rest at exit.
class ResolverThreads {
 public:
  ~ResolverThreads() {
    std::lock_guard<std::mutex> guard(lock_);
    for (Entry& entry : threads_)
      entry.thread.join();
  }

  void Start(std::shared_ptr<TLookupRequest> request, HWND wnd) {
    std::lock_guard<std::mutex> guard(lock_);
    JoinFinished();
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([request = std::move(request), wnd, done] {
      Resolve(*request);
      PostMessage(wnd, WM_ASYNCGETHOSTBYNAME, static_cast<std::uintptr_t>(request->Handle),
                  WSAMakeSelectReply(0, static_cast<unsigned>(request->Error)));
      done->store(true);
    });
    threads_.push_back(Entry{std::move(thread), std::move(done)});
  }

 private:
  struct Entry {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  static void Resolve(TLookupRequest& request) {
    int error = 0;
    const auto entry = KSocketGetHostByName(request.HostName, error);
    if (entry && !entry->Addresses.empty()) {
      request.Addresses = entry->Addresses;
      request.Error = 0;
    } else {
      request.Error = error != 0 ? error : WSANO_DATA;
    }
  }

  void JoinFinished() {
    std::erase_if(threads_, [](Entry& entry) {
      if (!entry.done->load()) return false;
      entry.thread.join();
      return true;
    });
  }

  std::mutex lock_;
  std::vector<Entry> threads_;
};

ResolverThreads& Resolvers() {
  static ResolverThreads resolvers;
  return resolvers;
}

}  // namespace

std::shared_ptr<TLookupRequest> NewLookupRequest(const std::string& host_name) {
  static std::atomic<std::uint64_t> next_handle{1};
  auto request = std::make_shared<TLookupRequest>();
  request->Handle = next_handle.fetch_add(1);
  request->HostName = host_name;
  return request;
}

bool StartAsyncLookup(std::shared_ptr<TLookupRequest> request, HWND wnd) {
  try {
    Resolvers().Start(std::move(request), wnd);
    return true;
  } catch (const std::system_error& error) {
    WSASetLastError(WinsockErrorFromErrno(error.code().value()));
    return false;
  }
}

}  // namespace korvi
