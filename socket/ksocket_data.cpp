// TCustomKSocket data path: the send chain, receiving, line mode and the
// blocking operations.
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include "korvi/host/sysutils.h"
#include "korvi/host/thread.h"
#include "korvi/socket/file_pipe.h"
#include "korvi/socket/ksocket.h"
#include "korvi/socket/message_pump.h"
#include "korvi/socket/wait_control.h"

namespace korvi {
namespace {

constexpr char kLF = 10;
constexpr char kCR = 13;
// Longest single wait of WaitForClose between two looks at the connection.
constexpr int kCloseProbeMs = 100;
// A part of a file at least this large goes through a TFilePipe when the
// connection has room for it and has carried kWarmConnection bytes; a
// smaller one, where the pipe's own calls cost more than they save, goes by
// sendfile. So does everything in a connection's first mebibyte: there its
// first round trips, not the calls, set the pace.
constexpr std::size_t kPipedFileBytes = 256 * 1024;
constexpr std::int64_t kWarmConnection = std::int64_t{1} << 20;

// Set on a thread that keeps SIGPIPE blocked for good.
thread_local bool pipe_signal_kept_blocked = false;

// Keeps the SIGPIPE of a sendfile or splice into a broken connection from
// reaching the process while it lives (neither has MSG_NOSIGNAL): the
// signal is blocked on this thread, and one raised meanwhile is taken back.
// A thread that keeps the signal blocked needs no mask changes, only the
// taking back.
class TPipeSignalGuard {
 public:
  TPipeSignalGuard() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    if (!pipe_signal_kept_blocked) pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~TPipeSignalGuard() {
    // Where SIGPIPE was blocked already by the caller, it is the caller's
    // to handle.
    if (broken_ && (pipe_signal_kept_blocked || !sigismember(&old_, SIGPIPE))) {
      const timespec none{};
      sigtimedwait(&pipe_, nullptr, &none);
    }
    if (!pipe_signal_kept_blocked) pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  TPipeSignalGuard(const TPipeSignalGuard&) = delete;
  TPipeSignalGuard& operator=(const TPipeSignalGuard&) = delete;
  // A write found the connection broken.
  void Broken() { broken_ = true; }

 private:
  sigset_t pipe_{};
  sigset_t old_{};
  bool broken_ = false;
};

// Bytes pending on `fd`, or -1 with the last socket error set.
int PendingCount(int fd) {
  int count = 0;
  if (ioctl(fd, FIONREAD, &count) != 0) {
    WSASetLastErrorFromErrno();
    return -1;
  }
  return count;
}

}  // namespace

void KeepPipeSignalBlocked() {
  if (pipe_signal_kept_blocked) return;
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  pipe_signal_kept_blocked = true;
}

// ---- System calls

int TCustomKSocket::_WriteTo(int s, const void* buf, int len, int flags, const sockaddr_in& to,
                             int tolen) {
  const auto result = sendto(s, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr*>(&to), static_cast<socklen_t>(tolen));
  if (result < 0) WSASetLastErrorFromErrno();
  return static_cast<int>(result);
}

int TCustomKSocket::_Write(int s, const void* buf, int len, int flags) {
  const auto result = send(s, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL);
  if (result < 0) WSASetLastErrorFromErrno();
  return static_cast<int>(result);
}

int TCustomKSocket::_read(int s, void* buf, int len, int flags) {
  const auto result = recv(s, buf, static_cast<size_t>(len), flags);
  if (result < 0) WSASetLastErrorFromErrno();
  return static_cast<int>(result);
}

int TCustomKSocket::ReadHandle(void* buf, int len, int flags) {
  const int result = _read(SocketHandle.Get(), buf, len, flags);
  notifier_->ReadCalled();
  return result;
}

// ---- Send chain

void TCustomKSocket::PutDataInSendBuffer(const void* Data, int Len) {
  if (Len <= 0) return;
  if (SendBufferList.empty()) SendBufferList.push_back(std::make_unique<TBuffer>(BufferSize));
  const char* bytes = static_cast<const char*>(Data);
  TBuffer* block = SendBufferList.back().get();
  for (;;) {
    const int written = block->Write(bytes, Len);
    if (written >= Len) return;
    bytes += written;
    Len -= written;
    SendBufferList.push_back(std::make_unique<TBuffer>(BufferSize));
    block = SendBufferList.back().get();
  }
}

void TCustomKSocket::PutStringInSendBuffer(const std::string& Str) {
  PutDataInSendBuffer(Str.data(), static_cast<int>(Str.size()));
}

void TCustomKSocket::TryToSend() {
  if (!SocketHandle.Valid() || SendBufferList.empty()) return;
  for (;;) {
    TBuffer* block = SendBufferList.front().get();
    int count = 0;
    const char* data = block->Peek(count);
    if (count == 0) {
      if (SendBufferList.size() == 1) {
        all_sent_ = true;
        return;
      }
      SendBufferList.pop_front();
      continue;
    }
    const int sent = WriteBlock(data, count);
    if (sent <= 0) return;
    block->Remove(sent);
    if (sent < count) return;
  }
}

int TCustomKSocket::WriteBlock(const char* data, int count) {
  const int sent =
      SocketType == SOCK_DGRAM
          ? _WriteTo(SocketHandle.Get(), data, count, SendFlagsValue, SockAddr, sizeof SockAddr)
          : _Write(SocketHandle.Get(), data, count, SendFlagsValue | (more_ahead_ ? MSG_MORE : 0));
  if (sent < 0) {
    const int error = WSAGetLastError();
    if (error == WSAECONNRESET || error == WSAENOTSOCK || error == WSAENOTCONN ||
        error == WSAEINVAL) {
      Close();
    } else if (error == WSAEWOULDBLOCK) {
      notifier_->WriteBlocked();
    } else {
      SocketError("TryToSend failed");
    }
    return -1;
  }
  write_count_ += sent;
  // Linux takes part of a block when its buffer is nearly full; the rest
  // goes out on the writable notification that this asks for.
  if (sent > 0 && sent < count) notifier_->WriteBlocked();
  return sent;
}

int TCustomKSocket::SendStraight(const char* data, int len) {
  int taken = 0;
  while (taken < len) {
    const int count = std::min(len - taken, BufferSize);
    const int sent = WriteBlock(data + taken, count);
    if (sent <= 0) break;
    taken += sent;
    if (sent < count) break;
  }
  return taken;
}

bool TCustomKSocket::BeginSend() {
  if (state_ != wsConnected) {
    WSASetLastError(WSAENOTCONN);
    SocketError("Send");
    return false;
  }
  all_sent_ = false;
  return true;
}

void TCustomKSocket::EndSend() {
  // OnDataSent fires from the message loop, never inside the call.
  if (all_sent_) notifier_->Post(FD_WRITE, 0);
}

int TCustomKSocket::Send(const void* Data, int Len) {
  if (!BeginSend()) return -1;
  if (Len > 0 && SocketHandle.Valid() && SocketType != SOCK_DGRAM && ChainEmpty()) {
    // Nothing queued goes first: the bytes go to the system straight from
    // the caller, in the blocks the chain would hand over, and only what it
    // does not take now is queued. The chain keeps its block as if they had
    // passed through it.
    if (SendBufferList.empty()) SendBufferList.push_back(std::make_unique<TBuffer>(BufferSize));
    const auto* bytes = static_cast<const char*>(Data);
    const int taken = SendStraight(bytes, Len);
    if (taken == Len) {
      all_sent_ = true;
    } else if (SocketHandle.Valid()) {
      PutDataInSendBuffer(bytes + taken, Len - taken);
    }
    EndSend();
    return Len;
  }
  int result = 0;
  if (Len > 0) {
    PutDataInSendBuffer(Data, Len);
    result = Len;
  }
  TryToSend();
  EndSend();
  return result;
}

int TCustomKSocket::SendAhead(const void* Data, int Len) {
  more_ahead_ = true;
  int result = -1;
  try {
    result = Send(Data, Len);
  } catch (...) {
    more_ahead_ = false;
    throw;
  }
  more_ahead_ = false;
  return result;
}

bool TCustomKSocket::ChainEmpty() const {
  return std::all_of(SendBufferList.begin(), SendBufferList.end(),
                     [](const auto& block) { return block->Unread() == 0; });
}

bool TCustomKSocket::DirectFileSend() const {
  return ChainEmpty() && SocketType != SOCK_DGRAM && SendFlagsValue == 0;
}

TCustomKSocket::TFileCopyEnd TCustomKSocket::CopyFileBytes(int FileHandle, std::int64_t Offset,
                                                           int Len, int& taken) {
  TPipeSignalGuard no_signal;
  TFilePipe pipe;  // made when a large part of the file goes at once
  while (taken < Len) {
    off_t offset = Offset + taken;
    const auto rest = static_cast<std::size_t>(Len - taken);
    const bool large = rest >= kPipedFileBytes && write_count_ >= kWarmConnection;
    const std::size_t room = large ? SendRoom() : 0;
    const std::size_t part = std::min({rest, room, TFilePipe::kSize});
    const ssize_t sent = part >= kPipedFileBytes && pipe.Open()
                             ? pipe.Send(SocketHandle.Get(), FileHandle, offset, part, part < rest)
                             : sendfile(SocketHandle.Get(), FileHandle, &offset, rest);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno == EAGAIN) return TFileCopyEnd::Full;
    if (sent < 0 && errno == EPIPE) no_signal.Broken();
    if (sent < 0) return TFileCopyEnd::Refused;
    if (sent == 0) return TFileCopyEnd::FileEnded;
    taken += static_cast<int>(sent);
    write_count_ += sent;
  }
  return TFileCopyEnd::Complete;
}

int TCustomKSocket::QueueFileBytes(int FileHandle, std::int64_t Offset, int Len) {
  char block[kFileBlock];
  int taken = 0;
  while (taken < Len) {
    const ssize_t count =
        pread(FileHandle, block, std::min<size_t>(sizeof block, Len - taken), Offset + taken);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    PutDataInSendBuffer(block, static_cast<int>(count));
    taken += static_cast<int>(count);
  }
  return taken;
}

int TCustomKSocket::EndFileSend(int taken) {
  if (SendBufferList.empty()) {
    all_sent_ = taken > 0;
  } else {
    TryToSend();
  }
  EndSend();
  return taken;
}

int TCustomKSocket::SendFileBytes(int FileHandle, std::int64_t Offset, int Len) {
  if (!BeginSend()) return -1;
  int taken = 0;
  const TFileCopyEnd end =
      DirectFileSend() ? CopyFileBytes(FileHandle, Offset, Len, taken) : TFileCopyEnd::Refused;
  // The system had no room, or failed: the rest takes the chain's way, which
  // waits for room or reports the failure as any send does.
  if (end == TFileCopyEnd::Full || end == TFileCopyEnd::Refused)
    taken += QueueFileBytes(FileHandle, Offset + taken, Len - taken);
  return EndFileSend(taken);
}

int TCustomKSocket::SendFileBytesAsTaken(int FileHandle, std::int64_t Offset, int Len) {
  if (!BeginSend()) return -1;
  int taken = 0;
  const TFileCopyEnd end =
      DirectFileSend() ? CopyFileBytes(FileHandle, Offset, Len, taken) : TFileCopyEnd::Refused;
  if (end == TFileCopyEnd::Full && taken > 0) {
    // The rest waits for room. Once there is, the writable notification
    // finds the chain empty and reports everything sent.
    if (SendBufferList.empty()) SendBufferList.push_back(std::make_unique<TBuffer>(BufferSize));
    notifier_->WriteBlocked();
    return taken;
  }
  // No room at all, or a failure: one block takes the chain's way.
  if (end == TFileCopyEnd::Full || end == TFileCopyEnd::Refused)
    taken += QueueFileBytes(FileHandle, Offset + taken, std::min(Len - taken, kFileBlock));
  return EndFileSend(taken);
}

int TCustomKSocket::SendStr(const std::string& Str) {
  return Send(Str.data(), static_cast<int>(Str.size()));
}

void TCustomKSocket::SendText(const std::string& Str) {
  SendStr(Str);
}

TSocketSendFlags TCustomKSocket::GetSendFlags() {
  switch (SendFlagsValue) {
    case 0:
      return wsSendNormal;
    case MSG_OOB:
      return wsSendUrgent;
    default:
      RaiseException("Invalid internal SendFlags");
      return wsSendNormal;
  }
}

void TCustomKSocket::SetSendFlags(TSocketSendFlags Flag) {
  switch (Flag) {
    case wsSendNormal:
      SendFlagsValue = 0;
      break;
    case wsSendUrgent:
      SendFlagsValue = MSG_OOB;
      break;
    default:
      RaiseException("Invalid SendFlags");
  }
}

// ---- Receiving

int TCustomKSocket::Receive(void* Buffer, int BufferSize) {
  const int result = ReadHandle(Buffer, BufferSize, 0);
  if (result < 0) {
    last_error_ = WSAGetLastError();
  } else {
    read_count_ += result;
  }
  emptied_ = result >= 0 && result < BufferSize;
  return result;
}

std::string TCustomKSocket::ReceiveStr() {
  const int pending = PendingCount(SocketHandle.Get());
  if (pending <= 0) return {};
  std::string text(static_cast<size_t>(pending), '\0');
  const int received = ReadHandle(text.data(), pending, 0);
  text.resize(received < 1 ? 0 : static_cast<size_t>(received));
  return text;
}

int TCustomKSocket::ReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen) {
  socklen_t len = static_cast<socklen_t>(FromLen);
  const auto result = recvfrom(SocketHandle.Get(), Buffer, static_cast<size_t>(BufferSize), 0,
                               reinterpret_cast<sockaddr*>(&From), &len);
  if (result < 0) last_error_ = WSASetLastErrorFromErrno();
  notifier_->ReadCalled();
  if (result >= 0) {
    read_count_ += static_cast<int>(result);
    FromLen = static_cast<int>(len);
  }
  return static_cast<int>(result);
}

int TCustomKSocket::PeekData(void* Buffer, int BufferSize) {
  const int result = ReadHandle(Buffer, BufferSize, MSG_PEEK);
  if (result < 0) last_error_ = WSAGetLastError();
  return result;
}

int TCustomKSocket::GetRcvdCount() {
  const int count = PendingCount(SocketHandle.Get());
  if (count < 0) SocketError("ioctlSocket");
  return count;
}

int TCustomKSocket::UnacknowledgedCount() const {
  int count = 0;
  return ::ioctl(SocketHandle.Get(), SIOCOUTQ, &count) == 0 ? count : -1;
}

std::size_t TCustomKSocket::SendRoom() const {
  int buffer = 0;
  socklen_t length = sizeof buffer;
  if (getsockopt(SocketHandle.Get(), SOL_SOCKET, SO_SNDBUF, &buffer, &length) != 0) return 0;
  const int queued = UnacknowledgedCount();
  return queued >= 0 && queued < buffer ? static_cast<std::size_t>(buffer - queued) : 0;
}

void TCustomKSocket::ASyncReceive(std::uint16_t Error) {
  for (;;) {
    last_error_ = 0;
    emptied_ = false;
    try {
      if (LineMode) {
        ReadLineReceive();
      } else if (!TriggerDataAvailable(Error)) {
        return;
      }
      // A handler's receive that took less than it asked for left nothing
      // behind; what comes later is notified anew.
      if (last_error_ != 0 || emptied_) return;
      const int pending = PendingCount(SocketHandle.Get());
      if (pending < 0) {
        last_error_ = WSAGetLastError();
        return;
      }
      if (pending == 0) return;
    } catch (const EThreadAbandoned&) {
      // The thread's owner is gone: the thread unwinds instead of going on.
      throw;
    } catch (...) {
      // A failing handler ends the delivery; the notification loop goes on.
      return;
    }
  }
}

// ---- Line mode

void TCustomKSocket::ReadLineStart() {
  if (LineMode) return;
  LineBuffer.clear();
  LineLength = 0;
  LineMode = true;
}

void TCustomKSocket::ReadLineReceive() {
  if (!SocketHandle.Valid()) {
    LineMode = false;
    StopWaitCtrl();
    return;
  }
  for (;;) {
    if (state_ != wsConnected) return;
    const int pending = PendingCount(SocketHandle.Get());
    if (pending < 0) {
      LineMode = false;
      SocketError("ioctlSocket");
      return;
    }
    if (pending == 0) return;
    char ch = 0;
    const int got = ReadHandle(&ch, 1, 0);
    if (got == 1) {
      ++read_count_;
      bool ended = ch == kLF;
      if (ch != kLF && ch != kCR) {
        LineBuffer += ch;
        ++LineLength;
      }
      if (LineLength >= kMaxLineLength) {
        ended = true;
        if (OnLineTooLong) OnLineTooLong(this);
      }
      if (ended) {
        LineMode = false;
        StopWaitCtrl();
        return;
      }
      continue;
    }
    const int error = got < 0 ? WSAGetLastError() : 0;
    if (got == 0 || error == WSAECONNRESET) {
      LineMode = false;
      StopWaitCtrl();
      Close();
      return;
    }
    if (error != WSAEWOULDBLOCK) {
      SocketError("ReadLine");
      return;
    }
  }
}

void TCustomKSocket::ReadLine(int Timeout, std::string& Line) {
  if (!MultiThreaded && !CheckFWait()) return;
  ReadLineStart();
  ReadLineReceive();
  if (LineMode) {
    if (MultiThreaded) {
      PumpOwnQueueUntil([this] { return !LineMode; }, Timeout);
    } else {
      RunWaitCtrlModal(Timeout);
    }
  }
  Line = LineBuffer;
}

// ---- Blocking operations

bool TCustomKSocket::CheckFWait() {
  if (wait_ctrl_ != nullptr) return true;
  RaiseException("No wait object assigned");
  return false;
}

bool TCustomKSocket::Wait(int Timeout, TSocketState WaitFor) {
  if (state_ == WaitFor) return false;
  WaitState = WaitFor;
  wait_reached_ = false;
  if (MultiThreaded) {
    PumpOwnQueueUntil([this] { return wait_reached_; }, Timeout);
  } else if (wait_ctrl_ == nullptr) {
    WaitState = wsInvalidState;
    WSASetLastError(WSANO_DATA);
    SocketError("TKSocket.Wait");
    return false;
  } else {
    RunWaitCtrlModal(Timeout);
  }
  WaitState = wsInvalidState;
  return state_ == WaitFor;
}

void TCustomKSocket::Flush() {
  // Sends from the chain, pumping one message between tries, until it is
  // empty, the socket closed, a quit request came or `waiting` turned false.
  const auto drain = [this](const auto& waiting, TPumpResult (*pump)(int)) {
    while (waiting() && SocketHandle.Valid() && !all_sent_) {
      TryToSend();
      if (!SocketHandle.Valid() || all_sent_ || pump(-1) == TPumpResult::Quit) return;
    }
  };
  if (MultiThreaded) {
    drain([] { return true; }, PumpOwnQueueOnce);
    return;
  }
  if (!CheckFWait()) return;
  wait_ctrl_->SetCaption(IntToStr(FlushTimeout));
  wait_ctrl_->SetVisible(true);
  wait_ctrl_->Start();
  drain([this] { return wait_ctrl_ != nullptr && wait_ctrl_->Running(); }, PumpApplicationOnce);
  if (wait_ctrl_ != nullptr) {
    wait_ctrl_->Stop();
    wait_ctrl_->SetVisible(false);
  }
}

void TCustomKSocket::WaitForClose() {
  while (SocketHandle.Valid() && state_ != wsClosed) {
    if (PumpApplicationOnce(kCloseProbeMs) == TPumpResult::Quit) return;
    if (!SocketHandle.Valid()) return;
    const int pending = PendingCount(SocketHandle.Get());
    if (pending < 0) return;
    if (pending > 0) {
      if (LineMode) {
        ReadLineReceive();
      } else {
        TriggerDataAvailable(0);
      }
      if (!SocketHandle.Valid()) return;
    }
    // A one-byte peek tells an open connection (would block, or data) from
    // one the peer has closed (0), without consuming anything.
    char probe = 0;
    WSASetLastError(0);
    if (ReadHandle(&probe, 1, MSG_PEEK | MSG_DONTWAIT) < 1) {
      last_error_ = WSAGetLastError();
      if (last_error_ != WSAEWOULDBLOCK) return;
    }
    if (PumpApplicationOnce(0) == TPumpResult::Quit) return;
  }
}

bool TCustomKSocket::PumpOwnQueueUntil(const std::function<bool()>& done, int timeout_s) {
  const std::uint32_t limit = static_cast<std::uint32_t>(timeout_s) * 1000u;
  const std::uint32_t start = GetTickCount();
  while (!done()) {
    const std::uint32_t elapsed = GetTickCount() - start;
    if (elapsed >= limit) return false;
    if (PumpOwnQueueOnce(static_cast<int>(limit - elapsed)) == TPumpResult::Quit) return done();
  }
  return true;
}

void TCustomKSocket::RunWaitCtrlModal(int timeout_s) {
  wait_ctrl_->SetCaption(IntToStr(timeout_s));
  wait_ctrl_->SetVisible(true);
  wait_ctrl_->StartModal();
  if (wait_ctrl_ != nullptr) wait_ctrl_->SetVisible(false);
}

// ---- Message pumping

void TCustomKSocket::MessageLoop() {
  TEventQueue& queue = TEventQueue::Current();
  TMessage msg;
  while (queue.GetMessage(msg))
    queue.DispatchMessage(msg);
}

void TCustomKSocket::ProcessMessages() {
  TEventQueue::Current().ProcessMessages();
}

}  // namespace korvi
