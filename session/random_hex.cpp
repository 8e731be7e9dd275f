// RandomHex: getrandom(2) bytes as hexadecimal text.
#include "korvi/session/random_hex.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "korvi/host/exceptions.h"
#include "korvi/host/sysutils.h"

namespace korvi {

std::string RandomHex(std::size_t count) {
  std::vector<unsigned char> bytes(count);
  std::size_t filled = 0;
  while (filled < count) {
    const ssize_t got = getrandom(bytes.data() + filled, count - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw Exception(std::string("Cannot read random bytes: ") + std::strerror(errno));
    }
    filled += static_cast<std::size_t>(got);
  }
  std::string text;
  text.reserve(2 * count);
  for (unsigned char byte : bytes)
    text += IntToHex(byte, 2);
  return text;
}

}  // namespace korvi
