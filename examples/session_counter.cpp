// An application that remembers its visitors: a session store gives every
// browser a session cookie, and the one action, which answers every request,
// counts that browser's visits in its session. Run it with a port number
// (default 8082; 0 lets the system choose) and stop it with Ctrl-C.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include <korvi/host/application.h>
#include <korvi/server/korvi.h>
#include <korvi/session/korvi_sessions.h>
#include <korvi/session/session_lock.h>
#include <korvi/web/action_item.h>
#include <korvi/web/korvi_request.h>
#include <korvi/web/korvi_response.h>

int main(int argc, char** argv) {
  using namespace korvi;
  Application().HandleStopSignals();

  // The store outlives the server, whose worker threads use it. Its expiry
  // timer runs on this thread's loop.
  TKorviSessions sessions(nullptr);
  auto server = std::make_unique<TKorvi>(nullptr);
  server->SetServerPort(argc > 1 ? std::atoi(argv[1]) : 8082);

  // The default action gets every request, so no file is ever served.
  TKActionItem* visits = server->Actions()->Add();
  visits->SetDefault(true);
  visits->SetOnAction(
      [&sessions](TObject*, TKorviRequest* request, TKorviResponse* response, bool& handled) {
        // Finds the browser's session through its cookie or starts one, and
        // keeps it for 20 minutes after this visit.
        std::shared_ptr<TKorviSession> session =
            sessions.StartSession(*request, *response, Now() + 20.0 / (24 * 60));
        std::int64_t count = 1;
        {
          // Two requests of one browser may arrive at once: read and write as one step.
          std::lock_guard<std::recursive_mutex> lock(CsAccess());
          const Variant previous = session->GetVariant("Visits");
          if (!previous.IsNull()) count = previous.AsInteger() + 1;
          session->SetVariant("Visits", count);
        }
        response->SetContent("<html><body><p>Visits of this browser: " + std::to_string(count) +
                             "</p><p>Browsers now known: " +
                             std::to_string(sessions.GetSessionCount()) + "</p></body></html>\r\n");
        handled = true;
      });

  server->StartListening();
  std::printf("session_counter: listening on port %d\n", server->ServerPort());
  std::fflush(stdout);
  Application().Run();
  // Destroying the server waits for its worker threads before the store goes.
  server.reset();
  return 0;
}
