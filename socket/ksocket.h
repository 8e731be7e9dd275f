/// \file
/// TCustomKSocket / TKSocket: the event-driven, non-blocking IPv4 socket
/// component.
///
/// One object wraps one system socket. Readiness of the socket arrives as
/// notifications on the event queue of the thread that created the object
/// (see socket/socket_notifier.h); the object turns them into state changes
/// and calls of its event handlers, always on that thread. Sending goes
/// through a chain of 1514-byte blocks so that Send returns at once; OnDataSent
/// fires from the message loop once the chain has run dry. Line mode assembles
/// one text line byte by byte. Failures are reported as ESocketException
/// `"Error <code> in function <name>" CR LF <error text>`, or handed to OnError
/// when that is assigned.
#pragma once

#include <netinet/in.h>
#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include "korvi/host/component.h"
#include "korvi/host/event_queue.h"
#include "korvi/host/exceptions.h"
#include "korvi/host/file_descriptor.h"
#include "korvi/host/string_list.h"
#include "korvi/socket/send_buffer.h"
#include "korvi/socket/socket_errors.h"
#include "korvi/socket/socket_notifier.h"

namespace korvi {

class TWait;
struct TLookupRequest;

/// The states of a socket object.
enum TSocketState {
  /// Created, nothing opened yet.
  wsInvalidState,
  /// A system socket is open.
  wsOpened,
  /// Bound to a local address.
  wsBound,
  /// Connecting to the peer.
  wsConnecting,
  /// Connected to the peer.
  wsConnected,
  wsAccepting,  ///< never entered
  /// Listening for connections.
  wsListening,
  /// Closed (also before the first open).
  wsClosed
};

/// Normal or urgent (out-of-band) sending.
enum TSocketSendFlags { wsSendNormal, wsSendUrgent };

/// Whether Close lingers: off, on for LingerTimeout seconds, or left as the system sets it.
enum TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };

///@{
/// Event types; `Error` is the socket error code that came with the notification (0 = none).
using TDataAvailable = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TDataSent = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TSessionClosed = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TSessionAvailable = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TSessionConnected = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TDnsLookupDone = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TChangeState =
    std::function<void(TObject* Sender, TSocketState OldState, TSocketState NewState)>;
///@}

/// Size of each block of the send chain.
constexpr int kSocketBufferSize = 1514;
/// Longest line that line mode stores; a longer one is cut and reported.
constexpr int kMaxLineLength = 254;

/// Blocks SIGPIPE on the calling thread for good. A write into a broken pipe
/// or connection from this thread then fails with EPIPE instead of raising
/// the signal, and the sockets' file sends on it make no signal mask
/// changes. The server's worker threads call it when they start.
void KeepPipeSignalBlocked();

/// The socket component: properties, operations and events of one socket.
class TCustomKSocket : public TComponent {
 public:
  /// Creates the socket object (no system socket yet) with its notification
  /// channel on the calling thread's event queue.
  explicit TCustomKSocket(TComponent* owner);
  /// Cancels a pending lookup, closes the socket and removes the channel.
  /// Destroy the object on the thread that created it, or after that thread
  /// ended (debug builds check this).
  ~TCustomKSocket() override;

  // ---- Address properties (changes are refused unless the socket is closed)

  /// The host text (dotted address or host name), trimmed.
  const std::string& GetAddr() const { return addr_text_; }
  /// Sets the host text; refused unless the socket is closed.
  void SetAddr(const std::string& Value);
  /// The port text: decimal digits or a service name.
  const std::string& GetPort() const { return port_text_; }
  /// Sets the port text; refused unless the socket is closed.
  void SetPort(const std::string& Value);
  /// The protocol text: "tcp", "udp" or a protocol number.
  const std::string& GetProto() const { return proto_text_; }
  /// Sets the protocol text; refused unless the socket is closed.
  void SetProto(const std::string& Value);
  /// Normal or urgent (out-of-band) sending.
  TSocketSendFlags GetSendFlags();
  /// Sets normal or urgent sending.
  void SetSendFlags(TSocketSendFlags Flag);

  // ---- Read-only properties

  /// The current state.
  TSocketState State() const { return state_; }
  /// First address of the last lookup, and all of them.
  const std::string& DnsResult() const { return dns_result_; }
  /// All addresses of the last lookup.
  TStringList& DnsResultList() { return dns_result_list_; }
  /// Bytes received through Receive, ReceiveFrom and line mode since the last close.
  int ReadCount() const { return read_count_; }
  /// Bytes the send chain has handed to the system since the socket was last
  /// opened or adopted (kept after a close, until the next one).
  std::int64_t WriteCount() const { return write_count_; }
  /// Bytes pending in the system (-1 and an error report when the query fails).
  int GetRcvdCount();
  /// The same as GetRcvdCount.
  int RcvdCount() { return GetRcvdCount(); }
  /// Bytes the system still holds for the peer, sent or not, because the
  /// peer has not acknowledged them yet (-1 when the query fails). A drop
  /// while nothing new was handed over means the peer took bytes.
  int UnacknowledgedCount() const;
  /// Last error recorded by the receive paths.
  int LastError() const { return last_error_; }
  /// The send chain holds nothing more to send.
  bool AllSent() const { return all_sent_; }
  /// The notification channel; any thread may post to it (a WM_QUIT posted
  /// here ends the owning thread's MessageLoop).
  HWND WindowHandle() const { return notifier_->Handle(); }
  /// The system socket (-1 when none).
  int Handle() const { return SocketHandle.Get(); }
  /// The wait control used by blocking operations when not MultiThreaded.
  TWait* WaitCtrl() const { return wait_ctrl_; }
  /// Assigns the wait control (none: nullptr).
  void SetWaitCtrl(TWait* Value);

  // ---- Read/write fields

  /// Blocking operations pump only the own thread's queue and never use the wait control.
  bool MultiThreaded = false;
  /// Seconds Flush waits with a wait control.
  int FlushTimeout = 60;
  /// Whether Close lingers (see SetLingerOption).
  TSocketLingerOnOff LingerOnOff = wsLingerOn;
  /// Linger time in seconds (low 16 bits used).
  int LingerTimeout = 0;
  /// Accept hands out handles in non-blocking mode, the mode a socket that
  /// adopts them puts them in; false: in the system's blocking mode.
  bool AcceptNonBlocking = false;
  /// When the peer ends its direction of the connection (no reset, no
  /// error), OnSessionClosed reports it but the socket stays open, so what
  /// is still queued can go out; the owner closes it. False: it closes.
  bool KeepOpenOnPeerClose = false;

  // ---- Events (called on the owning thread when assigned)

  /// Data arrived (not called in line mode).
  TDataAvailable OnDataAvailable;
  /// The send chain ran dry after a Send.
  TDataSent OnDataSent;
  /// The connection ended.
  TSessionClosed OnSessionClosed;
  /// A listening socket has a connection waiting (call Accept).
  TSessionAvailable OnSessionAvailable;
  /// Connect has finished (`Error` 0) or failed.
  TSessionConnected OnSessionConnected;
  /// The state changed.
  TChangeState OnChangeState;
  /// Line mode received a line longer than kMaxLineLength.
  TNotifyEvent OnLineTooLong;
  /// A lookup by DnsLookup ended.
  TDnsLookupDone OnDnsLookupDone;
  /// A failure, reported here instead of as an ESocketException.
  TNotifyEvent OnError;

  // ---- Connection operations

  /// Opens the socket and starts connecting to Addr:Port (a datagram socket is connected at once).
  virtual void Connect();
  /// Binds to Addr:Port and listens; 0 on success, -1 on failure (refused
  /// with "Listen: Socket already in use" while the socket is open).
  virtual int Listen();
  /// Accepts a waiting connection on a listening socket; its handle or -1.
  virtual int Accept();
  /// The dotted address of the peer of the connection Accept returned last
  /// ("" when there is none, or it is not IPv4).
  std::string AcceptedPeerAddr() const;
  /// Adopts an accepted, connected handle (no connect event fires).
  virtual void Dup(int NewHSocket);
  /// Dup for a handle that Accept has just returned and nothing has used
  /// since: what Dup asks the system about the handle is known. With
  /// `NonBlocking`, the handle came from a listener with AcceptNonBlocking
  /// and is left in its mode.
  void DupAccepted(int NewHSocket, bool NonBlocking = false);
  /// Graceful close: shuts the connection down and closes the socket.
  virtual void Close();
  /// Closes the socket without shutting the connection down first.
  virtual void Abort();
  /// Shuts the connection down in direction `How` (0 receive, 1 send, 2 both).
  virtual void Shutdown(int How);
  /// Switches all notifications off.
  virtual void Pause();
  /// Switches them on again: read, write, connect and close; a listening
  /// socket gets its read, write, accept and close notifications back.
  virtual void Resume();
  /// Applies LingerOnOff and LingerTimeout to the socket (nothing with wsLingerNoSet).
  void SetLingerOption();
  /// Holds partly filled segments back until later sends fill them, or until
  /// the sending direction ends or the socket closes (TCP_CORK): what is
  /// sent in pieces leaves in full segments.
  void HoldPartialSegments();
  /// Ends HoldPartialSegments: what is held back leaves at once, also what
  /// a SendAhead left waiting.
  virtual void SendPartialSegments();
  /// Lets every send leave at once instead of waiting for the
  /// acknowledgement of what is still in flight (Nagle's wait off,
  /// TCP_NODELAY). SendAhead and HoldPartialSegments still hold partly
  /// filled segments back.
  void SendWithoutDelay();
  /// The CPU on which the connection's latest packets were taken in
  /// (SO_INCOMING_CPU); -1 when the system does not say.
  int IncomingCpu() const;
  /// TLS hooks run after Dup; here they do nothing and return true.
  virtual bool Startup();
  /// Does nothing here and returns true.
  virtual bool HandShake();

  // ---- Names

  /// Local address / port as text when bound, connected or listening, else "error".
  virtual std::string GetXAddr();
  /// The local port as text, or "error".
  virtual std::string GetXPort();
  /// The peer's dotted address when connected, else "error".
  virtual std::string GetPeerAddr();
  /// The peer's address record; -1 unless connected, else the system result.
  virtual int GetPeerName(sockaddr_in& Name, int NameLen);
  /// The local address record (system result, unchecked).
  virtual int GetSockName(sockaddr_in& Name, int& NameLen);

  // ---- Data path

  /// Queues `Len` bytes and starts sending; bytes accepted or -1 when not connected.
  virtual int Send(const void* Data, int Len);
  /// Send, telling the system that more of the stream follows at once: a
  /// partly filled last segment waits for the next send, SendPartialSegments
  /// or the close.
  int SendAhead(const void* Data, int Len);
  /// Send of `Len` bytes of the open file `FileHandle` from `Offset`: the
  /// same chain, events and counts as Send of those bytes once read. While
  /// nothing queued must go first, the system copies them from the file to
  /// the connection itself, without the _Write hook (a subclass that hooks
  /// _Write sends files with Send). Returns the bytes taken from the file
  /// (fewer at its end, 0 past it), or -1 when not connected.
  int SendFileBytes(int FileHandle, std::int64_t Offset, int Len);
  /// Hands up to `Len` bytes of the open file `FileHandle` from `Offset` to
  /// the connection, as many as the system takes at once; the rest stays
  /// with the caller. After a call that left bytes over, OnDataSent fires
  /// once the connection takes more. Where nothing may go straight to the
  /// connection (see SendFileBytes), or the system has no room at all, one
  /// block of at most 8192 bytes goes the chain's way instead. The same
  /// events and counts as Send of the bytes taken; returns their number
  /// (0 past the file's end), or -1 when not connected.
  int SendFileBytesAsTaken(int FileHandle, std::int64_t Offset, int Len);
  /// Send of the string's bytes.
  virtual int SendStr(const std::string& Str);
  /// SendStr without a result.
  void SendText(const std::string& Str);
  /// Appends bytes to the send chain (blocks of BufferSize bytes).
  void PutDataInSendBuffer(const void* Data, int Len);
  /// BufferSize: the most bytes of the chain one system call hands over
  /// (over TLS, one record).
  int SendBlockSize() const { return BufferSize; }
  /// PutDataInSendBuffer of the string's bytes.
  void PutStringInSendBuffer(const std::string& Str);
  /// Sends from the chain as far as the system accepts.
  void TryToSend();
  /// Blocks until the send chain is empty (FlushTimeout with a wait control).
  virtual void Flush();
  /// One receive into `Buffer`; the count, 0 when the peer closed, -1 on error (see LastError).
  virtual int Receive(void* Buffer, int BufferSize);
  /// Everything pending, as one string (empty when nothing is pending).
  virtual std::string ReceiveStr();
  /// One datagram with its sender; the count or -1.
  virtual int ReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen);
  /// Receives without consuming; the count or -1.
  int PeekData(void* Buffer, int BufferSize);
  /// Reads one text line (CR dropped, LF ends it), waiting up to `Timeout`
  /// seconds; after a time-out `Line` is the partial line and the next call continues it.
  virtual void ReadLine(int Timeout, std::string& Line);
  /// Starts line mode (a line already being assembled continues).
  void ReadLineStart();
  /// Waits up to `Timeout` seconds for `WaitFor`; false at once when already there.
  virtual bool Wait(int Timeout, TSocketState WaitFor);
  /// Pumps messages until the peer has closed, delivering the data that arrives.
  virtual void WaitForClose();
  /// True when a wait control is assigned (else reports "No wait object assigned").
  bool CheckFWait();

  // ---- Lookup

  /// Looks `HostName` up; OnDnsLookupDone reports the result (inside the call
  /// for a dotted address, later from the message loop for a name).
  virtual void DnsLookup(const std::string& HostName);
  /// Cancels a pending lookup (OnDnsLookupDone with 10004).
  virtual void CancelDnsLookup();

  // ---- Message pumping

  /// Dispatches the calling thread's messages until a quit request arrives.
  void MessageLoop();
  /// Dispatches the messages already queued for the calling thread.
  void ProcessMessages();

  // ---- Seconds/microseconds helpers

  /// True when either part is non-zero.
  virtual bool TimerIsSet(const timeval& Tvp);
  /// Sets both parts to zero.
  virtual void TimerClear(timeval& Tvp);
  /// Equality of the two pairs, inverted when `Not` is set.
  virtual bool TimerCmp(const timeval& Tvp, const timeval& Uvp, bool Not);

 protected:
  void Notification(TComponent* component, TOperation operation) override;

  /// Dispatches the channel's messages.
  virtual void WndProc(TMessage& MsgRec);
  /// Resets the fields that every close resets.
  virtual void AssignDefaultValue();
  /// The notification channel, for subclasses that read or write the
  /// connection themselves and re-arm its notifications.
  TSocketNotifier& Notifier() { return *notifier_; }
  /// Closes the socket (gracefully: shut down first) and reports the end of the session.
  virtual void InternalClose(bool bShut);
  /// Binds to any address and a port the system picks (LocalPort).
  virtual void BindSocket();
  /// Reports a failure: OnError when assigned, else ESocketException.
  virtual void RaiseExceptionFmt(const std::string& Fmt, std::initializer_list<FormatArg> Args);
  /// Reports `Msg` as RaiseExceptionFmt does.
  virtual void RaiseException(const std::string& Msg);

  ///@{
  /// Calls the event of its name when assigned; TriggerDataAvailable returns
  /// whether a handler was called.
  virtual bool TriggerDataAvailable(std::uint16_t Error);
  virtual void TriggerSessionAvailable(std::uint16_t Error);
  virtual void TriggerSessionConnected(std::uint16_t Error);
  virtual void TriggerSessionClosed(std::uint16_t Error);
  virtual void TriggerDataSent(std::uint16_t Error);
  virtual void TriggerChangeState(TSocketState OldState, TSocketState NewState);
  virtual void TriggerDNSLookupDone(std::uint16_t Error);
  virtual void TriggerError();
  ///@}

  ///@{
  /// The only places that call the system's send-to, send and receive; each
  /// returns the system result (count, or -1 with the last socket error set).
  virtual int _WriteTo(int s, const void* buf, int len, int flags, const sockaddr_in& to,
                       int tolen);
  virtual int _Write(int s, const void* buf, int len, int flags);
  virtual int _read(int s, void* buf, int len, int flags);
  ///@}

  /// Builds `"Error <code> in function <name>" CR LF <text>` from the last socket
  /// error and reports it; 10054 and 10057 mark the socket closed first.
  void SocketError(const std::string& sockfunc);
  /// Sets State and fires OnChangeState; stops the wait control when the awaited state came.
  void ChangeState(TSocketState NewState);
  /// Delivers received data (line mode or OnDataAvailable) while bytes are
  /// pending. A handler's exception ends the delivery quietly, except
  /// EThreadAbandoned, which unwinds the thread.
  void ASyncReceive(std::uint16_t Error);
  /// Reads line-mode bytes one at a time until a line ends or nothing is pending.
  void ReadLineReceive();
  /// Handles a readiness notification of the system socket.
  void WMASyncSelect(TMessage& msg);
  /// Handles the end of a name lookup.
  void WMAsyncGetHostByName(TMessage& msg);

  // ---- Fields (see AssignDefaultValue for those reset by every close)
  /// \cond internal

  bool PortAssigned = false;
  bool AddrAssigned = false;
  bool AddrResolved = false;
  bool ProtoAssigned = true;
  std::int32_t PortNumber = 0;
  std::int32_t LocalPort = 0;
  std::int32_t ProtocolNumber = IPPROTO_TCP;
  std::int32_t SocketType = 1;  ///< 1 stream, 2 datagram
  std::int32_t AddressFamily = AF_INET;
  int AcceptedHandle = -1;
  sockaddr_in AcceptedPeer{};  ///< the peer of AcceptedHandle
  std::deque<std::unique_ptr<TBuffer>> SendBufferList;
  std::int32_t BufferSize = kSocketBufferSize;
  std::int32_t SendFlagsValue = 0;
  TSocketState WaitState = wsInvalidState;
  bool Paused = false;
  std::string LineBuffer;
  std::int32_t LineLength = 0;
  bool LineMode = false;
  bool CloseReported = false;
  std::uint64_t LookupHandle = 0;
  TFileDescriptor SocketHandle;  ///< the system socket, closed with the object
  sockaddr_in SockAddr{};
  bool TlsEnabled = false;
  /// \endcond

 private:
  /// Dup, and with `accepted` DupAccepted (`non_blocking` as there).
  void Adopt(int NewHSocket, bool accepted, bool non_blocking);
  /// The start of Send and SendFileBytes: false (with the error reported)
  /// unless connected.
  bool BeginSend();
  /// Their end: OnDataSent is posted when everything went.
  void EndSend();
  /// Hands `count` bytes to the system in one call: the bytes it took, or
  /// -1 when the call failed (the socket closed, waits for room, or
  /// reported the error). A block taken in part waits for room for the rest.
  int WriteBlock(const char* data, int count);
  /// Hands `len` bytes to the system block by block, as far as it takes
  /// them; the bytes taken.
  int SendStraight(const char* data, int len);
  /// Nothing waits in the send chain.
  bool ChainEmpty() const;

  /// Bytes of a file that go the chain's way in one read.
  static constexpr int kFileBlock = 8192;
  /// Why CopyFileBytes stopped.
  enum class TFileCopyEnd : std::uint8_t { Complete, FileEnded, Full, Refused };
  /// File bytes may go straight to the connection: nothing queued waits,
  /// and the socket is a stream without send flags.
  bool DirectFileSend() const;
  /// Copies bytes of the file from `Offset + taken` to the connection
  /// until `taken` reaches `Len`, the file ends, the connection has no room
  /// (Full) or the system fails (Refused); counts them in `taken`.
  TFileCopyEnd CopyFileBytes(int FileHandle, std::int64_t Offset, int Len, int& taken);
  /// Bytes the system would still queue for sending: its send buffer less
  /// what waits there unsent or unacknowledged (0 when it cannot tell).
  std::size_t SendRoom() const;
  /// Reads up to `Len` bytes of the file from `Offset` into the chain; the
  /// bytes read.
  int QueueFileBytes(int FileHandle, std::int64_t Offset, int Len);
  /// The end of a file send that took `taken` bytes: starts the chain and
  /// EndSend; returns `taken`.
  int EndFileSend(int taken);
  /// The common start of SetPort and SetProto: unless `Value` is the assigned
  /// text already, stores it, refuses the change when not closed and trims it
  /// into `text`; true when `text` is to be parsed.
  bool StoreSetting(bool& assigned, std::string& stored, const std::string& Value,
                    const std::string& refusal, std::string& text);
  /// Resolves Addr when needed and creates the system socket; false (after
  /// reporting `function`) when the socket cannot be created.
  bool CreateSocket(const std::string& function);
  /// The local address record when bound, connected or listening; false
  /// otherwise or when the system cannot tell it.
  bool LocalName(sockaddr_in& name);
  /// Sets a socket-level option; false (after reporting `function`) when it fails.
  bool SetSocketOption(int option, int value, const std::string& function);
  /// _read on the own handle; a receive call lets FD_READ come again.
  int ReadHandle(void* buf, int len, int flags);
  /// Closes and forgets the system socket, without any event, and drops the
  /// bytes still queued for it; 0, or the socket error of a failing close.
  int CloseHandle();
  /// Stops the wait control unless MultiThreaded or none is assigned.
  void StopWaitCtrl();
  /// Pumps the own queue until `done` or `timeout_s` seconds passed; false on time-out.
  bool PumpOwnQueueUntil(const std::function<bool()>& done, int timeout_s);
  /// Shows the wait control counting down from `timeout_s` and runs it modally.
  void RunWaitCtrlModal(int timeout_s);
  std::unique_ptr<TSocketNotifier> notifier_;
  std::string addr_text_;
  std::string port_text_;
  std::string proto_text_ = "tcp";
  std::string dns_result_;
  TStringList dns_result_list_;
  std::shared_ptr<TLookupRequest> lookup_;
  TWait* wait_ctrl_ = nullptr;
  TSocketState state_ = wsClosed;
  int last_error_ = 0;
  int read_count_ = 0;
  std::int64_t write_count_ = 0;
  bool all_sent_ = true;
  bool emptied_ = false;       // the last Receive took less than it asked for
  bool more_ahead_ = false;    // the bytes being sent are not the stream's last
  bool wait_reached_ = false;  ///< WaitState (or the close ending it) was entered
  bool destroying_ = false;
};

/// The socket component with its properties published.
class TKSocket : public TCustomKSocket {
 public:
  using TCustomKSocket::TCustomKSocket;
};

}  // namespace korvi
