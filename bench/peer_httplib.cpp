// A comparison server for bench/peers.sh, built against Debian's
// libcpp-httplib-dev by that script only: serves a document root and
// answers /text with a fixed text from a handler, on 127.0.0.1.
//   peer_httplib PORT ROOT TEXT
#include <httplib.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: peer_httplib PORT ROOT TEXT\n");
    return 2;
  }
  const std::string text = argv[3];
  httplib::Server server;
  server.set_tcp_nodelay(true);  // it keeps connections by default
  // Up to 1000 requests on a kept connection, as every server measured
  // beside it (this version's own cap is 5).
  server.set_keep_alive_max_count(1000);
  if (!server.set_mount_point("/", argv[2])) return 1;
  server.Get("/text", [&text](const httplib::Request&, httplib::Response& response) {
    response.set_content(text, "text/plain");
  });
  return server.listen("127.0.0.1", std::atoi(argv[1])) ? 0 : 1;
}
