// TKorvi: configuration, listening with the port search, accepting
// connections into worker threads, the URL map and the shared counters.
#include "korvi/server/korvi.h"

#include <unistd.h>

#include <chrono>
#include <optional>

#include "korvi/data/query_copy.h"
#include "korvi/host/application.h"
#include "korvi/host/exceptions.h"
#include "korvi/host/files.h"
#include "korvi/host/ini_file.h"
#include "korvi/host/sysutils.h"
#include "korvi/host/thread.h"
#include "korvi/server/connection_refusal.h"
#include "korvi/server/descriptor_reserve.h"
#include "korvi/server/korvi_thread.h"
#include "korvi/server/mime_types.h"
#include "korvi/server/property_source.h"
#include "korvi/server/url_map_file.h"
#include "korvi/socket/socket_errors.h"
#include "korvi/socket/ssl_ksocket.h"
#include "korvi/socket/tls_context.h"
#include "korvi/web/action_item.h"
#include "korvi/web/http_text.h"

namespace korvi {

namespace {

constexpr const char* kCaption = "Korvi HTTP Server";
// The listener's address when ListenAddress is empty: every address.
constexpr const char* kEveryAddress = "0.0.0.0";

// The stored properties, in the order ReadState applies them.
constexpr std::string_view kStoredProperties[] = {
    "Active",          "DefaultFile",         "DirectoryListing",
    "DirectoryMask",   "URLMapIniFile",       "MaxThread",
    "ServerPort",      "ServerRoot",          "Timeout",
    "MaxRequestBody",  "TlsEnabled",          "TlsCertificateFile",
    "TlsKeyFile",      "MaxBodyInMemory",     "BodySpoolDirectory",
    "ListenAddress",   "MaxConnections",      "MaxConnectionsPerAddress",
    "StopGracePeriod", "FollowLinks",         "ProductLine",
    "HTTP11",          "KeepAliveTimeout",    "MaxKeepAliveRequests",
    "BatchScheduling", "SteerKeptConnections"};

std::string ActivateError(int port) {
  return "Unable to activate listening on port [" + IntToStr(port) + "]";
}

}  // namespace

TKorvi::TKorvi(TComponent* Owner)
    : TComponent(Owner), actions_(std::make_unique<TKActionItems>(this)) {
  SetIniFile("Korvi.ini");
  SetRoot(GetCurrentDir());
  SetFile("index.htm");
  SetRequest(100);
}

TKorvi::~TKorvi() {
  reserve_.reset();
  if (listen_socket_) {
    try {
      listen_socket_->Close();
    } catch (const std::exception&) {
      // The listener goes away all the same.
    }
    listen_socket_.reset();
  }
  StopWorkers();
}

void TKorvi::SetActive(bool Value) {
  if (Value == active_) return;
  if (!listen_socket_) {
    active_ = Value;
    return;
  }
  if (active_) {
    try {
      listen_socket_->Close();
    } catch (const std::exception&) {
      throw Exception("Unable to turn off listening on port [" + IntToStr(ServerPort()) + "]");
    }
  } else if (listen_socket_->State() != wsListening && !ListenOn(ServerPort())) {
    // A loaded server listens whatever Active was; it never listens twice.
    throw Exception(ActivateError(ServerPort()));
  }
  active_ = Value;
}

void TKorvi::SetFile(std::string Value) {
  settings_.Change([&](TKorviSettings& settings) { settings.DefaultFile = std::move(Value); });
}

void TKorvi::SetIniFile(std::string Value) {
  url_map_ini_file_ = std::move(Value);
  if (!url_map_ini_file_.empty()) {
    settings_.Change([](TKorviSettings& settings) { settings.ServerRoot.clear(); });
  }
  LoadURLMap();
}

void TKorvi::SetRequest(int Value) {
  max_thread_ = Value;
}

void TKorvi::SetPort(int Value) {
  if (Value == ServerPort()) return;
  settings_.Change([Value](TKorviSettings& settings) { settings.ServerPort = Value; });
  if (!listen_socket_) return;
  // A running listener moves to the new port; one that an inactive loaded
  // server keeps open moves with it.
  const bool was_listening = listen_socket_->State() != wsClosed;
  if (was_listening) {
    try {
      listen_socket_->Close();
    } catch (const std::exception&) {
      // A failing close does not keep the port from changing.
    }
  }
  if ((active_ || was_listening) && !ListenOn(Value)) throw Exception(ActivateError(Value));
}

void TKorvi::SetRoot(std::string Value) {
  if (!Value.empty() && Value.back() != PathDelim) Value += PathDelim;
  settings_.Change([&](TKorviSettings& settings) { settings.ServerRoot = std::move(Value); });
  url_map_ini_file_.clear();
  LoadURLMap();
}

void TKorvi::SetActions(const TKActionItems& Value) {
  actions_->Assign(Value);
}

bool TKorvi::UseSystemMimeTypes(const std::string& Path) {
  auto table = std::make_shared<TMimeTable>();
  if (!table->LoadFromFile(Path)) return false;
  mime_table_ = std::move(table);
  return true;
}

void TKorvi::LoadURLMap() {
  auto map = std::make_shared<TStringList>();
  if (!url_map_ini_file_.empty()) {
    TStringList lines;
    TIniFile(url_map_ini_file_).ReadSectionValues(kURLMapSection, lines);
    for (int i = 0; i < lines.Count(); ++i) {
      if (Trim(lines.Names(i)) == kURLMapHeadingKey) continue;
      // Directories written with backslashes name the same directories here.
      map->Add(lines.Names(i) + "=" + DosPathToUnixPath(lines.ValueFromIndex(i)));
    }
  }
  // Workers may be reading the old lines: they keep them until done.
  settings_.Change([&](TKorviSettings& settings) { settings.URLMap = std::move(map); });
}

void TKorvi::ReadState(const TPropertySource& Source) {
  BeginLoading();
  try {
    if (Source.Has("Active")) SetActive(Source.Boolean("Active"));
    if (Source.Has("DefaultFile")) SetFile(Source.Text("DefaultFile"));
    if (Source.Has("DirectoryListing")) DirectoryListing = Source.Boolean("DirectoryListing");
    if (Source.Has("DirectoryMask")) DirectoryMask = Source.Text("DirectoryMask");
    if (Source.Has("URLMapIniFile")) SetIniFile(Source.Text("URLMapIniFile"));
    if (Source.Has("MaxThread")) SetRequest(Source.Integer("MaxThread"));
    if (Source.Has("ServerPort")) SetPort(Source.Integer("ServerPort"));
    if (Source.Has("ServerRoot")) SetRoot(Source.Text("ServerRoot"));
    if (Source.Has("Timeout")) Timeout = Source.Integer("Timeout");
    if (Source.Has("MaxRequestBody")) MaxRequestBody = Source.Integer("MaxRequestBody");
    if (Source.Has("TlsEnabled")) TlsEnabled = Source.Boolean("TlsEnabled");
    if (Source.Has("TlsCertificateFile")) TlsCertificateFile = Source.Text("TlsCertificateFile");
    if (Source.Has("TlsKeyFile")) TlsKeyFile = Source.Text("TlsKeyFile");
    if (Source.Has("MaxBodyInMemory")) MaxBodyInMemory = Source.Integer("MaxBodyInMemory");
    if (Source.Has("BodySpoolDirectory")) BodySpoolDirectory = Source.Text("BodySpoolDirectory");
    if (Source.Has("ListenAddress")) ListenAddress = Source.Text("ListenAddress");
    if (Source.Has("MaxConnections")) MaxConnections = Source.Integer("MaxConnections");
    if (Source.Has("MaxConnectionsPerAddress")) {
      MaxConnectionsPerAddress = Source.Integer("MaxConnectionsPerAddress");
    }
    if (Source.Has("StopGracePeriod")) StopGracePeriod = Source.Integer("StopGracePeriod");
    if (Source.Has("FollowLinks")) FollowLinks = Source.Boolean("FollowLinks");
    if (Source.Has("ProductLine")) ProductLine = Source.Text("ProductLine");
    if (Source.Has("HTTP11")) HTTP11 = Source.Boolean("HTTP11");
    if (Source.Has("KeepAliveTimeout")) KeepAliveTimeout = Source.Integer("KeepAliveTimeout");
    if (Source.Has("MaxKeepAliveRequests")) {
      MaxKeepAliveRequests = Source.Integer("MaxKeepAliveRequests");
    }
    if (Source.Has("BatchScheduling")) BatchScheduling = Source.Boolean("BatchScheduling");
    if (Source.Has("SteerKeptConnections")) {
      SteerKeptConnections = Source.Boolean("SteerKeptConnections");
    }
  } catch (...) {
    TComponent::Loaded();
    throw;
  }
  Loaded();
}

bool TKorvi::IsStoredProperty(std::string_view Name) {
  for (std::string_view known : kStoredProperties) {
    if (SameText(known, Name)) return true;
  }
  return false;
}

void TKorvi::Loaded() {
  TComponent::Loaded();
  StartListening();
}

void TKorvi::StartListening() {
  if (IsDesigning() || !first_load_) return;
  first_load_ = false;
  LoadURLMap();
  listen_socket_ = CreateKorviSocket();
  listen_socket_->AcceptNonBlocking = true;  // as the workers' sockets want them
  reserve_ = std::make_unique<TDescriptorReserve>(*listen_socket_);
  KorviSSLInit();
  listen_socket_->OnSessionAvailable = [this](TObject* Sender, std::uint16_t Error) {
    ServerSocketSessionAvailable(Sender, Error);
  };
  for (int port = ServerPort(); port <= LastSearchPort; ++port) {
    if (ListenOn(port)) {
      // Port 0 lets the system choose; ServerPort tells which it took.
      const int taken = port != 0 ? port : StrToIntDef(listen_socket_->GetXPort(), 0);
      settings_.Change([taken](TKorviSettings& settings) { settings.ServerPort = taken; });
      return;
    }
  }
  settings_.Change([](TKorviSettings& settings) { settings.ServerPort = 80; });
  Application().MessageBox("Error Initializing Socket : 80", kCaption);
}

bool TKorvi::ListenOn(int Port) {
  try {
    listen_socket_->SetAddr(ListenAddress.empty() ? kEveryAddress : ListenAddress);
    listen_socket_->SetPort(IntToStr(Port));
    if (listen_socket_->Listen() == 0) return true;
  } catch (const std::exception&) {
    // Tried below: the socket is closed again for the next attempt.
  }
  try {
    listen_socket_->Close();
  } catch (const std::exception&) {
  }
  return false;
}

void TKorvi::ServerSocketSessionAvailable(TObject* /*Sender*/, std::uint16_t /*Error*/) {
  int handle = -1;
  try {
    handle = listen_socket_->Accept();
  } catch (const std::exception&) {
    // Reported below through the last socket error.
  }
  if (handle >= 0) {
    StartWorker(handle, listen_socket_->AcceptedPeerAddr());
  } else if (TDescriptorReserve::IsShortage(WSAGetLastError())) {
    if (const std::optional<std::string> address = reserve_->Refuse()) {
      Refused(rfDescriptors, *address);
    }
  }
}

void TKorvi::StartWorker(int Handle, const std::string& address) {
  // Over TLS nothing is sent before the handshake, and no handshake is made.
  const bool plain = tls_context_ == nullptr;
  TKorviRefusal reason{};
  if (OverLimit(address, reason)) {
    RefuseConnection(Handle, plain);
    Refused(reason, address);
    return;
  }
  TKorviThread* thread = nullptr;
  try {
    thread = new TKorviThread(Handle);
    thread->SetBatchScheduling(BatchScheduling);
  } catch (const std::exception&) {
    RefuseConnection(Handle, plain);
    Refused(rfThread, address);
    return;
  }
  thread->Server = this;
  thread->DefaultFileName = DefaultFile();
  thread->ThreadRoot = ServerRoot();
  thread->ClientAddress = address;
  AttachThread(thread, address);
  IncThreadNumber();
  try {
    thread->Resume();
  } catch (const std::exception&) {
    // No thread for this connection: it is refused here, and the thread
    // object, which never ran, leaves the live threads.
    thread->SocketHandle = -1;
    delete thread;
    RefuseConnection(Handle, plain);
    Refused(rfThread, address);
    return;
  }
  ++accepted_;
}

bool TKorvi::OverLimit(const std::string& Address, TKorviRefusal& Reason) {
  std::lock_guard<std::mutex> lock(thread_lock_);
  if (MaxConnections > 0 && thread_count_ - closing_idle_ >= MaxConnections &&
      !CloseIdleConnection()) {
    Reason = rfMaxConnections;
    return true;
  }
  if (MaxConnectionsPerAddress > 0) {
    const auto found = per_address_.find(Address);
    if (found != per_address_.end() && found->second >= MaxConnectionsPerAddress) {
      Reason = rfMaxConnectionsPerAddress;
      return true;
    }
  }
  return false;
}

int TKorvi::IdleConnections() const {
  std::lock_guard<std::mutex> lock(thread_lock_);
  int idle = 0;
  for (const auto& [thread, worker] : workers_) {
    if (thread->Idle()) ++idle;
  }
  return idle;
}

bool TKorvi::CloseIdleConnection() {
  for (auto& [thread, worker] : workers_) {
    if (!worker.ClosingIdle && thread->CloseIfIdle()) {
      worker.ClosingIdle = true;
      ++closing_idle_;
      return true;
    }
  }
  return false;
}

void TKorvi::Refused(TKorviRefusal Reason, const std::string& Address) {
  ++refused_;
  if (!OnRefused) return;
  try {
    OnRefused(this, Reason, Address);
  } catch (const std::exception&) {
    // Accepting goes on whatever the handler does.
  }
}

void TKorvi::KorviSSLInit() {
  tls_context_.reset();
  if (TlsEnabled) tls_context_ = std::make_shared<TTlsContext>(TlsCertificateFile, TlsKeyFile);
}

std::unique_ptr<TSSLKSocket> TKorvi::CreateKorviSocket() {
  return std::make_unique<TSSLKSocket>(nullptr);
}

TKActionItem* TKorvi::GetAction(int Index) const {
  return actions_->Items(Index);
}

TKActionItem* TKorvi::ActionByName(const std::string& Name) const {
  return actions_->ActionByName(Name);
}

bool TKorvi::DispatchAction(TKorviRequest* Request, TKorviResponse* Response) {
  return actions_->DispatchAction(Request, Response);
}

int TKorvi::ThreadCount() const {
  std::lock_guard<std::mutex> lock(thread_lock_);
  return thread_count_;
}

void TKorvi::IncThreadNumber() {
  std::lock_guard<std::mutex> lock(thread_lock_);
  ++thread_count_;
}

void TKorvi::DecThreadNumber() {
  std::lock_guard<std::mutex> lock(thread_lock_);
  --thread_count_;
  threads_changed_.notify_all();
}

void TKorvi::AttachThread(TKorviThread* Thread, const std::string& RemoteAddress) {
  std::lock_guard<std::mutex> lock(thread_lock_);
  workers_[Thread] = TWorker{RemoteAddress, ""};
  ++per_address_[RemoteAddress];
}

void TKorvi::DetachThread(TKorviThread* Thread) {
  std::lock_guard<std::mutex> lock(thread_lock_);
  const auto found = workers_.find(Thread);
  if (found != workers_.end()) ForgetWorker(found);
}

TKorvi::TWorkers::iterator TKorvi::ForgetWorker(TWorkers::iterator Worker) {
  if (Worker->second.ClosingIdle) --closing_idle_;
  const auto count = per_address_.find(Worker->second.RemoteAddress);
  if (count != per_address_.end() && --count->second == 0) per_address_.erase(count);
  return workers_.erase(Worker);
}

void TKorvi::NoteRequestLine(TKorviThread* Thread, const std::string& RequestLine) {
  std::lock_guard<std::mutex> lock(thread_lock_);
  const auto found = workers_.find(Thread);
  if (found != workers_.end()) found->second.RequestLine = RequestLine;
}

void TKorvi::ReportOverdue(const std::vector<TKorviRunningWorker>& Running) {
  if (!OnStopOverdue) return;
  try {
    OnStopOverdue(this, Running);
  } catch (const std::exception&) {
    // Stopping goes on whatever the handler does.
  }
}

std::vector<TKorviRunningWorker> TKorvi::RunningWorkers() const {
  std::vector<TKorviRunningWorker> running;
  for (const auto& [thread, worker] : workers_) {
    running.push_back(TKorviRunningWorker{worker.RemoteAddress, worker.RequestLine});
  }
  return running;
}

void TKorvi::StopWorkers() {
  std::unique_lock<std::mutex> lock(thread_lock_);
  for (auto it = workers_.begin(); it != workers_.end();) {
    TKorviThread* thread = it->first;
    thread->RequestStop();
    if (!thread->SynchronizeRunning()) {
      ++it;
      continue;
    }
    // This destructor runs inside that worker's Synchronize call, so the
    // worker cannot end before it: it is let go and no longer counted, and
    // it forgets this server before its call returns.
    thread->Server = nullptr;
    thread->Abandon();
    it = ForgetWorker(it);
    --thread_count_;
  }
  const bool main = IsMainThread();
  const auto overdue = std::chrono::steady_clock::now() + std::chrono::seconds(StopGracePeriod);
  bool reported = false;
  while (thread_count_ > 0) {
    if (!reported && std::chrono::steady_clock::now() >= overdue) {
      // Past the grace period the application hears who holds stopping up;
      // the wait goes on, since those workers still use this server.
      reported = true;
      const std::vector<TKorviRunningWorker> running = RunningWorkers();
      lock.unlock();
      ReportOverdue(running);
      lock.lock();
      continue;
    }
    // Workers waiting in Synchronize need the main thread to finish.
    if (main) {
      lock.unlock();
      CheckSynchronize();
      lock.lock();
    }
    threads_changed_.wait_for(lock, std::chrono::milliseconds(10));
  }
}

TQuery* TKorvi::DupQuery(TQuery* Query) {
  int number = 0;
  {
    std::lock_guard<std::mutex> lock(query_lock_);
    number = ++query_count_;
  }
  if (Query == nullptr) return nullptr;
  return CopyQuery(*Query, Query->Name() + IntToStr(number)).release();
}

void TKorvi::FreeQuery(TQuery* Query) {
  if (Query == nullptr) return;
  try {
    Query->Close();
  } catch (const std::exception&) {
  }
  delete Query;
}

}  // namespace korvi
