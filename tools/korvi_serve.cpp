// korvi-serve: serves a directory (or the directories of a URL map file)
// over HTTP/1.1 with persistent connections (HTTP/1.0 when asked), or HTTPS, with the Korvi server
// component, logging one line per request (and, when asked, a Common Log Format access log), until
// SIGINT or SIGTERM. SIGHUP reads the URL map file again and reopens the access log.
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "korvi/host/application.h"
#include "korvi/host/event_queue.h"
#include "korvi/host/exceptions.h"
#include "korvi/host/file_descriptor.h"
#include "korvi/host/files.h"
#include "korvi/host/ini_file.h"
#include "korvi/host/string_list.h"
#include "korvi/host/sysutils.h"
#include "korvi/server/access_log.h"
#include "korvi/server/korvi.h"
#include "korvi/server/korvi_thread.h"
#include "korvi/server/property_source.h"
#include "korvi/server/url_map_file.h"
#include "korvi/socket/ssl_ksocket.h"

namespace korvi {
namespace {

const char* const kUsage =
    "Usage: korvi-serve [options]\n"
    "Serves a directory over HTTP/1.1 until SIGINT or SIGTERM. Stopping waits\n"
    "for running requests up to StopGracePeriod seconds (default 10), then\n"
    "names them and exits; a second signal exits at once.\n"
    "\n"
    "  --root DIR           document root (default: the current directory)\n"
    "  --map FILE           URL map file instead of a document root: ini section\n"
    "                       [MAP] with lines URL path=directory; a key \"/docs\"\n"
    "                       serves /docs and everything below it (/docs/a.htm\n"
    "                       from DIRECTORY/a.htm); a key \"/\" serves only \"/\";\n"
    "                       lines that map nothing are reported; SIGHUP reads\n"
    "                       the file again\n"
    "  --port N             port to listen on (0 to 65535), or the next free one\n"
    "                       above it (default 8080; 0 lets the system choose)\n"
    "  --bind ADDRESS       listen on this IPv4 address only (default: every\n"
    "                       address)\n"
    "  --max-connections N  most connections served at once (default 4096; 0: no\n"
    "                       limit); more get a 503 answer at once\n"
    "  --max-connections-per-address N\n"
    "                       most connections from one client address (default\n"
    "                       256; 0: no limit)\n"
    "  --default-file NAME  file served for a directory (default index.htm)\n"
    "  --no-listing         answer directories without a default file with 403\n"
    "  --mask PATTERN       names that directory listings show (default *.*)\n"
    "  --timeout SECONDS    how long a request may take to arrive, and how long\n"
    "                       an answer may stall before the connection ends\n"
    "                       (default 100; 5 or less also means 100)\n"
    "  --http10             answer in HTTP/1.0 and close every connection after\n"
    "                       its answer, as the server component does by default\n"
    "                       (default: HTTP/1.1, connections kept between requests)\n"
    "  --config FILE        stored server properties, section [Korvi] of an ini\n"
    "                       file (Active, DefaultFile, DirectoryListing,\n"
    "                       DirectoryMask, URLMapIniFile, MaxThread, ServerPort,\n"
    "                       ServerRoot, Timeout, MaxRequestBody, TlsEnabled,\n"
    "                       TlsCertificateFile, TlsKeyFile, MaxBodyInMemory,\n"
    "                       BodySpoolDirectory, ListenAddress, MaxConnections,\n"
    "                       MaxConnectionsPerAddress, StopGracePeriod,\n"
    "                       FollowLinks, ProductLine, HTTP11, KeepAliveTimeout,\n"
    "                       MaxKeepAliveRequests, BatchScheduling,\n"
    "                       SteerKeptConnections; other keys are reported and\n"
    "                       ignored); options given on the command line take\n"
    "                       precedence. BatchScheduling and\n"
    "                       SteerKeptConnections are on unless the file turns\n"
    "                       them off\n"
    "  --access-log FILE    also append one line per request to FILE in the Common\n"
    "                       Log Format; SIGHUP makes it open FILE again, so that\n"
    "                       the log can be rotated\n"
    "  --quiet              no line per request on standard output (the access\n"
    "                       log is still written)\n"
    "  --tls-cert FILE      serve HTTPS (TLS 1.2 and 1.3) with the PEM certificate\n"
    "                       chain FILE, the server's certificate first; needs\n"
    "                       --tls-key\n"
    "  --tls-key FILE       the PEM private key of that certificate\n"
    "  --product-line TEXT  the line at the foot of error pages and directory\n"
    "                       listings (HTML); an empty TEXT leaves it out\n"
    "  --no-follow-links    answer 404 for a symbolic link that leads out of the\n"
    "                       root or its mapped directory, and leave it out of\n"
    "                       listings (by default links are followed)\n"
    "  --help               show this text\n";

// Section of a --config file that holds the server's properties.
const char* const kConfigSection = "Korvi";
// Port tried first unless the options or the stored properties name one.
const char* const kDefaultPort = "8080";
// Connection limits unless the options or the stored properties name them.
const char* const kDefaultMaxConnections = "4096";
const char* const kDefaultMaxPerAddress = "256";
// Highest TCP port number.
constexpr std::int32_t kLastPort = 65535;

class TUsageError : public Exception {
 public:
  using Exception::Exception;
};

// Stores `value` under `name` in `properties`. An empty value removes the
// name (the property keeps its default), except for ProductLine, where an
// empty line is a value of its own.
void SetProperty(TStringList& properties, const std::string& name, const std::string& value) {
  if (!value.empty() || !SameText(name, "ProductLine")) {
    properties.SetValue(name, value);
    return;
  }
  const int index = properties.IndexOfName(name);
  if (index >= 0) properties.Delete(index);
  properties.Add(name + "=");
}

// The stored properties the server is loaded with: those of --config,
// overridden by the command-line options; the access log file named; and
// whether each request gets a line on standard output.
void ReadProperties(int argc, char** argv, TStringList& properties, std::string& access_log,
                    bool& request_lines) {
  TStringList options;
  std::string config;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&](bool may_be_empty = false) -> std::string {
      if (i + 1 >= argc || (argv[i + 1][0] == '\0' && !may_be_empty)) {
        throw TUsageError(std::string(arg) + " needs a value");
      }
      return argv[++i];
    };
    if (arg == "--root") {
      options.SetValue("ServerRoot", value());
      options.SetValue("URLMapIniFile", "");
    } else if (arg == "--map") {
      options.SetValue("URLMapIniFile", value());
      options.SetValue("ServerRoot", "");
    } else if (arg == "--port") {
      options.SetValue("ServerPort", value());
    } else if (arg == "--bind") {
      options.SetValue("ListenAddress", value());
    } else if (arg == "--max-connections") {
      options.SetValue("MaxConnections", value());
    } else if (arg == "--max-connections-per-address") {
      options.SetValue("MaxConnectionsPerAddress", value());
    } else if (arg == "--default-file") {
      options.SetValue("DefaultFile", value());
    } else if (arg == "--no-listing") {
      options.SetValue("DirectoryListing", "False");
    } else if (arg == "--mask") {
      options.SetValue("DirectoryMask", value());
    } else if (arg == "--timeout") {
      options.SetValue("Timeout", value());
    } else if (arg == "--http10") {
      options.SetValue("HTTP11", "False");
    } else if (arg == "--config") {
      config = value();
    } else if (arg == "--access-log") {
      access_log = value();
    } else if (arg == "--quiet") {
      request_lines = false;
    } else if (arg == "--tls-cert") {
      options.SetValue("TlsCertificateFile", value());
      options.SetValue("TlsEnabled", "True");
    } else if (arg == "--tls-key") {
      options.SetValue("TlsKeyFile", value());
      options.SetValue("TlsEnabled", "True");
    } else if (arg == "--product-line") {
      SetProperty(options, "ProductLine", value(true));
    } else if (arg == "--no-follow-links") {
      options.SetValue("FollowLinks", "False");
    } else {
      throw TUsageError("unknown option " + std::string(arg));
    }
  }

  if ((options.IndexOfName("TlsCertificateFile") >= 0) !=
      (options.IndexOfName("TlsKeyFile") >= 0)) {
    throw TUsageError("--tls-cert and --tls-key go together");
  }

  properties.Clear();
  properties.SetValue("ServerPort", kDefaultPort);
  properties.SetValue("MaxConnections", kDefaultMaxConnections);
  properties.SetValue("MaxConnectionsPerAddress", kDefaultMaxPerAddress);
  properties.SetValue("HTTP11", "True");
  properties.SetValue("BatchScheduling", "True");
  properties.SetValue("SteerKeptConnections", "True");
  if (!config.empty()) {
    if (!FileExists(config)) throw TUsageError("no config file " + config);
    TStringList stored;
    TIniFile(config).ReadSectionValues(kConfigSection, stored);
    for (int i = 0; i < stored.Count(); ++i) {
      if (!TKorvi::IsStoredProperty(stored.Names(i))) {
        std::fprintf(stderr, "korvi-serve: %s: unknown key %s in [%s] ignored\n", config.c_str(),
                     stored.Names(i).c_str(), kConfigSection);
        continue;
      }
      SetProperty(properties, stored.Names(i), stored.ValueFromIndex(i));
    }
  }
  const bool root_given = options.IndexOfName("ServerRoot") >= 0;
  const bool map_given = options.IndexOfName("URLMapIniFile") >= 0;
  // A root or a map on the command line replaces whichever the file named.
  if (root_given || map_given) {
    properties.SetValue("ServerRoot", "");
    properties.SetValue("URLMapIniFile", "");
  }
  for (int i = 0; i < options.Count(); ++i) {
    SetProperty(properties, options.Names(i), options.ValueFromIndex(i));
  }
  const std::string port = properties.Values("ServerPort");
  std::int32_t number = -1;
  if (!TryStrToInt(port, number) || number < 0 || number > kLastPort) {
    throw TUsageError("port " + port + " is not a number from 0 to 65535");
  }
}

// One log line per answered request: client, method, path, and the bytes
// the system took (fewer than the answer when the client left early). The
// method and the path are escaped as in the access log, so that a request
// can neither add a line nor send control sequences to a terminal.
class TRequestLog {
 public:
  // Hooks the log to the server's request events: with `lines`, a line on
  // standard output per answer; `access`, when given, gets the Common Log
  // Format line of every answer too.
  void Attach(TKorvi& server, TAccessLog* access, bool lines) {
    if (lines) {
      server.OnRequest = [](int, const std::string& address, const std::string& url) {
        Current() = TEntry{address, "", url};
      };
      server.OnBeforeProcess = [](TObject*, TKorviRequest*, TKorviResponse*, TKorviThread* thread) {
        Current().method = thread->Method;
      };
    } else if (access == nullptr) {
      return;
    }
    server.OnResponseDone = [this, access, lines](int, std::int64_t bytes) {
      // The access log first: once the line on standard output appears,
      // the access log holds the request too.
      TKorviThread* thread = TKorviThread::Current();
      if (access != nullptr && thread != nullptr) {
        access->Write(FormatAccessLine(AccessEntryOf(*thread, bytes)));
      }
      if (!lines) return;
      // The system thread may have served another connection before: an
      // entry counts only when this connection's request line arrived.
      const bool line_arrived = thread == nullptr || !thread->RequestLine().empty();
      Write(line_arrived ? Current() : TEntry{}, bytes);
    };
  }

 private:
  struct TEntry {
    std::string address;
    std::string method;
    std::string path;
  };
  // Every event of a connection runs on that connection's own thread, and
  // OnRequest starts the entry afresh for each connection.
  static TEntry& Current() {
    thread_local TEntry entry;
    return entry;
  }
  void Write(const TEntry& entry, std::int64_t bytes) {
    const std::string line = (entry.address.empty() ? "-" : entry.address) + " " +
                             (entry.method.empty() ? "-" : EscapeLogText(entry.method)) + " " +
                             (entry.path.empty() ? "-" : EscapeLogText(entry.path)) + " " +
                             IntToStr(bytes) + "\n";
    // One write per line keeps the workers from waiting on each other: the
    // system appends a line of up to PIPE_BUF bytes whole, to a pipe as to a
    // file. Longer lines go under the lock, so that they cannot mix with each
    // other; so does the rest of a line the system took only in part.
    const char* rest = line.data();
    std::size_t left = line.size();
    if (left <= PIPE_BUF) {
      const ssize_t written = ::write(STDOUT_FILENO, rest, left);
      if (written < 0 && errno != EINTR && errno != EAGAIN) return;
      if (written > 0) {
        rest += written;
        left -= static_cast<std::size_t>(written);
      }
    }
    if (left == 0) return;
    std::lock_guard<std::mutex> lock(lock_);
    while (left > 0) {
      const ssize_t written = ::write(STDOUT_FILENO, rest, left);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return;
      rest += written;
      left -= static_cast<std::size_t>(written);
    }
  }
  std::mutex lock_;
};

// Reports on standard error every line of the URL map file `path` that
// maps nothing.
void ReportDroppedMapLines(const std::string& path) {
  for (const TDroppedMapLine& dropped : DroppedMapLines(path)) {
    std::fprintf(stderr, "korvi-serve: %s: line %d dropped: %s\n", path.c_str(), dropped.Line,
                 dropped.Reason.c_str());
  }
}

// Written by the SIGHUP handler to wake the main thread; -1 when none.
std::atomic<int> hang_up_wake{-1};

extern "C" void OnHangUp(int) {
  const int saved_errno = errno;
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t written = ::write(hang_up_wake.load(), &one, sizeof one);
  errno = saved_errno;
}

// While the object lives, SIGHUP makes the main thread read the URL map
// file again (reporting its dropped lines) and open the access log again,
// so that both can be replaced while the server runs. It never ends the
// program.
class THangUp {
 public:
  THangUp(TKorvi& server, TAccessLog* access_log)
      : wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    TEventQueue::Main().Watch(wake_, EPOLLIN, [this, &server, access_log](std::uint32_t) {
      std::uint64_t count = 0;
      [[maybe_unused]] ssize_t got = ::read(wake_, &count, sizeof count);
      if (access_log != nullptr) access_log->Reopen();
      const std::string map = server.URLMapIniFile();
      if (map.empty()) return;
      // A file being replaced may be missing for a moment: the map in use
      // stays until it is back.
      if (!FileExists(map)) {
        std::fprintf(stderr, "korvi-serve: no URL map file %s; the map in use stays\n",
                     map.c_str());
        return;
      }
      ReportDroppedMapLines(map);
      server.SetIniFile(map);
    });
    hang_up_wake = wake_;
    struct sigaction action {};
    action.sa_handler = OnHangUp;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGHUP, &action, nullptr);
  }
  ~THangUp() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGHUP, &ignore, nullptr);
    hang_up_wake = -1;
    TEventQueue::Main().Unwatch(wake_);
    ::close(wake_);
  }
  THangUp(const THangUp&) = delete;
  THangUp& operator=(const THangUp&) = delete;

 private:
  int wake_;
};

// From now on SIGINT and SIGTERM end the process at once.
void EndOnNextStopSignal() {
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
}

// Names the requests that kept stopping past its grace period, and exits.
[[noreturn]] void ExitOverdue(const std::vector<TKorviRunningWorker>& workers) {
  for (const TKorviRunningWorker& worker : workers) {
    std::fprintf(stderr, "korvi-serve: still running: %s %s\n", worker.RemoteAddress.c_str(),
                 worker.RequestLine.empty() ? "-" : worker.RequestLine.c_str());
  }
  std::fprintf(stderr, "korvi-serve: stopped with %zu requests unfinished\n", workers.size());
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(1);
}

int Serve(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  TStringList properties;
  std::string access_path;
  bool request_lines = true;
  ReadProperties(argc, argv, properties, access_path, request_lines);
  const std::string root = properties.Values("ServerRoot");
  const std::string map = properties.Values("URLMapIniFile");
  if (!root.empty()) {
    if (!DirectoryExists(root)) throw TUsageError("no directory " + root);
    // Made absolute so that listings and logs name it unambiguously.
    properties.SetValue("ServerRoot", ExpandFileName(root));
  }
  if (!map.empty() && !FileExists(map)) throw TUsageError("no URL map file " + map);

  // Every connection costs several descriptors: take all the system allows.
  RaiseDescriptorLimit();
  Application().HandleStopSignals();
  // The logs outlive the server and its worker threads.
  std::unique_ptr<TAccessLog> access_log;
  if (!access_path.empty()) access_log = std::make_unique<TAccessLog>(access_path);
  TRequestLog log;
  auto server = std::make_unique<TKorvi>(nullptr);
  log.Attach(*server, access_log.get(), request_lines);
  server->UseSystemMimeTypes();
  if (!map.empty()) ReportDroppedMapLines(map);
  server->ReadState(TPropertySource(properties));
  auto hang_up = std::make_unique<THangUp>(*server, access_log.get());
  if (!server->ListenSocket() || server->ListenSocket()->State() != wsListening) {
    std::fprintf(stderr, "korvi-serve: could not listen on any port\n");
    return 1;
  }
  std::printf("korvi-serve: listening on port %d%s, serving %s\n", server->ServerPort(),
              server->TlsContext() ? " (HTTPS)" : "",
              server->ServerRoot().empty() ? server->URLMapIniFile().c_str()
                                           : server->ServerRoot().c_str());
  std::fflush(stdout);
  Application().Run();
  hang_up.reset();
  // Destroying the server closes the listener and waits for the workers;
  // past the grace period it names those still running, and the process
  // ends without them. A second stop signal ends it at once.
  EndOnNextStopSignal();
  server->OnStopOverdue = [](TObject*, const std::vector<TKorviRunningWorker>& workers) {
    ExitOverdue(workers);
  };
  server.reset();
  std::printf("korvi-serve: stopped\n");
  return 0;
}

}  // namespace
}  // namespace korvi

int main(int argc, char** argv) {
  try {
    return korvi::Serve(argc, argv);
  } catch (const korvi::TUsageError& e) {
    std::fprintf(stderr, "korvi-serve: %s (try --help)\n", e.Message().c_str());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "korvi-serve: %s\n", e.what());
    return 1;
  }
}
