// TCustomKSocket: construction, address properties, connection operations,
// error reporting and the dispatch of socket notifications.
#include "korvi/socket/ksocket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "korvi/host/sysutils.h"
#include "korvi/socket/name_lookup.h"
#include "korvi/socket/wait_control.h"

namespace korvi {
namespace {

// Service and protocol names longer than this are not looked up.
constexpr size_t kMaxServiceName = 31;

constexpr unsigned kConnectMask = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
constexpr unsigned kListenMask = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;
constexpr unsigned kConnectedMask = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;

bool StartsWithDigit(const std::string& text) {
  return !text.empty() && text[0] >= '0' && text[0] <= '9';
}

// The port (network order) of service `name` for protocol `proto` (any
// protocol when empty); false when the system's service table lacks it.
bool LookupService(const std::string& name, const std::string& proto, std::uint16_t& port) {
  if (name.size() > kMaxServiceName || proto.size() > kMaxServiceName) return false;
  servent entry{};
  servent* found = nullptr;
  std::array<char, 1024> scratch{};
  getservbyname_r(name.c_str(), proto.empty() ? nullptr : proto.c_str(), &entry, scratch.data(),
                  scratch.size(), &found);
  if (found == nullptr) return false;
  port = static_cast<std::uint16_t>(found->s_port);
  return true;
}

// The number of protocol `name`; false when the system's protocol table lacks it.
bool LookupProtocol(const std::string& name, int& number) {
  if (name.size() > kMaxServiceName) return false;
  protoent entry{};
  protoent* found = nullptr;
  std::array<char, 1024> scratch{};
  getprotobyname_r(name.c_str(), &entry, scratch.data(), scratch.size(), &found);
  if (found == nullptr) return false;
  number = found->p_proto;
  return true;
}

}  // namespace

// ---- Construction

TCustomKSocket::TCustomKSocket(TComponent* owner) : TComponent(owner) {
  TlsEnabled = false;
  notifier_ = std::make_unique<TSocketNotifier>([this](TMessage& msg) { WndProc(msg); });
  BufferSize = kSocketBufferSize;
  AssignDefaultValue();
  SocketCreated();
}

TCustomKSocket::~TCustomKSocket() {
  TEventQueue::CheckOwnerThread(WindowHandle(), "TCustomKSocket");
  destroying_ = true;
  try {
    CancelDnsLookup();
    if (state_ != wsClosed) Close();
  } catch (const Exception&) {
    // A destructor cannot report; the handle is released below in any case.
  }
  if (SocketHandle.Valid()) CloseHandle();
  if (wait_ctrl_ != nullptr) RemoveFreeNotification(wait_ctrl_);
  SocketDestroyed();
}

void TCustomKSocket::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation == TOperation::opRemove && component == wait_ctrl_) wait_ctrl_ = nullptr;
}

void TCustomKSocket::SetWaitCtrl(TWait* Value) {
  if (wait_ctrl_ == Value) return;
  if (wait_ctrl_ != nullptr) RemoveFreeNotification(wait_ctrl_);
  wait_ctrl_ = Value;
  if (wait_ctrl_ != nullptr) FreeNotification(wait_ctrl_);
}

void TCustomKSocket::AssignDefaultValue() {
  std::memset(&SockAddr, 0, sizeof SockAddr);
  SockAddr.sin_family = AF_INET;
  AddressFamily = AF_INET;
  PortAssigned = false;
  AddrAssigned = false;
  AddrResolved = false;
  ProtoAssigned = true;
  ProtocolNumber = IPPROTO_TCP;
  proto_text_ = "tcp";
  SocketType = SOCK_STREAM;
  LingerOnOff = wsLingerOn;
  LingerTimeout = 0;
  // Every close path has released the handle by now; a subclass that resets
  // an open socket closes it here rather than losing it.
  if (SocketHandle.Valid()) CloseHandle();
  state_ = wsClosed;
  WaitState = wsInvalidState;
  all_sent_ = true;
  LineMode = false;
  LineLength = 0;
  Paused = false;
  read_count_ = 0;
  CloseReported = false;
  FlushTimeout = 60;
}

// ---- Address properties

void TCustomKSocket::SetAddr(const std::string& Value) {
  if (AddrAssigned && addr_text_ == Value) return;
  addr_text_ = Trim(Value);
  if (addr_text_.empty()) {
    AddrAssigned = false;
  } else if (state_ == wsClosed) {
    AddrResolved = false;
    AddrAssigned = true;
  } else {
    RaiseException("Cannot change Addr if not closed");
  }
}

bool TCustomKSocket::StoreSetting(bool& assigned, std::string& stored, const std::string& Value,
                                  const std::string& refusal, std::string& text) {
  if (assigned && stored == Value) return false;
  stored = Value;
  if (state_ != wsClosed) {
    RaiseException(refusal);
    return false;
  }
  text = Trim(Value);
  if (text.empty()) {
    assigned = false;
    return false;
  }
  WinsockStartup();
  return true;
}

void TCustomKSocket::SetPort(const std::string& Value) {
  std::string text;
  if (!StoreSetting(PortAssigned, port_text_, Value, "Cannot change Port if not closed", text)) {
    return;
  }
  PortAssigned = true;
  if (StartsWithDigit(text)) {
    SockAddr.sin_port = htons(static_cast<std::uint16_t>(ParseLeadingNumber(text)));
  } else {
    std::uint16_t port = 0;
    if (!LookupService(text, proto_text_, port)) {
      PortAssigned = false;
      WSASetLastError(WSANO_DATA);
      SocketError("SetPort: Cannot convert port '" + text + "'");
      return;
    }
    SockAddr.sin_port = port;
  }
  PortNumber = ntohs(SockAddr.sin_port);
}

void TCustomKSocket::SetProto(const std::string& Value) {
  std::string text;
  if (!StoreSetting(ProtoAssigned, proto_text_, Value, "Cannot change Proto if not closed", text) ||
      text == "not found") {
    return;
  }
  ProtoAssigned = true;
  int number = 0;
  if (StartsWithDigit(text)) {
    number = ParseLeadingNumber(text);
  } else if (!LookupProtocol(text, number)) {
    ProtoAssigned = false;
    WSASetLastError(WSANO_DATA);
    SocketError("SetProto: Cannot convert protocol '" + text + "'");
    return;
  }
  ProtocolNumber = number;
  SocketType = number == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
}

bool TCustomKSocket::LocalName(sockaddr_in& name) {
  if (state_ != wsBound && state_ != wsConnected && state_ != wsListening) return false;
  int len = sizeof name;
  return GetSockName(name, len) == 0;
}

std::string TCustomKSocket::GetXAddr() {
  sockaddr_in name{};
  return LocalName(name) ? DottedAddress(name.sin_addr.s_addr) : "error";
}

std::string TCustomKSocket::GetXPort() {
  sockaddr_in name{};
  return LocalName(name) ? IntToStr(ntohs(name.sin_port)) : "error";
}

std::string TCustomKSocket::GetPeerAddr() {
  if (state_ != wsConnected) return "error";
  sockaddr_in name{};
  if (GetPeerName(name, sizeof name) != 0) {
    SocketError("GetPeerName");
    return "error";
  }
  return DottedAddress(name.sin_addr.s_addr);
}

int TCustomKSocket::GetPeerName(sockaddr_in& Name, int NameLen) {
  if (state_ != wsConnected) return -1;
  socklen_t len = static_cast<socklen_t>(NameLen);
  const int result = getpeername(SocketHandle.Get(), reinterpret_cast<sockaddr*>(&Name), &len);
  if (result != 0) WSASetLastErrorFromErrno();
  return result;
}

int TCustomKSocket::GetSockName(sockaddr_in& Name, int& NameLen) {
  socklen_t len = static_cast<socklen_t>(NameLen);
  const int result = getsockname(SocketHandle.Get(), reinterpret_cast<sockaddr*>(&Name), &len);
  if (result != 0) WSASetLastErrorFromErrno();
  NameLen = static_cast<int>(len);
  return result;
}

// ---- Connection operations

void TCustomKSocket::Connect() {
  if (SocketHandle.Valid() && state_ != wsClosed) {
    RaiseException("Connect: Socket already in use");
    return;
  }
  if (!PortAssigned) {
    RaiseException("Connect: No Port Specified");
    return;
  }
  if (!AddrAssigned) {
    RaiseException("Connect: No IP Address Specified");
    return;
  }
  if (!ProtoAssigned) {
    RaiseException("Connect: No Protocol Specified");
    return;
  }
  if (!CreateSocket("Connect (socket)")) return;
  ChangeState(wsOpened);
  if (SocketType == SOCK_DGRAM) {
    BindSocket();
    if (SockAddr.sin_addr.s_addr == INADDR_BROADCAST &&
        !SetSocketOption(SO_BROADCAST, 1, "setsockopt(SO_BROADCAST)")) {
      return;
    }
  } else {
    SetLingerOption();
    if (!SetSocketOption(SO_KEEPALIVE, -1, "setsockopt(SO_KEEPALIVE)") ||
        !SetSocketOption(SO_REUSEADDR, -1, "setsockopt(SO_REUSEADDR)")) {
      return;
    }
  }
  if (!notifier_->Select(SocketHandle.Get(), kConnectMask)) {
    SocketError("WSAAsyncSelect");
    return;
  }
  if (SocketType == SOCK_DGRAM) {
    ChangeState(wsConnected);
    TriggerSessionConnected(0);
    return;
  }
  if (connect(SocketHandle.Get(), reinterpret_cast<const sockaddr*>(&SockAddr), sizeof SockAddr) ==
          0 ||
      errno == EINPROGRESS) {
    notifier_->ConnectStarted();
    ChangeState(wsConnecting);
    return;
  }
  last_error_ = WSASetLastErrorFromErrno();
  SocketError("Connect");
}

int TCustomKSocket::Listen() {
  // A socket that already holds a connection or a listener keeps it: a new
  // descriptor would leave the old one open (and its port bound) for good.
  if (SocketHandle.Valid() && state_ != wsClosed) {
    RaiseException("Listen: Socket already in use");
    return -1;
  }
  if (!PortAssigned || !ProtoAssigned || !AddrAssigned) {
    WSASetLastError(WSAEINVAL);
    SocketError(!PortAssigned    ? "listen: port not assigned"
                : !ProtoAssigned ? "listen: protocol not assigned"
                                 : "listen: address not assigned");
    return -1;
  }
  if (!CreateSocket("socket")) return -1;
  // Linux keeps a port busy while old connections linger in TIME_WAIT; this
  // lets a restarted listener bind again (two live listeners still conflict).
  if (SocketType == SOCK_STREAM) {
    int reuse = 1;
    setsockopt(SocketHandle.Get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  }
  if (bind(SocketHandle.Get(), reinterpret_cast<const sockaddr*>(&SockAddr), sizeof SockAddr) !=
      0) {
    const int error = WSASetLastErrorFromErrno();
    // The socket never reached a state that Close would act on: release it
    // here so a failed attempt (the server tries port after port) leaks nothing.
    CloseHandle();
    WSASetLastError(error);
    SocketError("Bind");
    return -1;
  }
  ChangeState(wsBound);
  if (SocketType == SOCK_DGRAM) {
    ChangeState(wsListening);
    ChangeState(wsConnected);
    TriggerSessionConnected(0);
  } else {
    // The old socket library capped the queue of waiting connections at 5;
    // on Linux the system's own maximum keeps a burst of connects from
    // stalling in SYN retries while the accepting thread catches up.
    if (listen(SocketHandle.Get(), SOMAXCONN) != 0) {
      WSASetLastErrorFromErrno();
      SocketError("Listen");
      return -1;
    }
    ChangeState(wsListening);
  }
  if (!notifier_->Select(SocketHandle.Get(), kListenMask)) {
    SocketError("WSAASyncSelect");
    return -1;
  }
  return 0;
}

int TCustomKSocket::Accept() {
  if (state_ != wsListening) {
    WSASetLastError(WSAEINVAL);
    SocketError("not a listening socket");
    return -1;
  }
  AcceptedPeer = sockaddr_in{};
  socklen_t length = sizeof AcceptedPeer;
  const int handle = accept4(SocketHandle.Get(), reinterpret_cast<sockaddr*>(&AcceptedPeer),
                             &length, SOCK_CLOEXEC | (AcceptNonBlocking ? SOCK_NONBLOCK : 0));
  if (handle < 0) WSASetLastErrorFromErrno();
  notifier_->AcceptCalled();
  if (handle < 0) {
    SocketError("Accept");
    return -1;
  }
  AcceptedHandle = handle;
  return handle;
}

std::string TCustomKSocket::AcceptedPeerAddr() const {
  return AcceptedPeer.sin_family == AF_INET ? DottedAddress(AcceptedPeer.sin_addr.s_addr) : "";
}

void TCustomKSocket::Dup(int NewHSocket) {
  Adopt(NewHSocket, false, false);
}

void TCustomKSocket::DupAccepted(int NewHSocket, bool NonBlocking) {
  Adopt(NewHSocket, true, NonBlocking);
}

void TCustomKSocket::Adopt(int NewHSocket, bool accepted, bool non_blocking) {
  if (NewHSocket == 0 || NewHSocket == -1) {
    WSASetLastError(WSAEINVAL);
    SocketError("Dup");
    return;
  }
  if (state_ != wsClosed) {
    if (CloseHandle() != 0) {
      SocketError("Dup (closesocket)");
      return;
    }
    ChangeState(wsClosed);
  }
  SocketHandle.Reset(NewHSocket);
  write_count_ = 0;
  // Listen leaves the linger option alone, so a handle fresh from its
  // accept lingers off already.
  if (!accepted || LingerOnOff != wsLingerOff) SetLingerOption();
  const int fd = SocketHandle.Get();
  if (!(accepted ? notifier_->SelectAccepted(fd, kConnectedMask, non_blocking)
                 : notifier_->Select(fd, kConnectedMask))) {
    SocketError("WSAAsyncSelect");
    return;
  }
  ChangeState(wsConnected);
}

void TCustomKSocket::Close() {
  InternalClose(true);
}

void TCustomKSocket::Abort() {
  InternalClose(false);
}

void TCustomKSocket::InternalClose(bool bShut) {
  if (!SocketHandle.Valid()) {
    if (state_ != wsClosed) {
      ChangeState(wsClosed);
      AssignDefaultValue();
    }
    return;
  }
  if (state_ == wsClosed) return;
  if (bShut) Shutdown(2);
  // On Linux the descriptor is released even when close reports an error
  // (EINTR included), so it is never closed a second time: by then the
  // number may belong to a descriptor opened elsewhere.
  const int error = CloseHandle();
  if (error != 0) {
    last_error_ = error;
    if (error != WSAEINTR && error != WSAEWOULDBLOCK) {
      SocketError("Disconnect (closesocket)");
      return;
    }
  }
  ChangeState(wsClosed);
  if (!destroying_ && !CloseReported && OnSessionClosed) {
    CloseReported = true;
    TriggerSessionClosed(0);
  }
  AssignDefaultValue();
}

void TCustomKSocket::Shutdown(int How) {
  if (SocketHandle.Valid()) shutdown(SocketHandle.Get(), How);
}

void TCustomKSocket::Pause() {
  Paused = true;
  if (SocketHandle.Valid()) notifier_->Select(SocketHandle.Get(), 0);
}

void TCustomKSocket::Resume() {
  Paused = false;
  // A listening socket gets its accept notification back; without it a
  // resumed listener would never hear of a connection again.
  if (SocketHandle.Valid()) {
    notifier_->Select(SocketHandle.Get(), state_ == wsListening ? kListenMask : kConnectedMask);
  }
}

void TCustomKSocket::BindSocket() {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  if (bind(SocketHandle.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    RaiseExceptionFmt("winsock.bind failed, error #%d", {WSASetLastErrorFromErrno()});
    return;
  }
  int len = sizeof local;
  if (GetSockName(local, len) != 0) {
    RaiseExceptionFmt("winsock.getsockname failed, error #%d", {WSAGetLastError()});
    return;
  }
  LocalPort = ntohs(local.sin_port);
}

void TCustomKSocket::SetLingerOption() {
  if (LingerOnOff == wsLingerNoSet) return;
  if (!SocketHandle.Valid()) {
    RaiseException("Cannot set linger option at this time");
    return;
  }
  linger option{};
  option.l_onoff = LingerOnOff == wsLingerOn ? 1 : 0;
  option.l_linger = LingerTimeout & 0xFFFF;
  if (setsockopt(SocketHandle.Get(), SOL_SOCKET, SO_LINGER, &option, sizeof option) != 0) {
    WSASetLastErrorFromErrno();
    SocketError("setsockopt(SO_LINGER)");
  }
}

void TCustomKSocket::HoldPartialSegments() {
  const int on = 1;
  // A socket that is not TCP simply goes on as it is.
  setsockopt(SocketHandle.Get(), IPPROTO_TCP, TCP_CORK, &on, sizeof on);
}

void TCustomKSocket::SendPartialSegments() {
  const int off = 0;
  setsockopt(SocketHandle.Get(), IPPROTO_TCP, TCP_CORK, &off, sizeof off);
}

void TCustomKSocket::SendWithoutDelay() {
  const int on = 1;
  setsockopt(SocketHandle.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int TCustomKSocket::IncomingCpu() const {
  int cpu = -1;
  socklen_t length = sizeof cpu;
  if (getsockopt(SocketHandle.Get(), SOL_SOCKET, SO_INCOMING_CPU, &cpu, &length) != 0) return -1;
  return cpu;
}

bool TCustomKSocket::Startup() {
  return true;
}

bool TCustomKSocket::HandShake() {
  return true;
}

bool TCustomKSocket::CreateSocket(const std::string& function) {
  if (!AddrResolved) {
    SockAddr.sin_addr.s_addr = KSocketResolveHost(addr_text_);
    AddrResolved = true;
  }
  SocketHandle.Reset(socket(AddressFamily, SocketType | SOCK_CLOEXEC, ProtocolNumber));
  write_count_ = 0;
  if (SocketHandle.Valid()) return true;
  WSASetLastErrorFromErrno();
  SocketError(function);
  return false;
}

bool TCustomKSocket::SetSocketOption(int option, int value, const std::string& function) {
  if (setsockopt(SocketHandle.Get(), SOL_SOCKET, option, &value, sizeof value) == 0) return true;
  WSASetLastErrorFromErrno();
  SocketError(function);
  return false;
}

int TCustomKSocket::CloseHandle() {
  notifier_->Release();
  const int error = SocketHandle.Reset() == 0 ? 0 : WSASetLastErrorFromErrno();
  // What the chain still holds was meant for this connection only; the
  // emptied first block stays for reuse.
  if (!SendBufferList.empty()) {
    SendBufferList.resize(1);
    SendBufferList.front()->Remove(SendBufferList.front()->Unread());
  }
  return error;
}

// ---- Error reporting

void TCustomKSocket::SocketError(const std::string& sockfunc) {
  const int error = WSAGetLastError();
  const std::string text =
      "Error " + IntToStr(error) + " in function " + sockfunc + "\r\n" + KSocketErrorDesc(error);
  if (error == WSAECONNRESET || error == WSAENOTCONN) {
    if (SocketHandle.Valid()) CloseHandle();
    ChangeState(wsClosed);
  }
  RaiseException(text);
}

void TCustomKSocket::RaiseException(const std::string& Msg) {
  if (OnError) {
    TriggerError();
    return;
  }
  throw ESocketException(Msg);
}

void TCustomKSocket::RaiseExceptionFmt(const std::string& Fmt,
                                       std::initializer_list<FormatArg> Args) {
  if (OnError) {
    TriggerError();
    return;
  }
  throw ESocketException(Format(Fmt, Args));
}

void TCustomKSocket::ChangeState(TSocketState NewState) {
  const TSocketState old_state = state_;
  state_ = NewState;
  TriggerChangeState(old_state, NewState);
  if (NewState == WaitState || (WaitState == wsConnected && NewState == wsClosed)) {
    wait_reached_ = true;
    StopWaitCtrl();
  }
}

void TCustomKSocket::StopWaitCtrl() {
  if (!MultiThreaded && wait_ctrl_ != nullptr) wait_ctrl_->Stop();
}

// ---- Events

bool TCustomKSocket::TriggerDataAvailable(std::uint16_t Error) {
  if (!OnDataAvailable) return false;
  OnDataAvailable(this, Error);
  return true;
}

void TCustomKSocket::TriggerSessionAvailable(std::uint16_t Error) {
  if (OnSessionAvailable) OnSessionAvailable(this, Error);
}

void TCustomKSocket::TriggerSessionConnected(std::uint16_t Error) {
  if (OnSessionConnected) OnSessionConnected(this, Error);
}

void TCustomKSocket::TriggerSessionClosed(std::uint16_t Error) {
  if (OnSessionClosed) OnSessionClosed(this, Error);
}

void TCustomKSocket::TriggerDataSent(std::uint16_t Error) {
  if (OnDataSent) OnDataSent(this, Error);
}

void TCustomKSocket::TriggerChangeState(TSocketState OldState, TSocketState NewState) {
  if (OnChangeState) OnChangeState(this, OldState, NewState);
}

void TCustomKSocket::TriggerDNSLookupDone(std::uint16_t Error) {
  if (OnDnsLookupDone) OnDnsLookupDone(this, Error);
}

void TCustomKSocket::TriggerError() {
  if (OnError) OnError(this);
}

// ---- Notification dispatch

void TCustomKSocket::WndProc(TMessage& MsgRec) {
  switch (MsgRec.Msg) {
    case WM_ASYNCSELECT:
      WMASyncSelect(MsgRec);
      break;
    case WM_ASYNCGETHOSTBYNAME:
      WMAsyncGetHostByName(MsgRec);
      break;
    default:
      break;
  }
}

void TCustomKSocket::WMASyncSelect(TMessage& msg) {
  if (!SocketHandle.Valid() || !notifier_->IsCurrent(msg) || Paused) return;
  const unsigned events = WSAGetSelectEvent(msg.LParam);
  const std::uint16_t error = WSAGetSelectError(msg.LParam);
  if (events & FD_CONNECT) {
    ChangeState(wsConnected);
    TriggerSessionConnected(error);
    if (error != 0 && state_ != wsClosed) Close();
  }
  if (events & FD_READ) ASyncReceive(error);
  if (events & FD_WRITE) {
    TryToSend();
    if (all_sent_ && OnDataSent) TriggerDataSent(error);
  }
  if (events & FD_ACCEPT) TriggerSessionAvailable(error);
  if ((events & FD_CLOSE) && state_ != wsConnecting) {
    ASyncReceive(error);
    if (LineMode) {
      LineMode = false;
      StopWaitCtrl();
    }
    if (OnSessionClosed && !CloseReported) {
      CloseReported = true;
      TriggerSessionClosed(error);
    }
    if (state_ != wsClosed && (error != 0 || !KeepOpenOnPeerClose)) Close();
  }
}

// ---- Seconds/microseconds helpers

bool TCustomKSocket::TimerIsSet(const timeval& Tvp) {
  return Tvp.tv_sec != 0 || Tvp.tv_usec != 0;
}

void TCustomKSocket::TimerClear(timeval& Tvp) {
  Tvp.tv_sec = 0;
  Tvp.tv_usec = 0;
}

bool TCustomKSocket::TimerCmp(const timeval& Tvp, const timeval& Uvp, bool Not) {
  const bool equal = Tvp.tv_sec == Uvp.tv_sec && Tvp.tv_usec == Uvp.tv_usec;
  return Not ? !equal : equal;
}

}  // namespace korvi
