// Socket library bookkeeping and the blocking host lookups.
#include "korvi/socket/name_lookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "korvi/host/exceptions.h"
#include "korvi/host/sysutils.h"
#include "korvi/socket/socket_errors.h"

namespace korvi {
namespace {

// Host texts longer than this are refused rather than cut.
constexpr size_t kMaxHostText = 256;

// WinsockStarted and SocketCount change together, from any thread.
struct LibraryState {
  std::mutex lock;
  bool started = false;
  int sockets = 0;
};

LibraryState& Library() {
  static LibraryState state;
  return state;
}

THostEntry EntryFromHostent(const hostent& host) {
  THostEntry entry;
  if (host.h_name) entry.Name = host.h_name;
  for (char** alias = host.h_aliases; alias && *alias; ++alias)
    entry.Aliases.emplace_back(*alias);
  if (host.h_addrtype == AF_INET && host.h_length == 4) {
    for (char** addr = host.h_addr_list; addr && *addr; ++addr) {
      in_addr a;
      std::memcpy(&a, *addr, sizeof a);
      entry.Addresses.push_back(a.s_addr);
    }
  }
  return entry;
}

// Runs a reentrant host lookup, growing its scratch buffer while it is too
// small; the entry, or empty with the socket error code in `error`.
template <typename Lookup>
std::optional<THostEntry> RunHostLookup(Lookup lookup, int& error) {
  std::vector<char> scratch(1024);
  for (;;) {
    hostent host{};
    hostent* result = nullptr;
    int herr = 0;
    const int rc = lookup(&host, scratch.data(), scratch.size(), &result, &herr);
    if (rc == ERANGE && scratch.size() < (1u << 20)) {
      scratch.resize(scratch.size() * 2);
      continue;
    }
    if (rc != 0 || result == nullptr) {
      error = WinsockErrorFromResolver(herr != 0 ? herr : HOST_NOT_FOUND);
      return std::nullopt;
    }
    error = 0;
    return EntryFromHostent(host);
  }
}

}  // namespace

bool WinsockStartup(const std::string& /*LibraryName*/) {
  LibraryState& state = Library();
  std::lock_guard<std::mutex> guard(state.lock);
  state.started = true;
  return true;
}

void WinsockCleanup() {
  LibraryState& state = Library();
  std::lock_guard<std::mutex> guard(state.lock);
  state.started = false;
}

bool WinsockStarted() {
  LibraryState& state = Library();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.started;
}

TWSAData WinsockInfo() {
  WinsockStartup();
  TWSAData data;
  data.wVersion = 0x0101;
  data.wHighVersion = 0x0101;
  data.szDescription = "Korvi sockets on Linux (BSD sockets, epoll)";
  data.szSystemStatus = "Running";
  return data;
}

int SocketCount() {
  LibraryState& state = Library();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.sockets;
}

void SocketCreated() {
  LibraryState& state = Library();
  std::lock_guard<std::mutex> guard(state.lock);
  ++state.sockets;
  state.started = true;
}

void SocketDestroyed() {
  LibraryState& state = Library();
  std::lock_guard<std::mutex> guard(state.lock);
  --state.sockets;
  if (state.started && state.sockets <= 0) {
    state.started = false;
    state.sockets = 0;
  }
}

bool ParseDottedAddress(std::string_view text, std::uint32_t& addr) {
  if (text.empty() || text.size() > 15) return false;
  for (char c : text) {
    if (!(c == '.' || (c >= '0' && c <= '9'))) return false;
  }
  const std::string copy(text);
  in_addr a;
  if (inet_aton(copy.c_str(), &a) == 0) return false;
  addr = a.s_addr;
  return true;
}

std::string DottedAddress(std::uint32_t addr) {
  const auto* b = reinterpret_cast<const unsigned char*>(&addr);
  return Format("%d.%d.%d.%d", {b[0], b[1], b[2], b[3]});
}

std::uint32_t KSocketResolveHost(const std::string& Host) {
  WinsockStartup();
  const std::string text = Trim(Host);
  std::uint32_t addr = 0;
  if (ParseDottedAddress(text, addr)) return addr;
  if (text == "255.255.255.255") return INADDR_BROADCAST;
  if (!text.empty() && text.size() <= kMaxHostText) {
    int error = 0;
    const auto entry = KSocketGetHostByName(text, error);
    if (entry && !entry->Addresses.empty()) return entry->Addresses.front();
  }
  throw ESocketException(Format("SetAddr: Cannot convert host address '%s'", {Host}));
}

std::optional<THostEntry> KSocketGetHostByAddr(const std::string& Addr) {
  WinsockStartup();
  std::uint32_t addr = 0;
  if (Addr.size() > kMaxHostText || !ParseDottedAddress(Trim(Addr), addr)) return std::nullopt;
  int error = 0;
  return RunHostLookup(
      [&](hostent* host, char* buf, size_t len, hostent** result, int* herr) {
        return gethostbyaddr_r(&addr, sizeof addr, AF_INET, host, buf, len, result, herr);
      },
      error);
}

std::optional<THostEntry> KSocketGetHostByName(const std::string& Name) {
  int error = 0;
  return KSocketGetHostByName(Name, error);
}

std::optional<THostEntry> KSocketGetHostByName(const std::string& Name, int& Error) {
  WinsockStartup();
  if (Name.empty() || Name.size() > kMaxHostText) {
    Error = WSAHOST_NOT_FOUND;
    return std::nullopt;
  }
  return RunHostLookup(
      [&](hostent* host, char* buf, size_t len, hostent** result, int* herr) {
        return gethostbyname_r(Name.c_str(), host, buf, len, result, herr);
      },
      Error);
}

std::string LocalHostName() {
  WinsockStartup();
  char name[65] = {};
  if (gethostname(name, sizeof name - 1) != 0) {
    throw ESocketException("Winsock.GetHostName failed");
  }
  return name;
}

TStringList& LocalIPList() {
  // One list per thread, made on the thread's first call: a list refilled
  // here is never one another thread is reading, and nothing at namespace
  // scope depends on when it is created or freed.
  thread_local TStringList local_ips;
  local_ips.Clear();
  if (const auto entry = KSocketGetHostByName(LocalHostName())) {
    for (std::uint32_t addr : entry->Addresses)
      local_ips.Add(DottedAddress(addr));
  }
  return local_ips;
}

}  // namespace korvi
