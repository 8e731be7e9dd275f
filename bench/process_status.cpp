// Process figures read from /proc/self/status, and the listen-queue
// overflow counter of /proc/net/netstat.
#include "process_status.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace korvi::bench {

namespace {

// The number after "Name:" in a status line (kB for the memory lines).
std::int64_t FieldNumber(const std::string& line, std::size_t name_length) {
  return std::stoll(line.substr(name_length));
}

}  // namespace

TProcessStatus ReadProcessStatus() {
  std::ifstream status("/proc/self/status");
  if (!status) throw std::runtime_error("cannot read /proc/self/status");
  TProcessStatus result;
  int found = 0;
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmRSS:")) {
      result.ResidentBytes = FieldNumber(line, 6) * 1024;
      ++found;
    } else if (line.starts_with("VmSize:")) {
      result.VirtualBytes = FieldNumber(line, 7) * 1024;
      ++found;
    } else if (line.starts_with("Threads:")) {
      result.Threads = static_cast<int>(FieldNumber(line, 8));
      ++found;
    }
  }
  if (found != 3) throw std::runtime_error("/proc/self/status lacks VmRSS, VmSize or Threads");
  return result;
}

std::int64_t ReadListenOverflows() {
  // The file holds pairs of lines: "TcpExt: Name ..." then "TcpExt: value ...".
  std::ifstream netstat("/proc/net/netstat");
  std::string names;
  std::string values;
  while (std::getline(netstat, names) && std::getline(netstat, values)) {
    if (!names.starts_with("TcpExt:")) continue;
    std::istringstream name_words(names);
    std::istringstream value_words(values);
    std::string name;
    std::string value;
    while (name_words >> name && value_words >> value) {
      if (name == "ListenOverflows") return std::stoll(value);
    }
  }
  return -1;
}

}  // namespace korvi::bench
