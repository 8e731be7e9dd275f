// Name lookup and the socket library's process-wide state.
//
// The socket library is "started" once per process before the first socket
// is used and "shut down" when the last socket object goes away; on Linux
// there is nothing to load, but the bookkeeping (WinsockStarted, SocketCount)
// is kept and guarded so that sockets may be created and destroyed on any
// thread. The blocking lookups here run on the calling thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "korvi/host/string_list.h"

namespace korvi {

// The start-up record of the socket library.
struct TWSAData {
  std::uint16_t wVersion = 0;      // version in use (1.1 = 0x0101)
  std::uint16_t wHighVersion = 0;  // highest version supported
  std::string szDescription;       // library description
  std::string szSystemStatus;      // status text
  std::uint16_t iMaxSockets = 0;   // sockets one process may open (0 = no fixed limit)
  std::uint16_t iMaxUdpDg = 0;     // largest datagram (0 = no fixed limit)
};

// A host entry of a forward or reverse lookup.
struct THostEntry {
  std::string Name;                      // official host name
  std::vector<std::string> Aliases;      // other names
  std::vector<std::uint32_t> Addresses;  // IPv4 addresses, network byte order
};

// Starts the socket library once per process; returns true. `LibraryName`
// names the library in the start-up failure text "%s: WSAStartup error #%d".
bool WinsockStartup(const std::string& LibraryName = "wsock32.dll");
// Shuts the socket library down (clears WinsockStarted).
void WinsockCleanup();
// True while the socket library is started.
bool WinsockStarted();
// Starts the library if needed and returns a copy of its start-up record.
TWSAData WinsockInfo();

// Number of live socket objects.
int SocketCount();
// Counts a new socket object and starts the library when needed (socket constructor).
void SocketCreated();
// Uncounts a socket object; the last one shuts the library down (socket destructor).
void SocketDestroyed();

// Parses a dotted IPv4 text (also the short forms "10.1" and "127.1");
// true and the address in network order in `addr` on success.
bool ParseDottedAddress(std::string_view text, std::uint32_t& addr);
// "%d.%d.%d.%d" of an address given in network order.
std::string DottedAddress(std::uint32_t addr);

// An IPv4 address (network order) for a dotted text or a host name (blocking
// lookup, first address). Raises ESocketException
// "SetAddr: Cannot convert host address '<Host>'" when the name does not resolve.
std::uint32_t KSocketResolveHost(const std::string& Host);
// Reverse lookup of a dotted address; empty when it fails.
std::optional<THostEntry> KSocketGetHostByAddr(const std::string& Addr);
// Forward lookup of a host name (IPv4 addresses only); empty when it fails.
std::optional<THostEntry> KSocketGetHostByName(const std::string& Name);
// The same, with the socket error code of a failure in `Error` (0 on success).
std::optional<THostEntry> KSocketGetHostByName(const std::string& Name, int& Error);
// The machine's host name; raises ESocketException "Winsock.GetHostName failed".
std::string LocalHostName();
// The dotted addresses of LocalHostName(), in the calling thread's own list:
// the next call on the same thread refills it, and calls on other threads
// never touch it. The list lives until its thread ends.
TStringList& LocalIPList();

}  // namespace korvi
