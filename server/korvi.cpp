// TKorvi: configuration, listening with the port search, accepting
// connections into worker threads, the URL map and the shared counters.
#include "korvi/server/korvi.h"

#include <unistd.h>

#include <chrono>

#include "korvi/data/query_copy.h"
#include "korvi/host/application.h"
#include "korvi/host/exceptions.h"
#include "korvi/host/files.h"
#include "korvi/host/ini_file.h"
#include "korvi/host/sysutils.h"
#include "korvi/host/thread.h"
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
constexpr const char* kListenAddress = "0.0.0.0";

// The stored properties, in the order ReadState applies them.
constexpr std::string_view kStoredProperties[] = {
    "Active",        "DefaultFile",     "DirectoryListing",   "DirectoryMask",
    "URLMapIniFile", "MaxThread",       "ServerPort",         "ServerRoot",
    "Timeout",       "MaxRequestBody",  "TlsEnabled",         "TlsCertificateFile",
    "TlsKeyFile",    "MaxBodyInMemory", "BodySpoolDirectory", "FollowLinks",
    "ProductLine"};

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
      throw Exception("Unable to turn off listening on port [" + IntToStr(server_port_) + "]");
    }
  } else if (listen_socket_->State() != wsListening && !ListenOn(server_port_)) {
    // A loaded server listens whatever Active was; it never listens twice.
    throw Exception(ActivateError(server_port_));
  }
  active_ = Value;
}

void TKorvi::SetFile(std::string Value) {
  default_file_ = std::move(Value);
}

void TKorvi::SetIniFile(std::string Value) {
  url_map_ini_file_ = std::move(Value);
  if (!url_map_ini_file_.empty()) server_root_.clear();
  LoadURLMap();
}

void TKorvi::SetRequest(int Value) {
  max_thread_ = Value;
}

void TKorvi::SetPort(int Value) {
  if (Value == server_port_) return;
  server_port_ = Value;
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
  server_root_ = std::move(Value);
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
  std::lock_guard<std::mutex> lock(url_map_lock_);
  url_map_ = std::move(map);
}

std::shared_ptr<const TStringList> TKorvi::URLMap() const {
  std::lock_guard<std::mutex> lock(url_map_lock_);
  return url_map_;
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
    if (Source.Has("FollowLinks")) FollowLinks = Source.Boolean("FollowLinks");
    if (Source.Has("ProductLine")) ProductLine = Source.Text("ProductLine");
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
  reserve_ = std::make_unique<TDescriptorReserve>(*listen_socket_);
  KorviSSLInit();
  listen_socket_->OnSessionAvailable = [this](TObject* Sender, std::uint16_t Error) {
    ServerSocketSessionAvailable(Sender, Error);
  };
  for (int port = server_port_; port <= LastSearchPort; ++port) {
    if (ListenOn(port)) {
      // Port 0 lets the system choose; ServerPort tells which it took.
      server_port_ = port != 0 ? port : StrToIntDef(listen_socket_->GetXPort(), 0);
      return;
    }
  }
  server_port_ = 80;
  Application().MessageBox("Error Initializing Socket : 80", kCaption);
}

bool TKorvi::ListenOn(int Port) {
  try {
    listen_socket_->SetAddr(kListenAddress);
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
  if (handle < 0) {
    if (TDescriptorReserve::IsShortage(WSAGetLastError())) reserve_->Refuse();
    return;
  }
  TKorviThread* thread = nullptr;
  try {
    thread = new TKorviThread(handle);
  } catch (const std::exception&) {
    ::close(handle);
    return;
  }
  thread->Server = this;
  thread->DefaultFileName = default_file_;
  thread->ThreadRoot = server_root_;
  AttachThread(thread);
  IncThreadNumber();
  try {
    thread->Resume();
  } catch (const std::exception&) {
    // No thread for this connection: the thread object closes it and
    // leaves the live threads; accepting goes on.
    delete thread;
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

void TKorvi::AttachThread(TKorviThread* Thread) {
  std::lock_guard<std::mutex> lock(thread_lock_);
  workers_.insert(Thread);
}

void TKorvi::DetachThread(TKorviThread* Thread) {
  std::lock_guard<std::mutex> lock(thread_lock_);
  workers_.erase(Thread);
}

void TKorvi::StopWorkers() {
  std::unique_lock<std::mutex> lock(thread_lock_);
  for (auto it = workers_.begin(); it != workers_.end();) {
    TKorviThread* thread = *it;
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
    it = workers_.erase(it);
    --thread_count_;
  }
  const bool main = IsMainThread();
  while (thread_count_ > 0) {
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
