// Process and system figures for the benchmarks: resident and virtual
// memory and the thread count from /proc/self/status, and the kernel's count of connections dropped
// at full listen queues.
#pragma once

#include <cstdint>

namespace korvi::bench {

// Memory and thread figures of this process at one moment.
struct TProcessStatus {
  std::int64_t ResidentBytes = 0;  // VmRSS
  std::int64_t VirtualBytes = 0;   // VmSize
  int Threads = 0;                 // Threads
};

// Reads /proc/self/status; raises std::runtime_error when it cannot.
TProcessStatus ReadProcessStatus();

// The kernel's ListenOverflows counter (/proc/net/netstat): how often a
// connection attempt found a listener's accept queue full, for every
// listener of this network namespace; -1 when it cannot be read.
std::int64_t ReadListenOverflows();

}  // namespace korvi::bench
