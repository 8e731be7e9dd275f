// Fuzz target for request intake through a real worker thread: a TKorvi on
// loopback serves a small document tree and one action that reads the
// request's fields. Each input is one connection. Its first four bytes give
// the sizes of the pieces (1 to 256 bytes, in turn) in which the rest is
// sent, each piece its own segment (the first byte being odd also switches
// the HTTP/1.1 profile on for the input); then the client ends its sending side
// and reads until the server closes. Checks: no crash or sanitizer report,
// the connection ends and its worker thread ends in bounded time (no hang),
// and an answer, when there is one, begins with a whole header block.
#include "korvi/server/korvi_thread.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "fuzz_check.h"
#include "korvi/host/event_queue.h"
#include "korvi/host/exceptions.h"
#include "korvi/host/file_descriptor.h"
#include "korvi/server/korvi.h"
#include "korvi/socket/ssl_ksocket.h"
#include "korvi/web/action_item.h"
#include "korvi/web/korvi_request.h"
#include "korvi/web/korvi_response.h"

using korvi::fuzz::Check;

namespace {

using Clock = std::chrono::steady_clock;

// Longest a connection or its worker may take before the run counts as hung.
constexpr auto kHangLimit = std::chrono::seconds(10);

void WriteFile(const std::string& path, const std::string& content) {
  const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  [[maybe_unused]] const ssize_t written = write(fd, content.data(), content.size());
  close(fd);
}

// Reads what the action is given, as an application would.
void ReadRequest(korvi::TKorviRequest* request, korvi::TKorviResponse* response) {
  std::string seen = request->GetFieldValue("a", "-") + request->GetFormField("f", "-") +
                     request->GetFileName("upload");
  request->GetCookieFields();
  if (request->GetFileField("upload")) seen += " with a file";
  try {
    request->GetDateVariable(18);  // If-Modified-Since
  } catch (const korvi::EConvertError&) {
  }
  response->SetContent("<p>" + seen + "</p>");
}

// A listening socket that binds the loopback address whatever it is given.
class TLoopbackListener : public korvi::TSSLKSocket {
 public:
  using TSSLKSocket::TSSLKSocket;
  int Listen() override {
    SetAddr("127.0.0.1");
    return TSSLKSocket::Listen();
  }
};

// A server that listens on loopback only.
class TLoopbackServer : public korvi::TKorvi {
 public:
  TLoopbackServer() : TKorvi(nullptr) {}

 protected:
  std::unique_ptr<korvi::TSSLKSocket> CreateKorviSocket() override {
    return std::make_unique<TLoopbackListener>(nullptr);
  }
};

// The server, started once for the whole run on the calling (main) thread.
korvi::TKorvi& Server() {
  static korvi::TKorvi* const server = [] {
    char pattern[] = "/tmp/korvi-fuzz-intake-XXXXXX";
    const std::string root = mkdtemp(pattern);
    mkdir((root + "/docs").c_str(), 0700);
    WriteFile(root + "/index.htm", "<p>home</p>");
    WriteFile(root + "/docs/a.txt", std::string(20000, 'a'));
    WriteFile(root + "/.hidden", "secret");
    auto* created = new TLoopbackServer;
    created->SetRoot(root);
    created->SetPort(0);
    created->MaxRequestBody = 1 << 20;
    korvi::TKActionItem* action = created->Actions()->Add();
    action->SetPathInfo("/act");
    action->SetOnAction([](korvi::TObject*, korvi::TKorviRequest* request,
                           korvi::TKorviResponse* response, bool& handled) {
      ReadRequest(request, response);
      handled = true;
    });
    created->StartListening();
    return created;
  }();
  return *server;
}

// Runs the main thread's messages that are waiting (the server accepts there).
void PumpMain() {
  korvi::TEventQueue& queue = korvi::TEventQueue::Main();
  korvi::TMessage msg;
  for (int i = 0; i < 16 && queue.PeekMessage(msg); ++i)
    queue.DispatchMessage(msg);
}

korvi::TFileDescriptor Connect(int port) {
  korvi::TFileDescriptor fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  const int one = 1;
  setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int result = connect(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  Check(result == 0 || errno == EINPROGRESS, "connecting to the server on loopback");
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvi::TKorvi& server = Server();
  if (size < 4) return 0;
  const std::uint8_t* pieces = data;
  server.HTTP11 = (data[0] & 1) != 0;
  const std::string request(reinterpret_cast<const char*>(data + 4), size - 4);

  korvi::TFileDescriptor client = Connect(server.ServerPort());
  std::size_t sent = 0;
  std::size_t piece = 0;
  bool write_closed = false;
  bool ended = false;
  std::string answer;
  const auto deadline = Clock::now() + kHangLimit;
  while (!ended) {
    Check(Clock::now() < deadline, "the connection ends in bounded time");
    PumpMain();
    pollfd watch{client.Get(), static_cast<short>(POLLIN | (write_closed ? 0 : POLLOUT)), 0};
    if (poll(&watch, 1, 1) <= 0) continue;
    if ((watch.revents & POLLOUT) && !write_closed) {
      if (sent < request.size()) {
        const std::size_t length =
            std::min<std::size_t>(1 + pieces[piece++ % 4], request.size() - sent);
        const ssize_t n = send(client.Get(), request.data() + sent, length, MSG_NOSIGNAL);
        if (n > 0) sent += static_cast<std::size_t>(n);
        if (n < 0 && errno != EAGAIN) write_closed = true;
      } else {
        shutdown(client.Get(), SHUT_WR);
        write_closed = true;
      }
    }
    if (watch.revents & (POLLIN | POLLHUP | POLLERR)) {
      char buffer[16384];
      const ssize_t n = recv(client.Get(), buffer, sizeof buffer, 0);
      if (n > 0) {
        answer.append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EAGAIN) {
        ended = true;
      }
    }
  }
  client.Reset();
  // The server's own answers begin "HTTP/1.0 " ("HTTP/1.1 " in the profile);
  // an action's answer uses the protocol word of the request line. Either
  // way a header block comes first.
  Check(answer.empty() || answer.find("\r\n\r\n") != std::string::npos,
        "an answer begins with a whole header block");
  // The worker ends before the next connection, so threads do not pile up.
  const auto worker_deadline = Clock::now() + kHangLimit;
  while (server.ThreadCount() > 0) {
    Check(Clock::now() < worker_deadline, "the worker thread ends in bounded time");
    PumpMain();
    poll(nullptr, 0, 1);
  }
  return 0;
}
