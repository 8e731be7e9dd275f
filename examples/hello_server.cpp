// An application that embeds the server: one action answers /hello with a
// greeting built from the query, and a default action answers everything
// else with "not found", so nothing is served from the file system. Stop it
// with Ctrl-C.
#include <cstdio>
#include <memory>
#include <string>

#include <korvi/host/application.h>
#include <korvi/server/korvi.h>
#include <korvi/web/action_item.h>
#include <korvi/web/http_text.h>
#include <korvi/web/korvi_request.h>
#include <korvi/web/korvi_response.h>

int main() {
  using namespace korvi;
  Application().HandleStopSignals();

  auto server = std::make_unique<TKorvi>(nullptr);
  server->SetServerPort(8081);

  // Requests whose path starts with /hello go to this handler, on the
  // connection's own worker thread.
  TKActionItem* hello = server->Actions()->Add();
  hello->SetPathInfo("/hello");
  hello->SetOnAction([](TObject*, TKorviRequest* request, TKorviResponse* response, bool& handled) {
    const std::string name = request->GetFieldValue("name", "world");
    response->SetContent("<html><body><h1>Hello, " + HTMLEscape(name) + "!</h1></body></html>\r\n");
    handled = true;
  });

  // Every other request: the default action answers it, so the server never
  // falls back to serving files.
  TKActionItem* rest = server->Actions()->Add();
  rest->SetDefault(true);
  rest->SetOnAction([](TObject*, TKorviRequest*, TKorviResponse* response, bool& handled) {
    response->SetStatusCode(404);
    response->SetContent("<html><body>Not found; try /hello?name=Korvi</body></html>\r\n");
    handled = true;
  });

  server->StartListening();
  std::printf("hello_server: try http://localhost:%d/hello?name=Korvi\n", server->ServerPort());
  std::fflush(stdout);
  Application().Run();
  return 0;
}
