// TKorvi: the web server component. It holds the server's configuration,
// owns the listening socket and the action collection, starts one
// TKorviThread per accepted connection and counts the live ones.
//
// The component lives on the main thread: property writers, the accept
// handler and loading run there. Worker threads read the configuration
// without locking; the live-thread count and the query counter are shared
// writable state, each behind its own lock, and the URL map is an immutable
// snapshot that a change replaces whole.
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
#include <unordered_set>

#include "korvi/host/component.h"
#include "korvi/host/string_list.h"

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

// A request line has been read: the thread count, the client's address and
// the decoded URL path.
using ZWSOnRxEvent = std::function<void(int ReqNum, const std::string& RemoteAddress,
                                        const std::string& URLSubmitted)>;
// A request is complete: the thread count and the bytes received for it.
using ZWSOnRxDoneEvent = std::function<void(int ReqNum, std::int64_t bytesRecieved)>;
// A response is about to go out: the thread count and the bytes to send
// (status line, headers and content).
using ZWSOnTxEvent = std::function<void(int ReqNum, std::int64_t bytesToSend)>;
// A response has ended, once per response: the thread count and the bytes of
// it the system took, counted like bytesToSend. Fewer than announced when the
// client went away or stalled for the whole Timeout.
using ZWSOnTxDoneEvent = std::function<void(int ReqNum, std::int64_t bytesSent)>;
// Raised before and after the action dispatch of every request.
using TKorviProcessEvent = std::function<void(TObject* Sender, TKorviRequest* Request,
                                              TKorviResponse* Response, TKorviThread* Thread)>;
// An action (or the response it built) raised `Error` while answering
// `Request`; the client gets status 500 with "EXCEPTION: " and the message.
using TKorviExceptionEvent =
    std::function<void(TObject* Sender, TKorviRequest* Request, const std::exception& Error)>;
// Asks the application for the content type of a file extension (without
// the dot); a non-empty MimeType it leaves is used.
using TGetMimeType =
    std::function<void(TObject* Sender, const std::string& MimeExt, std::string& MimeType)>;
// A file answer's header block is about to be written for the file `Path`:
// every name=value line the handler adds to `Headers` goes out as a header
// line "name: value" after the server's own (line breaks become blanks).
// Raised on the connection's worker thread (Sender is the server), for GET
// and HEAD alike.
using TFileHeadersEvent =
    std::function<void(TObject* Sender, const std::string& Path, TStringList& Headers)>;

// Default limit for a request body: 100 MiB.
constexpr std::int64_t DefaultMaxRequestBody = 100 * 1024 * 1024;
// Default for the longest request body kept in memory: 1 MiB.
constexpr std::int64_t DefaultMaxBodyInMemory = 1024 * 1024;
// Highest port number the start-up port search tries.
constexpr int LastSearchPort = 64000;
// The system's table of content types by extension.
inline constexpr const char* SystemMimeTypesFile = "/etc/mime.types";

class TKorvi : public TComponent {
 public:
  // Creates the server with its defaults: Active, "index.htm", listing on,
  // mask "*.*", port 80, the current directory as root, timeout 100 s.
  explicit TKorvi(TComponent* Owner);
  // Closes the listener, asks every live worker thread to end and waits for
  // them (running Synchronize calls meanwhile), then frees the actions.
  // Destroyed by a method that one of its own workers runs through
  // Synchronize, it does not wait for that worker (which waits for the
  // method): the worker is abandoned (TThread::Abandon), so its Synchronize
  // raises EThreadAbandoned and it ends without touching the server again.
  // Destroy the server on the main thread.
  ~TKorvi() override;

  // --- Published properties, in declaration (loading) order ---

  // True while requests are served; false answers them with the 503 page.
  bool Active() const { return active_; }
  // Turns listening off or on; raises Exception "Unable to turn off
  // listening on port [n]" / "Unable to activate listening on port [n]".
  void SetActive(bool Value);
  // Name of the file served for a directory ("index.htm").
  const std::string& DefaultFile() const { return default_file_; }
  void SetFile(std::string Value);
  // Directories without a default file are listed as HTML when true.
  bool DirectoryListing = true;
  // Names a listing shows ("*.*": all).
  std::string DirectoryMask = "*.*";
  // The URL map file; a non-empty name empties ServerRoot and (re)reads URLMap.
  const std::string& URLMapIniFile() const { return url_map_ini_file_; }
  void SetIniFile(std::string Value);
  // Stored and published only; the live thread count is never limited.
  int MaxThread() const { return max_thread_; }
  void SetRequest(int Value);
  // The listening port (after start-up: the port actually taken).
  int ServerPort() const { return server_port_; }
  // Stores the port and re-opens a running listener on it; raises Exception
  // "Unable to activate listening on port [n]" when that fails.
  void SetPort(int Value);
  // The document root, always ending in "/" (empty in URL map mode).
  const std::string& ServerRoot() const { return server_root_; }
  // Stores the root with a trailing "/" added and empties URLMapIniFile.
  void SetRoot(std::string Value);
  // Seconds (5 or less means 100) that bound the intake of a request as a
  // whole, and then, while the answer goes out, a stall: the connection ends
  // only when the client took no byte for that long.
  int Timeout = 100;
  // The action collection requests are offered to.
  TKActionItems* Actions() const { return actions_.get(); }
  // Makes the owned collection a copy of `Value`.
  void SetActions(const TKActionItems& Value);

  ZWSOnRxEvent OnRequest;
  ZWSOnRxDoneEvent OnRequestDone;
  ZWSOnTxEvent OnResponse;
  ZWSOnTxDoneEvent OnResponseDone;
  TKorviProcessEvent OnBeforeProcess;
  TKorviProcessEvent OnAfterProcess;
  TGetMimeType OnGetMimeType;
  // Reports an exception raised by an action handler or by SendResponse,
  // on the connection's worker thread (Sender is the server), before the
  // 500 answer is built. This is how the library hands such exceptions to
  // the application; without a handler only the client sees them. An
  // exception the handler raises is ignored.
  TKorviExceptionEvent OnException;

  // Largest request body accepted; a longer announced body gets the 400 page.
  std::int64_t MaxRequestBody = DefaultMaxRequestBody;
  // HTTPS: with TlsEnabled every connection is served over TLS with the PEM
  // certificate chain TlsCertificateFile (the server's certificate first)
  // and the PEM private key TlsKeyFile. Read when listening starts, which
  // raises ETlsError, and so does not listen, when a file cannot be read or
  // the key does not match the certificate.
  bool TlsEnabled = false;
  std::string TlsCertificateFile;
  std::string TlsKeyFile;
  // The TLS set-up the connections share (nullptr without TLS).
  std::shared_ptr<const TTlsContext> TlsContext() const { return tls_context_; }

  // Request bodies over MaxBodyInMemory bytes are kept in an unnamed
  // temporary file in BodySpoolDirectory (empty: $TMPDIR, else /tmp), so a
  // connection holds no more than that in memory for its body. The file has
  // no name from the start and goes with the connection, whichever way it
  // ends. A GET or HEAD announcing a longer body gets the 400 page as soon
  // as its header lines are in, without reading the body.
  std::int64_t MaxBodyInMemory = DefaultMaxBodyInMemory;
  std::string BodySpoolDirectory;

  // --- What the built-in answers show and follow ---

  // Setter names that match their getters (the same as SetFile, SetIniFile,
  // SetRequest and SetPort).
  void SetDefaultFile(std::string Value) { SetFile(std::move(Value)); }
  void SetURLMapIniFile(std::string Value) { SetIniFile(std::move(Value)); }
  void SetMaxThread(int Value) { SetRequest(Value); }
  void SetServerPort(int Value) { SetPort(Value); }
  // The line at the foot of error pages and directory listings (HTML,
  // written as it is). Unset, each page keeps its own: "Message generated
  // by the Korvi HTTP Server (https://korvi.example/)" or "Generated by ...";
  // empty, the line and its rule are left out.
  std::optional<std::string> ProductLine;
  // Symbolic links under the root or a mapped directory are followed
  // wherever they lead. When false, a target whose real path leaves its base
  // directory (the root, or the mapped directory it was found in) gets the
  // 404 page, and listings leave such entries out.
  bool FollowLinks = true;
  // Lets the application add headers to file answers (Cache-Control,
  // Content-Disposition, X-Content-Type-Options, Content-Security-Policy).
  TFileHeadersEvent OnFileHeaders;
  // True when the connections are served over TLS (listening started with
  // TlsEnabled).
  bool ServesTls() const { return tls_context_ != nullptr; }
  // Makes file answers take their content types from the mime.types file
  // `Path` (extensions OnGetMimeType does not answer; the built-in table
  // still covers what the file lacks). False, and nothing changed, when the
  // file cannot be read. Call it before listening starts.
  bool UseSystemMimeTypes(const std::string& Path = SystemMimeTypesFile);
  // The table UseSystemMimeTypes loaded (nullptr without one).
  const TMimeTable* MimeTable() const { return mime_table_.get(); }

  // --- Loading and starting ---

  // Applies stored property values from `Source` in declaration order
  // (Active, DefaultFile, DirectoryListing, DirectoryMask, URLMapIniFile,
  // MaxThread, ServerPort, ServerRoot, Timeout, MaxRequestBody, TlsEnabled,
  // TlsCertificateFile, TlsKeyFile, MaxBodyInMemory, BodySpoolDirectory,
  // FollowLinks, ProductLine; absent ones keep their values), then starts
  // listening as a loaded server does.
  // Raises EConvertError for a value that does not fit its property.
  void ReadState(const TPropertySource& Source);
  // True when `Name` (without regard to case) is one of the stored
  // properties ReadState applies.
  static bool IsStoredProperty(std::string_view Name);
  // Starts listening for a server built in code (the step loading ends with):
  // ServerPort or the first free port above it, up to 64000 (port 0: one
  // the system picks). Only the first call listens.
  void StartListening();
  // Leaves the loading state and starts listening.
  void Loaded() override;

  // --- Actions ---

  // The action item at `Index`.
  TKActionItem* GetAction(int Index) const;
  // The first item named `Name` (without regard to case), or nullptr.
  TKActionItem* ActionByName(const std::string& Name) const;
  // Offers the request to the actions; true when one handled it.
  bool DispatchAction(TKorviRequest* Request, TKorviResponse* Response);

  // --- Shared state of the worker threads ---

  // Live worker threads.
  int ThreadCount() const;
  // Adds / removes one live thread under ThreadLock.
  void IncThreadNumber();
  void DecThreadNumber();
  // The URL path=directory lines of section "MAP" of the URL map file, as an
  // immutable snapshot: setting the map file or the root replaces the
  // snapshot whole, so a worker keeps reading the lines it took. Safe from
  // any thread.
  std::shared_ptr<const TStringList> URLMap() const;
  // The listening socket (nullptr until listening starts).
  TSSLKSocket* ListenSocket() const { return listen_socket_.get(); }
  // True until listening has been started.
  bool FirstLoad() const { return first_load_; }

  // A copy of `Query` named after it with the next query number (qry7), open
  // when the source is; nullptr when copying fails.
  TQuery* DupQuery(TQuery* Query);
  // Closes and frees a query; failures are ignored.
  void FreeQuery(TQuery* Query);

  // Registers / unregisters a worker thread so that destroying the server
  // can stop it (called by TKorviThread).
  void AttachThread(TKorviThread* Thread);
  void DetachThread(TKorviThread* Thread);

 protected:
  // Runs once just before listening starts: loads the TLS set-up when
  // TlsEnabled (raising ETlsError when it cannot).
  virtual void KorviSSLInit();
  // Handler of the listening socket's session-available event: accepts the
  // connection and starts its worker thread.
  virtual void ServerSocketSessionAvailable(TObject* Sender, std::uint16_t Error);
  // Creates the listening socket (a TSSLKSocket without TLS).
  virtual std::unique_ptr<TSSLKSocket> CreateKorviSocket();

 private:
  void LoadURLMap();
  bool ListenOn(int Port);
  void StopWorkers();

  std::atomic<bool> active_{true};  // read by worker threads
  std::string default_file_;
  std::string url_map_ini_file_;
  int max_thread_ = 100;
  int server_port_ = 80;
  std::string server_root_;
  std::unique_ptr<TKActionItems> actions_;

  std::unique_ptr<TSSLKSocket> listen_socket_;
  std::shared_ptr<const TTlsContext> tls_context_;
  // Refuses connections when no descriptor is left for them (the spare).
  std::unique_ptr<TDescriptorReserve> reserve_;
  int thread_count_ = 0;
  mutable std::mutex thread_lock_;  // ThreadLock: thread_count_ and workers_
  std::condition_variable threads_changed_;
  std::unordered_set<TKorviThread*> workers_;
  int query_count_ = 0;
  std::mutex query_lock_;            // QueryLock: query_count_
  mutable std::mutex url_map_lock_;  // guards the url_map_ pointer, not the lines
  std::shared_ptr<const TStringList> url_map_ = std::make_shared<const TStringList>();
  bool first_load_ = true;

  std::shared_ptr<const TMimeTable> mime_table_;
};

}  // namespace korvi
