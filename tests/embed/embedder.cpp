// The application of the embedding test: the program of the README's
// library snippet.
#include <memory>

#include "host/application.h"
#include "server/korvi.h"
#include "web/action_item.h"
#include "web/http_text.h"
#include "web/korvi_request.h"
#include "web/korvi_response.h"

int main() {
  korvi::Application().HandleStopSignals();  // Ctrl-C ends Run()
  auto server = std::make_unique<korvi::TKorvi>(nullptr);
  server->SetPort(8081);
  server->SetRoot("/srv/www");
  korvi::TKActionItem* hello = server->Actions()->Add();
  hello->SetPathInfo("/hello");
  hello->SetOnAction([](korvi::TObject*, korvi::TKorviRequest* request,
                        korvi::TKorviResponse* response, bool& handled) {
    // Text from the request goes into the page escaped.
    response->SetContent("Hello, " + korvi::HTMLEscape(request->GetFieldValue("name", "world")));
    handled = true;
  });
  server->StartListening();
  korvi::Application().Run();
}
