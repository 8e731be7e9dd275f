// The 503 page of a refused connection, sent without waiting.
#include "korvi/server/connection_refusal.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <exception>

#include "korvi/server/error_page.h"
#include "korvi/server/output_text.h"
#include "korvi/socket/name_lookup.h"

namespace korvi {

namespace {

// The machine's name, asked once: the page's "Server" header names it.
std::string ServerName() {
  static const std::string name = [] {
    try {
      return LocalHostName();
    } catch (const std::exception&) {
      return std::string();
    }
  }();
  return name;
}

// Reads and drops what the client has sent so far.
void DropInput(int handle) {
  char scrap[4096];
  while (recv(handle, scrap, sizeof scrap, MSG_DONTWAIT) > 0) {
  }
}

}  // namespace

std::string ClientAddressOf(int handle) {
  sockaddr_in name{};
  socklen_t length = sizeof name;
  if (getpeername(handle, reinterpret_cast<sockaddr*>(&name), &length) != 0 ||
      name.sin_family != AF_INET) {
    return "";
  }
  return DottedAddress(name.sin_addr.s_addr);
}

void RefuseConnection(int handle, bool send_page) {
  if (send_page) {
    TOutputText page;
    page.SetLocalHostName(ServerName());  // none: no "Server" header
    WriteErrorPage(page, 503);
    // Best effort: a page the socket buffer does not take is cut.
    [[maybe_unused]] const ssize_t sent = send(
        handle, page.Data(), static_cast<size_t>(page.OutLength()), MSG_DONTWAIT | MSG_NOSIGNAL);
  }
  DropInput(handle);
  close(handle);
}

}  // namespace korvi
