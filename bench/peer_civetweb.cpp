// A comparison server for bench/peers.sh, built against Debian's
// libcivetweb-dev by that script only: serves a document root on
// 127.0.0.1 until SIGTERM or SIGINT, without an access log.
//   peer_civetweb PORT ROOT
#include <civetweb.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {
volatile sig_atomic_t stop = 0;
extern "C" void OnStop(int) {
  stop = 1;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: peer_civetweb PORT ROOT\n");
    return 2;
  }
  const std::string ports = std::string("127.0.0.1:") + argv[1];
  // Connections are kept when the client asks, with TCP_NODELAY.
  const char* options[] = {"listening_ports",
                           ports.c_str(),
                           "document_root",
                           argv[2],
                           "enable_directory_listing",
                           "no",
                           "enable_keep_alive",
                           "yes",
                           "tcp_nodelay",
                           "1",
                           nullptr};
  mg_init_library(0);
  mg_context* context = mg_start(nullptr, nullptr, options);
  if (context == nullptr) return 1;
  signal(SIGTERM, OnStop);
  signal(SIGINT, OnStop);
  while (!stop)
    pause();
  mg_stop(context);
  mg_exit_library();
  return 0;
}
