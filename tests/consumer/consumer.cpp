// The outside application of the consumer test: built against an installed
// Korvi, it listens on a port the system picks, prints "port N", answers one
// request and ends.
#include <korvi/host/application.h>
#include <korvi/server/korvi.h>
#include <korvi/web/action_item.h>
#include <korvi/web/korvi_response.h>

#include <cstdint>
#include <cstdio>

int main() {
  korvi::TKorvi server(nullptr);
  server.SetPort(0);
  korvi::TKActionItem* hello = server.Actions()->Add();
  hello->SetPathInfo("/hello");
  hello->SetOnAction(
      [](korvi::TObject*, korvi::TKorviRequest*, korvi::TKorviResponse* response, bool& handled) {
        response->SetContent("Hello from an installed Korvi");
        handled = true;
      });
  server.OnResponseDone = [](int, std::int64_t) { korvi::Application().Terminate(); };
  server.StartListening();
  std::printf("port %d\n", server.ServerPort());
  std::fflush(stdout);
  korvi::Application().Run();
}
