/// \file
/// TKorvi: the web server component. It holds the server's configuration,
/// owns the listening socket and the action collection, starts one
/// TKorviThread per accepted connection and counts the live ones.
///
/// The component lives on the main thread: property writers, the accept
/// handler and loading run there. What a request reads of the configuration
/// (root, map, listing, timeouts, events) is an immutable snapshot
/// (TKorviSettings) that every change replaces whole; a worker takes it when
/// its request starts. The live-thread count and the query counter are shared
/// writable state, each behind its own lock.
///
/// Worker threads run with SIGPIPE blocked: a handler's write into a pipe or
/// connection whose reader has gone fails with EPIPE instead of raising the
/// signal.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "korvi/host/component.h"
#include "korvi/host/string_list.h"
#include "korvi/server/korvi_settings.h"

namespace korvi {

class TKorviThread;
class TKorviRequest;
class TKorviResponse;
class TKActionItem;
class TKActionItems;
class TSSLKSocket;
class TTlsContext;
class TDescriptorReserve;
class TQuery;
class TPropertySource;
class TMimeTable;
class TStringList;

/// Why a connection was refused before any request was read.
enum TKorviRefusal : std::uint8_t {
  rfMaxConnections,            ///< MaxConnections connections were open
  rfMaxConnectionsPerAddress,  ///< the client's address had its share open
  rfDescriptors,               ///< the process had no descriptor left for it
  rfThread,                    ///< no thread could be started for it
};
/// A connection was refused (on the main thread): why, and from where.
using TKorviRefusedEvent =
    std::function<void(TObject* Sender, TKorviRefusal Reason, const std::string& RemoteAddress)>;
/// A worker that still runs while the server stops.
struct TKorviRunningWorker {
  /// The client's address.
  std::string RemoteAddress;
  std::string RequestLine;  ///< empty until it arrived
};
/// Stopping has waited StopGracePeriod seconds, and these workers still run.
using TKorviStopOverdueEvent =
    std::function<void(TObject* Sender, const std::vector<TKorviRunningWorker>& Workers)>;

/// Highest port number the start-up port search tries.
constexpr int LastSearchPort = 64000;
/// The system's table of content types by extension.
inline constexpr const char* SystemMimeTypesFile = "/etc/mime.types";

/// The web server component: configuration, listener, actions and events.
class TKorvi : public TComponent {
  /// Declared first: the live settings below refer to it.
  TKorviSettingsCell settings_;

 public:
  /// Creates the server with its defaults: Active, "index.htm", listing on,
  /// mask "*.*", port 80, the current directory as root, timeout 100 s.
  explicit TKorvi(TComponent* Owner);
  /// Closes the listener, asks every live worker thread to end and waits for
  /// them (running Synchronize calls meanwhile), then frees the actions.
  /// Destroyed by a method that one of its own workers runs through
  /// Synchronize, it does not wait for that worker (which waits for the
  /// method): the worker is abandoned (TThread::Abandon), so its Synchronize
  /// raises EThreadAbandoned and it ends without touching the server again.
  /// Destroy the server on the main thread.
  ~TKorvi() override;

  // --- Published properties, in declaration (loading) order ---

  /// True while requests are served; false answers them with the 503 page.
  bool Active() const { return active_; }
  /// Turns listening off or on; raises Exception "Unable to turn off
  /// listening on port [n]" / "Unable to activate listening on port [n]".
  void SetActive(bool Value);
  ///@{
  /// Name of the file served for a directory ("index.htm").
  const std::string& DefaultFile() const { return settings_.Values().DefaultFile; }
  void SetFile(std::string Value);
  ///@}
  /// Directories without a default file are listed as HTML when true.
  TLiveSetting<bool> DirectoryListing{settings_, &TKorviSettings::DirectoryListing};
  /// Names a listing shows ("*.*": all).
  TLiveSetting<std::string> DirectoryMask{settings_, &TKorviSettings::DirectoryMask};
  ///@{
  /// The URL map file; a non-empty name empties ServerRoot and (re)reads URLMap.
  const std::string& URLMapIniFile() const { return url_map_ini_file_; }
  void SetIniFile(std::string Value);
  ///@}
  ///@{
  /// Stored and published only; the live thread count is never limited by
  /// it (MaxConnections limits connections).
  int MaxThread() const { return max_thread_; }
  void SetRequest(int Value);
  ///@}
  /// The listening port (after start-up: the port actually taken). Safe from
  /// any thread.
  int ServerPort() const { return settings_.Take()->ServerPort; }
  /// Stores the port and re-opens a running listener on it; raises Exception
  /// "Unable to activate listening on port [n]" when that fails.
  void SetPort(int Value);
  /// The document root, always ending in "/" (empty in URL map mode).
  const std::string& ServerRoot() const { return settings_.Values().ServerRoot; }
  /// Stores the root with a trailing "/" added and empties URLMapIniFile.
  void SetRoot(std::string Value);
  /// Seconds (5 or less means 100) that bound the intake of a request as a
  /// whole, and then, while the answer goes out, a stall: the connection ends
  /// only when the client took no byte for that long.
  TLiveSetting<int> Timeout{settings_, &TKorviSettings::Timeout};
  /// The action collection requests are offered to.
  TKActionItems* Actions() const { return actions_.get(); }
  /// Makes the owned collection a copy of `Value`.
  void SetActions(const TKActionItems& Value);

  ///@{
  /// The events of a request, raised on its worker thread; a change reaches
  /// the requests that start after it.
  TLiveSetting<ZWSOnRxEvent> OnRequest{settings_, &TKorviSettings::OnRequest};
  TLiveSetting<ZWSOnRxDoneEvent> OnRequestDone{settings_, &TKorviSettings::OnRequestDone};
  TLiveSetting<ZWSOnTxEvent> OnResponse{settings_, &TKorviSettings::OnResponse};
  TLiveSetting<ZWSOnTxDoneEvent> OnResponseDone{settings_, &TKorviSettings::OnResponseDone};
  TLiveSetting<TKorviProcessEvent> OnBeforeProcess{settings_, &TKorviSettings::OnBeforeProcess};
  TLiveSetting<TKorviProcessEvent> OnAfterProcess{settings_, &TKorviSettings::OnAfterProcess};
  TLiveSetting<TGetMimeType> OnGetMimeType{settings_, &TKorviSettings::OnGetMimeType};
  ///@}
  /// Reports an exception raised by an action handler or by SendResponse,
  /// on the connection's worker thread (Sender is the server), before the
  /// 500 answer is built. This is how the library hands such exceptions to
  /// the application; without a handler only the client sees them. An
  /// exception the handler raises is ignored.
  TLiveSetting<TKorviExceptionEvent> OnException{settings_, &TKorviSettings::OnException};

  /// Largest request body accepted; a longer announced body gets the 400 page.
  TLiveSetting<std::int64_t> MaxRequestBody{settings_, &TKorviSettings::MaxRequestBody};
  ///@{
  /// HTTPS: with TlsEnabled every connection is served over TLS with the PEM
  /// certificate chain TlsCertificateFile (the server's certificate first)
  /// and the PEM private key TlsKeyFile. Read when listening starts, which
  /// raises ETlsError, and so does not listen, when a file cannot be read or
  /// the key does not match the certificate.
  bool TlsEnabled = false;
  std::string TlsCertificateFile;
  std::string TlsKeyFile;
  ///@}
  /// The address the listener binds ("": every address). Read when listening
  /// starts or re-opens.
  std::string ListenAddress;
  ///@{
  /// Most connections served at once, and most from one client address (0:
  /// no limit). A connection over a limit is refused at once: on a plain
  /// connection with the 503 page, over TLS closed before any handshake.
  int MaxConnections = 0;
  int MaxConnectionsPerAddress = 0;
  ///@}
  /// Seconds that stopping (destroying the server) waits for running workers
  /// before it reports them through OnStopOverdue; it waits on after that,
  /// since no worker may outlive the server.
  int StopGracePeriod = 10;
  /// Worker threads run under the system's batch scheduling policy
  /// (TThread::SetBatchScheduling): a worker woken by its connection waits
  /// for the running thread's turn to end instead of preempting it, so a
  /// busy server switches threads far less often. Handlers run under it, and
  /// threads they start inherit it. The main thread keeps its own policy.
  /// Read as each connection is accepted.
  bool BatchScheduling = false;
  /// The worker of a connection that proves to be kept moves, once, onto
  /// the CPU where the connection's packets are taken in (SO_INCOMING_CPU):
  /// there the request is warm in the cache, and waking the worker for each
  /// later request needs no interrupt between CPUs. The system may move it
  /// on afterwards. A connection that ends with its answer is not moved.
  TLiveSetting<bool> SteerKeptConnections{settings_, &TKorviSettings::SteerKeptConnections};
  /// The TLS set-up the connections share (nullptr without TLS).
  std::shared_ptr<const TTlsContext> TlsContext() const { return tls_context_; }

  ///@{
  /// Request bodies over MaxBodyInMemory bytes are kept in an unnamed
  /// temporary file in BodySpoolDirectory (empty: $TMPDIR, else /tmp), so a
  /// connection holds no more than that in memory for its body. The file has
  /// no name from the start and goes with the connection, whichever way it
  /// ends. A GET or HEAD announcing a longer body gets the 400 page as soon
  /// as its header lines are in, without reading the body.
  TLiveSetting<std::int64_t> MaxBodyInMemory{settings_, &TKorviSettings::MaxBodyInMemory};
  TLiveSetting<std::string> BodySpoolDirectory{settings_, &TKorviSettings::BodySpoolDirectory};
  ///@}

  /// The HTTP/1.1 profile (off: every answer is the HTTP/1.0 one and ends its
  /// connection). With it on, answers say "HTTP/1.1" and carry Date in the
  /// IMF-fixdate form in GMT; error pages and listings carry Content-Length;
  /// an action's answer without content still sends its header block. An
  /// HTTP/1.1 request without "Connection: close", or an HTTP/1.0 one with
  /// "Connection: keep-alive", keeps its connection after an answer whose
  /// length is known; the same worker then reads the next request (pipelined
  /// ones are answered in order). A kept connection waits KeepAliveTimeout
  /// seconds (at least 1) for its next request and serves at most
  /// MaxKeepAliveRequests requests (default 1000; 0: no limit); the last answer says
  /// "Connection: close". Files and directories are served whatever query
  /// their URL carries, listings show names in their own letter case, HEAD
  /// gets the header block of GET without the body, request bodies may come
  /// in chunks (decoded under MaxRequestBody), and a request whose syntax
  /// HTTP/1.1 does not allow gets a 4xx page (505 for another major
  /// version) and ends its connection. When MaxConnections is reached,
  /// connections waiting for their next request are closed to make room.
  ///@{
  TLiveSetting<bool> HTTP11{settings_, &TKorviSettings::HTTP11};
  TLiveSetting<int> KeepAliveTimeout{settings_, &TKorviSettings::KeepAliveTimeout};
  TLiveSetting<int> MaxKeepAliveRequests{settings_, &TKorviSettings::MaxKeepAliveRequests};
  ///@}

  // --- Connections ---

  /// Raised on the main thread for every refused connection.
  TKorviRefusedEvent OnRefused;
  /// Raised on the main thread once, when stopping has waited
  /// StopGracePeriod seconds, with the workers still running.
  TKorviStopOverdueEvent OnStopOverdue;
  ///@{
  /// Connections handed to a worker thread, and connections refused, since
  /// the server was created. Safe from any thread.
  std::int64_t AcceptedConnections() const { return accepted_; }
  std::int64_t RefusedConnections() const { return refused_; }
  ///@}
  /// Connections kept open that wait for their next request (HTTP11). Safe
  /// from any thread.
  int IdleConnections() const;

  // --- What the built-in answers show and follow ---

  ///@{
  /// Setter names that match their getters (the same as SetFile, SetIniFile,
  /// SetRequest and SetPort).
  void SetDefaultFile(std::string Value) { SetFile(std::move(Value)); }
  void SetURLMapIniFile(std::string Value) { SetIniFile(std::move(Value)); }
  void SetMaxThread(int Value) { SetRequest(Value); }
  void SetServerPort(int Value) { SetPort(Value); }
  ///@}
  /// The line at the foot of error pages and directory listings (HTML,
  /// written as it is). Unset, each page keeps its own: "Message generated
  /// by the Korvi HTTP Server (https://korvi.example/)" or "Generated by ...";
  /// empty, the line and its rule are left out.
  TLiveSetting<std::optional<std::string>> ProductLine{settings_, &TKorviSettings::ProductLine};
  /// Symbolic links under the root or a mapped directory are followed
  /// wherever they lead. When false, a target whose real path leaves its base
  /// directory (the root, or the mapped directory it was found in) gets the
  /// 404 page, and listings leave such entries out.
  TLiveSetting<bool> FollowLinks{settings_, &TKorviSettings::FollowLinks};
  /// Lets the application add headers to file answers (Cache-Control,
  /// Content-Disposition, X-Content-Type-Options, Content-Security-Policy).
  TLiveSetting<TFileHeadersEvent> OnFileHeaders{settings_, &TKorviSettings::OnFileHeaders};
  /// True when the connections are served over TLS (listening started with
  /// TlsEnabled).
  bool ServesTls() const { return tls_context_ != nullptr; }
  /// Makes file answers take their content types from the mime.types file
  /// `Path` (extensions OnGetMimeType does not answer; the built-in table
  /// still covers what the file lacks). False, and nothing changed, when the
  /// file cannot be read. Call it before listening starts.
  bool UseSystemMimeTypes(const std::string& Path = SystemMimeTypesFile);
  /// The table UseSystemMimeTypes loaded (nullptr without one).
  const TMimeTable* MimeTable() const { return mime_table_.get(); }

  // --- Loading and starting ---

  /// Applies stored property values from `Source` in declaration order
  /// (Active, DefaultFile, DirectoryListing, DirectoryMask, URLMapIniFile,
  /// MaxThread, ServerPort, ServerRoot, Timeout, MaxRequestBody, TlsEnabled,
  /// TlsCertificateFile, TlsKeyFile, MaxBodyInMemory, BodySpoolDirectory,
  /// ListenAddress, MaxConnections, MaxConnectionsPerAddress,
  /// StopGracePeriod, FollowLinks, ProductLine, HTTP11, KeepAliveTimeout,
  /// MaxKeepAliveRequests, BatchScheduling, SteerKeptConnections; absent
  /// ones keep their values), then starts listening as a loaded server does.
  /// Raises EConvertError for a value that does not fit its property.
  void ReadState(const TPropertySource& Source);
  /// True when `Name` (without regard to case) is one of the stored
  /// properties ReadState applies.
  static bool IsStoredProperty(std::string_view Name);
  /// Starts listening for a server built in code (the step loading ends with):
  /// ServerPort or the first free port above it, up to 64000 (port 0: one
  /// the system picks). Only the first call listens.
  void StartListening();
  /// Leaves the loading state and starts listening.
  void Loaded() override;

  // --- Actions ---

  /// The action item at `Index`.
  TKActionItem* GetAction(int Index) const;
  /// The first item named `Name` (without regard to case), or nullptr.
  TKActionItem* ActionByName(const std::string& Name) const;
  /// Offers the request to the actions; true when one handled it.
  bool DispatchAction(TKorviRequest* Request, TKorviResponse* Response);

  // --- Shared state of the worker threads ---

  /// Live worker threads.
  int ThreadCount() const;
  ///@{
  /// Adds / removes one live thread under ThreadLock.
  void IncThreadNumber();
  void DecThreadNumber();
  ///@}
  /// The current settings snapshot, for a request that starts. Safe from any
  /// thread.
  std::shared_ptr<const TKorviSettings> Settings() const { return settings_.Take(); }
  /// The URL path=directory lines of section "MAP" of the URL map file (the
  /// current snapshot's).
  std::shared_ptr<const TStringList> URLMap() const { return Settings()->URLMap; }
  /// The listening socket (nullptr until listening starts).
  TSSLKSocket* ListenSocket() const { return listen_socket_.get(); }
  /// True until listening has been started.
  bool FirstLoad() const { return first_load_; }

  /// A copy of `Query` named after it with the next query number (qry7), open
  /// when the source is; nullptr when copying fails.
  TQuery* DupQuery(TQuery* Query);
  /// Closes and frees a query; failures are ignored.
  void FreeQuery(TQuery* Query);

  ///@{
  /// Registers a worker thread serving `RemoteAddress`, so that destroying the
  /// server can stop it; the worker unregisters itself when it ends.
  void AttachThread(TKorviThread* Thread, const std::string& RemoteAddress);
  void DetachThread(TKorviThread* Thread);
  ///@}
  /// Notes the request line a worker received, to name it when stopping
  /// takes long (called by the worker).
  void NoteRequestLine(TKorviThread* Thread, const std::string& RequestLine);

 protected:
  /// Runs once just before listening starts: loads the TLS set-up when
  /// TlsEnabled (raising ETlsError when it cannot).
  virtual void KorviSSLInit();
  /// Handler of the listening socket's session-available event: accepts the
  /// connection and starts its worker thread.
  virtual void ServerSocketSessionAvailable(TObject* Sender, std::uint16_t Error);
  /// Creates the listening socket (a TSSLKSocket without TLS).
  virtual std::unique_ptr<TSSLKSocket> CreateKorviSocket();

 private:
  struct TWorker {
    std::string RemoteAddress;
    std::string RequestLine;
    bool ClosingIdle = false;  ///< closed while waiting, to make room
  };
  using TWorkers = std::unordered_map<TKorviThread*, TWorker>;

  void LoadURLMap();
  bool ListenOn(int Port);
  /// Starts the worker of an accepted connection from `address`, or refuses it.
  void StartWorker(int Handle, const std::string& address);
  /// The limit an accepted connection from `Address` would exceed, if any.
  /// At MaxConnections, a connection waiting for its next request is closed
  /// first to make room (the count goes down when its worker has ended).
  bool OverLimit(const std::string& Address, TKorviRefusal& Reason);
  /// Closes one connection waiting for its next request (ThreadLock held);
  /// true when there was one.
  bool CloseIdleConnection();
  /// Counts a refusal and reports it.
  void Refused(TKorviRefusal Reason, const std::string& Address);
  /// Unregisters a worker (ThreadLock held); the next one.
  TWorkers::iterator ForgetWorker(TWorkers::iterator Worker);
  void StopWorkers();
  /// The workers still registered (ThreadLock held).
  std::vector<TKorviRunningWorker> RunningWorkers() const;
  void ReportOverdue(const std::vector<TKorviRunningWorker>& Running);

  std::atomic<bool> active_{true};  ///< read by worker threads
  std::string url_map_ini_file_;
  int max_thread_ = 100;
  std::unique_ptr<TKActionItems> actions_;

  std::unique_ptr<TSSLKSocket> listen_socket_;
  std::shared_ptr<const TTlsContext> tls_context_;
  /// Refuses connections when no descriptor is left for them (the spare).
  std::unique_ptr<TDescriptorReserve> reserve_;
  int thread_count_ = 0;
  int closing_idle_ = 0;  ///< workers closed to make room that have not ended yet
  /// ThreadLock: thread_count_, workers_ and per_address_
  mutable std::mutex thread_lock_;
  std::condition_variable threads_changed_;
  TWorkers workers_;
  std::unordered_map<std::string, int> per_address_;  ///< live workers by client address
  std::atomic<std::int64_t> accepted_{0};
  std::atomic<std::int64_t> refused_{0};
  int query_count_ = 0;
  std::mutex query_lock_;  ///< QueryLock: query_count_
  bool first_load_ = true;

  std::shared_ptr<const TMimeTable> mime_table_;
};

}  // namespace korvi
