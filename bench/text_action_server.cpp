// The Korvi side of the application-answer comparison in bench/peers.sh:
// one action answers /text with the text given, on its port, until SIGINT
// or SIGTERM, in the HTTP/1.1 profile; every other path is left to the
// server's own answers.
//   text_action_server PORT TEXT
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "korvi/host/application.h"
#include "korvi/server/korvi.h"
#include "korvi/web/action_item.h"
#include "korvi/web/korvi_response.h"

int main(int argc, char** argv) {
  using namespace korvi;
  if (argc != 3) {
    std::fprintf(stderr, "usage: text_action_server PORT TEXT\n");
    return 2;
  }
  const std::string text = argv[2];
  Application().HandleStopSignals();
  auto server = std::make_unique<TKorvi>(nullptr);
  server->SetPort(std::atoi(argv[1]));
  server->HTTP11 = true;
  TKActionItem* action = server->Actions()->Add();
  action->SetPathInfo("/text");
  action->SetOnAction([&text](TObject*, TKorviRequest*, TKorviResponse* response, bool& handled) {
    response->SetContentType("text/plain");
    response->SetContent(text);
    handled = true;
  });
  server->StartListening();
  std::printf("text_action_server: listening on port %d\n", server->ServerPort());
  std::fflush(stdout);
  Application().Run();
  server.reset();
  return 0;
}
