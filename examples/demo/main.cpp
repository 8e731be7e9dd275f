// korvi-demo: the Korvi Tea House, a small shop that shows every part of the
// library at work (see korvi_demo.h). tools/run.sh builds and starts it.
//
//   korvi-demo [--port N] [--bind ADDRESS] [--data DIR] [--site DIR] [--database NAME]
//              [--tls-cert FILE --tls-key FILE] [--http10] [--help]
//
// It prints the data directory and the address it listens on, and stops on
// Ctrl-C or SIGTERM, printing how many connections it accepted and refused.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <string>
#include <string_view>

#include <korvi/host/application.h>
#include <korvi/host/sysutils.h>

#include "korvi_demo.h"

namespace {

const char* const kUsage =
    "Usage: korvi-demo [--port N] [--bind ADDRESS] [--data DIR] [--site DIR]\n"
    "                  [--database NAME] [--tls-cert FILE --tls-key FILE] [--http10]\n"
    "                  [--help]\n"
    "  --port N    port to listen on (default 8080; the next free one when it is\n"
    "              taken; 0 lets the system choose)\n"
    "  --bind ADDRESS  listen on this IPv4 address only, for example 127.0.0.1\n"
    "              behind a reverse proxy (default: every address)\n"
    "  --data DIR  directory of the database, the shared files and the URL map,\n"
    "              made with sample data on the first start (default:\n"
    "              korvi-demo-data in the working directory)\n"
    "  --site DIR  directory of the templates and static files (default: the\n"
    "              ones in the source tree)\n"
    "  --database NAME  the shop's database: a PostgreSQL connection URI\n"
    "              (postgresql://...) or key=value string (host=... dbname=...)\n"
    "              puts it on that server, where several instances can share it;\n"
    "              anything else is an SQLite file (default: $KORVI_DEMO_DATABASE\n"
    "              when set, else shop.db in the data directory)\n"
    "  --tls-cert FILE --tls-key FILE  serve HTTPS with this PEM certificate\n"
    "              chain and its private key\n"
    "  --http10    answer in HTTP/1.0 and close every connection after its\n"
    "              answer (default: HTTP/1.1, connections kept between requests)\n"
    "When it stops (Ctrl-C or SIGTERM) it prints the number of connections it\n"
    "accepted and refused.\n";

// The options that set a text of the settings.
const std::map<std::string_view, std::string korvi::TDemoSettings::*> kTextOptions = {
    {"--bind", &korvi::TDemoSettings::ListenAddress},
    {"--data", &korvi::TDemoSettings::DataDir},
    {"--site", &korvi::TDemoSettings::SiteDir},
    {"--database", &korvi::TDemoSettings::Database},
    {"--tls-cert", &korvi::TDemoSettings::TlsCertificateFile},
    {"--tls-key", &korvi::TDemoSettings::TlsKeyFile}};

// Reads the command line into `settings`; false on a usage error, which it
// names on stderr.
bool ReadArguments(int argc, char** argv, korvi::TDemoSettings& settings) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    if (option == "--http10") {
      settings.Http11 = false;
      continue;
    }
    const auto text = kTextOptions.find(option);
    if (option != "--port" && text == kTextOptions.end()) {
      std::fprintf(stderr, "korvi-demo: unknown option %s\n", argv[i]);
      return false;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "korvi-demo: %s needs a value\n", argv[i]);
      return false;
    }
    const std::string value = argv[++i];
    if (text != kTextOptions.end()) {
      settings.*(text->second) = value;
    } else if (!korvi::TryStrToInt(value, settings.Port)) {
      std::fprintf(stderr, "korvi-demo: --port takes a number, not %s\n", value.c_str());
      return false;
    }
  }
  // A certificate goes with its key.
  if (settings.TlsCertificateFile.empty() == settings.TlsKeyFile.empty()) return true;
  std::fputs("korvi-demo: --tls-cert and --tls-key go together\n", stderr);
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string_view(argv[1]) == "--help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  korvi::TDemoSettings settings;
  settings.DataDir = "korvi-demo-data";
  settings.SiteDir = KORVI_DEMO_SITE;
  if (const char* database = std::getenv("KORVI_DEMO_DATABASE")) settings.Database = database;
  if (!ReadArguments(argc, argv, settings)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  korvi::Application().HandleStopSignals();
  try {
    korvi::TKorviDemo demo(settings);
    const int port = demo.Start();
    std::printf("korvi-demo: data directory %s\n", demo.DataDir().c_str());
    std::printf("korvi-demo: listening on port %d: open %s://localhost:%d/\n", port,
                settings.TlsCertificateFile.empty() ? "http" : "https", port);
    std::fflush(stdout);
    korvi::Application().Run();
    std::printf("korvi-demo: stopped; connections accepted %lld, refused %lld\n",
                static_cast<long long>(demo.AcceptedConnections()),
                static_cast<long long>(demo.RefusedConnections()));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "korvi-demo: %s\n", e.what());
    return 1;
  }
  return 0;
}
