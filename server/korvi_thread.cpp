// TKorviThread: start-up and shutdown of a connection's thread, its message
// loops and life timer, and the intake of one request (lines, request line,
// headers, body).
#include "korvi/server/korvi_thread.h"

#include <unistd.h>

#include <algorithm>

#include "korvi/host/exceptions.h"
#include "korvi/host/sysutils.h"
#include "korvi/server/korvi.h"
#include "korvi/server/target_resolver.h"
#include "korvi/socket/name_lookup.h"
#include "korvi/socket/socket_errors.h"
#include "korvi/socket/ssl_ksocket.h"
#include "korvi/web/http_text.h"

namespace korvi {

namespace {

// Worker threads need little stack; sanitizers need more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kThreadStack = 1024 * 1024;
#else
constexpr std::size_t kThreadStack = 256 * 1024;
#endif

// The answer to an HTTP/1.1 client that waits before sending its body.
constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

// Life time of a connection for a server Timeout in seconds.
unsigned LifeTimeInterval(int timeout) {
  if (timeout <= 5) return 100000;
  constexpr int kMaxSeconds = 0x7FFFFFFF / 1000;
  return static_cast<unsigned>(std::min(timeout, kMaxSeconds)) * 1000u;
}

// Reads a "Content-Length" value: decimal digits between optional blanks.
bool ParseContentLength(const std::string& text, std::int64_t& value) {
  const std::string digits = Trim(text);
  if (digits.empty() || digits.size() > 18) return false;
  value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

// The send block of a worker's socket: room for the header text's usual
// size and a whole chunk.
constexpr std::int32_t kAnswerBlockSize = 2 * KorviChunkSize;

// The machine's name, asked once: it names the server in every answer.
const std::string& HostName() {
  static const std::string name = LocalHostName();
  return name;
}

// The worker thread whose Execute runs on this thread.
thread_local TKorviThread* t_current = nullptr;

// Makes a worker the current one of the calling thread for as long as it
// lives, whichever way Execute is left.
class TCurrentWorker {
 public:
  explicit TCurrentWorker(TKorviThread* worker) { t_current = worker; }
  ~TCurrentWorker() { t_current = nullptr; }
  TCurrentWorker(const TCurrentWorker&) = delete;
  TCurrentWorker& operator=(const TCurrentWorker&) = delete;
};

}  // namespace

const TKorviSettings& TKorviThread::Settings() {
  if (!settings_) settings_ = Server->Settings();
  return *settings_;
}

TKorviThread* TKorviThread::Current() {
  return t_current;
}

TKorviThread::TKorviThread(int SocketHandle)
    : TThread(true), DataBuffer(KorviChunkSize + 1, 0), SocketHandle(SocketHandle) {
  SetFreeOnTerminate(true);
  SetStackSize(kThreadStack);
  BodyStream = std::make_unique<TMemoryStream>();
}

TKorviThread::~TKorviThread() {
  LifeTimer.reset();
  {
    std::lock_guard<std::mutex> lock(window_lock_);
    window_ = 0;
  }
  if (Socket) {
    Socket.reset();  // closes the connection
  } else if (SocketHandle > 0) {
    ::close(SocketHandle);  // the connection was never adopted
  }
  TransferStream = nullptr;
  FileStream.reset();
  BodyStream.reset();
  if (Server != nullptr) {
    Server->DetachThread(this);
    Server->DecThreadNumber();  // the last use of the server
  }
}

std::unique_ptr<TSSLKSocket> TKorviThread::CreateKorviSocket() {
  return std::make_unique<TSSLKSocket>(nullptr);
}

void TKorviThread::Synchronize(const std::function<void()>& Method) {
  TThread::Synchronize(Method);
}

// --- Thread body -----------------------------------------------------------

void TKorviThread::Execute() {
  const TCurrentWorker current(this);
  // The system thread may have served another connection before.
  WSASetLastError(0);
  try {
    // The timer belongs to this thread: it ticks through this thread's queue
    // and is freed here, never by the server's main thread.
    LifeTimer = std::make_unique<TTimer>(nullptr);
    LifeTimer->SetEnabled(false);
    life_ = std::chrono::milliseconds(LifeTimeInterval(Settings().Timeout));
    LifeTimer->SetInterval(static_cast<unsigned>(life_.count()));
    LifeTimer->SetOnTimer([this](TObject* Sender) { ZOnTimer(Sender); });
    LifeTimer->SetEnabled(true);
    SetUpSocket();
    RunMessageLoop();
    // An answer cut short (the client left, stalled, or the server is
    // going away) still reports what went out.
    ReportResponseDone();
  } catch (const std::exception&) {
    // A connection that cannot be set up or served any further just ends.
  }
}

void TKorviThread::SetUpSocket() {
  Socket = CreateKorviSocket();
  Socket->EnableTls(Server->TlsContext());
  // A chunk of the answer leaves in one system call rather than in blocks
  // of a network frame's size.
  Socket->UseSendBlocksOf(kAnswerBlockSize);
  // Dup applies the linger setting.
  Socket->LingerOnOff = wsLingerOff;
  Socket->LingerTimeout = 0;
  Socket->Dup(SocketHandle);
  Socket->Startup();
  Socket->HandShake();
  Socket->MultiThreaded = true;
  // A client that ends its direction after the request still gets the
  // whole answer: the socket stays open until the thread closes it.
  Socket->KeepOpenOnPeerClose = true;
  Socket->OnDataAvailable = [this](TObject* Sender, std::uint16_t Error) {
    OnSocketDataAvailable(Sender, Error);
  };
  Socket->OnDataSent = [this](TObject* Sender, std::uint16_t Error) {
    OnSocketDataSent(Sender, Error);
  };
  Socket->OnSessionClosed = [this](TObject* Sender, std::uint16_t Error) {
    OnSessionOver(Sender, Error);
  };
  Socket->OnError = [this](TObject* Sender) { OnSocketError(Sender); };
  try {
    Output.SetLocalHostName(HostName());
  } catch (const std::exception&) {
    // Without a host name the "Server" header is left out.
  }
  peer_address_ = Socket->GetPeerAddr();
  HeaderLines.Add("remote-address=" + peer_address_);
  std::lock_guard<std::mutex> lock(window_lock_);
  window_ = Socket->WindowHandle();
  if (stop_requested_) Terminate();
}

void TKorviThread::RunMessageLoop() {
  // The loop ends when the connection is over: the answer went out and the
  // client closed (or lingering timed out), the connection failed, the life
  // timer fired, or the server asked the thread to stop.
  TEventQueue& queue = TEventQueue::Current();
  TMessage msg;
  while (!Terminated() && queue.GetMessage(msg))
    queue.DispatchMessage(msg);
}

void TKorviThread::Release() {
  if (quit_posted_) return;
  quit_posted_ = true;
  PostMessage(Socket->WindowHandle(), WM_QUIT, 0, 0);
}

void TKorviThread::RequestStop() {
  std::lock_guard<std::mutex> lock(window_lock_);
  stop_requested_ = true;
  Terminate();
  if (window_ != 0) PostMessage(window_, WM_QUIT, 0, 0);
}

void TKorviThread::OnSessionOver(TObject* /*Sender*/, std::uint16_t Error) {
  if (Error != 0 || Socket->State() != wsConnected) {
    Release();  // reset or failed: nothing more goes out
    return;
  }
  // The client finished sending. Before the answer, the request can no
  // longer complete; once the answer is out, this ends the lingering. While
  // it goes out, it goes on: the client may still be reading.
  peer_closed_ = true;
  if (!answering_ || handed_over_) Release();
}

void TKorviThread::OnSocketError(TObject* /*Sender*/) {
  Terminate();
}

void TKorviThread::ZOnTimer(TObject* /*Sender*/) {
  const auto now = std::chrono::steady_clock::now();
  const auto deadline = Deadline(now);
  if (deadline > now) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    LifeTimer->SetInterval(static_cast<unsigned>(left.count()));
    return;
  }
  LifeTimer->SetEnabled(false);
  Release();
}

std::chrono::steady_clock::time_point TKorviThread::Deadline(TimePoint now) {
  if (lingering_)
    return std::min(last_arrival_ + std::chrono::milliseconds(KorviLingerMs),
                    linger_start_ + life_);
  if (!answering_) return now;  // the intake is bounded as a whole
  // Sending: only a stall of the whole interval ends the connection. The
  // progress looked at every KorviProgressLook is what the client acknowledged,
  // not only what the system took: a slow reader frees room in a large send
  // buffer only now and then.
  if (AnswerMoved()) NoteMovement(now);
  return std::min(last_move_ + life_, now + KorviProgressLook);
}

bool TKorviThread::AnswerMoved() const {
  return Socket->WriteCount() != moved_count_ || Socket->UnacknowledgedCount() < unacknowledged_;
}

void TKorviThread::NoteMovement(TimePoint now) {
  moved_count_ = Socket->WriteCount();
  unacknowledged_ = Socket->UnacknowledgedCount();
  last_move_ = now;
}

// --- Request intake --------------------------------------------------------

void TKorviThread::OnSocketDataAvailable(TObject* /*Sender*/, std::uint16_t /*Error*/) {
  int count = 0;
  try {
    count = Socket->Receive(DataBuffer.data(), KorviChunkSize);
  } catch (const std::exception&) {
    return;
  }
  // Data after a complete request is read and ignored: one response per
  // connection.
  if (count > 0 && lingering_) last_arrival_ = std::chrono::steady_clock::now();
  if (count <= 0 || ReqState == REQSTAT_DONE) return;
  received_ += count;
  int position = 0;
  if (ReqState == REQSTAT_REQUEST || ReqState == REQSTAT_HEADER) {
    bool header_end = false;
    while (!bad_request_ && ReadLine(DataBuffer.data(), count, position)) {
      if (LineBuffer.empty()) {
        ReqState = REQSTAT_BODY;
        header_end = true;
        break;
      }
      ProcessLine();
    }
    // Bytes of the request line and header lines taken so far.
    const std::int64_t header_bytes = received_ - count + position;
    if (header_bytes > KorviMaxHeaderBlock) bad_request_ = true;
    if (header_end && !bad_request_) {
      if (ChunkedBody()) {
        RefuseRequest(411);
        return;
      }
      if (BodySent()) {
        if (count - position < ContentLength) ContinueIfExpected();
        AddToBody(count, position);
      } else if (!bad_request_) {
        ReqState = REQSTAT_DONE;
      }
    }
  } else if (ReqState == REQSTAT_BODY) {
    AddToBody(count, 0);
  }
  if (bad_request_) {
    RefuseRequest(400);
  } else if (ReqState == REQSTAT_DONE && !answering_) {
    RequestComplete();
  }
}

bool TKorviThread::ChunkedBody() const {
  const int index = HeaderLines.IndexOfName("Transfer-Encoding");
  return index >= 0 &&
         LowerCase(HeaderLines.ValueFromIndex(index)).find("chunked") != std::string::npos;
}

void TKorviThread::ContinueIfExpected() {
  const int index = HeaderLines.IndexOfName("Expect");
  if (index < 0 || !SameText(Protocol, "HTTP/1.1") ||
      !SameText(Trim(HeaderLines.ValueFromIndex(index)), "100-continue")) {
    return;
  }
  try {
    Socket->Send(kContinue.data(), static_cast<int>(kContinue.size()));
  } catch (const std::exception&) {
    Release();
  }
}

bool TKorviThread::ReadLine(const char* Buffer, int Length, int& Position) {
  while (Position < Length) {
    const char c = Buffer[Position++];
    if (c == '\n') return true;
    if (c == '\r' || c == '\0') continue;
    if (static_cast<int>(LineBuffer.size()) >= KorviMaxLine) {
      bad_request_ = true;
      return false;
    }
    LineBuffer.push_back(c);
  }
  return false;
}

void TKorviThread::ProcessLine() {
  if (ReqState == REQSTAT_REQUEST) {
    request_line_ = LineBuffer;
    ParseRequestLine();
    ReqState = REQSTAT_HEADER;
    Server->NoteRequestLine(this, request_line_);
    if (Settings().OnRequest) Settings().OnRequest(Server->ThreadCount(), peer_address_, URL);
  } else if (ReqState == REQSTAT_HEADER) {
    const size_t colon = LineBuffer.find(':');
    if (colon != std::string::npos) {
      // The character right after the colon is dropped, whatever it is.
      const size_t value_start = std::min(colon + 2, LineBuffer.size());
      HeaderLines.Add(LowerCase(LineBuffer.substr(0, colon)) + "=" +
                      LineBuffer.substr(value_start));
    }
  }
  LineBuffer.clear();
}

void TKorviThread::ParseRequestLine() {
  const size_t blank = LineBuffer.find(' ');
  if (blank == std::string::npos) return;
  Method = LineBuffer.substr(0, blank);
  const std::string rest = TrimLeft(LineBuffer.substr(blank + 1));
  const size_t second = rest.find(' ');
  if (second == std::string::npos) {
    URL = Trim(rest);
  } else {
    URL = rest.substr(0, second);
    Protocol = Trim(rest.substr(second + 1));
  }
  const size_t question = URL.find('?');
  if (question != std::string::npos) {
    Query = URL.substr(question + 1);
    URL.resize(question);
    ServeStatic = false;
  }
  try {
    URL = HTTPDecode(URL);
  } catch (const std::exception&) {
    bad_request_ = true;  // a malformed escape in the path
  }
}

bool TKorviThread::BodySent() {
  const int index = HeaderLines.IndexOfName("Content-Length");
  if (index < 0) return false;
  const std::string value = HeaderLines.ValueFromIndex(index);
  if (value.empty()) return false;
  std::int64_t length = 0;
  if (!ParseContentLength(value, length) || length > Settings().MaxRequestBody) {
    bad_request_ = true;
    return false;
  }
  spooled_ = length > Settings().MaxBodyInMemory;
  // A method that takes no body is refused before a long one is read.
  if (spooled_ && (SameText(Method, "GET") || SameText(Method, "HEAD"))) {
    bad_request_ = true;
    return false;
  }
  // The body grows with the bytes that arrive, never from the announced
  // length alone.
  ContentLength = length;
  BodyStream->Clear();
  body_received_ = 0;
  return true;
}

void TKorviThread::AddToBody(int Length, int Position) {
  const std::int64_t room = ContentLength - body_received_;
  const std::int64_t available = Length - Position;
  const std::int64_t count = std::min(room, available);
  if (count > 0) {
    try {
      BodyTarget().WriteBuffer(DataBuffer.data() + Position, count);
    } catch (const EStreamError&) {
      RefuseRequest(503);  // no temporary file, or no room in it
      return;
    }
    body_received_ += count;
  }
  if (body_received_ >= ContentLength) ReqState = REQSTAT_DONE;
}

TStream& TKorviThread::BodyTarget() {
  if (!spooled_) return *BodyStream;
  if (!BodySpool) BodySpool = std::make_shared<TTempFileStream>(Settings().BodySpoolDirectory);
  return *BodySpool;
}

TStream& TKorviThread::RequestBody() {
  if (BodySpool) return *BodySpool;
  return *BodyStream;
}

std::int64_t TKorviThread::BodySize() {
  return RequestBody().Size();
}

void TKorviThread::RequestComplete() {
  try {
    if (Settings().OnRequestDone) Settings().OnRequestDone(Server->ThreadCount(), received_);
    StartResponse();
  } catch (const std::exception&) {
    Release();
  }
}

void TKorviThread::RefuseRequest(int code) {
  // The client may still be sending; the page goes out like any answer,
  // and what still arrives is read and dropped while the connection ends.
  ReqState = REQSTAT_DONE;
  WriteError(code);
  StartDataSend();
}

// --- Paths and the client connection ---------------------------------------

void TKorviThread::SetThreadRoot(const std::string& Root) {
  ThreadRoot = Root;
  if (!ThreadRoot.empty() && ThreadRoot.back() != '/') ThreadRoot += '/';
}

bool TKorviThread::URLtoPath(std::string& Url) {
  const TStringList no_map;
  const std::shared_ptr<const TStringList> map = Server ? Server->URLMap() : nullptr;
  const std::string url = Url;
  return TTargetResolver(ThreadRoot, map ? *map : no_map, DefaultFileName).MapURL(url, Url);
}

void TKorviThread::PathToURL(std::string& Path) {
  Path = DosPathToUnixPath(Path);
  if (!ThreadRoot.empty() && Path.compare(0, ThreadRoot.size(), ThreadRoot) == 0) {
    Path.erase(0, ThreadRoot.size());
  } else if (!Path.empty() && Path.front() == '/') {
    Path.erase(0, 1);
  }
  std::string host;
  try {
    host = HostName();
  } catch (const std::exception&) {
    host = "localhost";
  }
  Path = (Server->TlsContext() ? "https://" : "http://") + host + ":" +
         IntToStr(Settings().ServerPort) + "/" + Path;
}

int TKorviThread::WriteClient(const void* Buffer, int Count) {
  return Socket->Send(Buffer, Count);
}

}  // namespace korvi
