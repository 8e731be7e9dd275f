// TKorviThread: start-up and shutdown of a connection's thread, its message
// loops and life timer, and the intake of one request (lines, request line,
// headers, body).
#include "korvi/server/korvi_thread.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <span>

#include "korvi/host/exceptions.h"
#include "korvi/host/sysutils.h"
#include "korvi/server/korvi.h"
#include "korvi/server/target_resolver.h"
#include "korvi/socket/name_lookup.h"
#include "korvi/socket/socket_errors.h"
#include "korvi/socket/ssl_ksocket.h"
#include "korvi/web/http_grammar.h"
#include "korvi/web/http_text.h"
#include "korvi/web/request_syntax.h"

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
}

TKorviExchange::TKorviExchange() : BodyStream(std::make_unique<TMemoryStream>()) {}

TKorviExchange& TKorviExchange::operator=(TKorviExchange&&) noexcept = default;

TKorviExchange::~TKorviExchange() = default;

bool TKorviThread::Http11() {
  return Server != nullptr && Settings().HTTP11;
}

bool TKorviThread::CloseIfIdle() {
  bool idle = true;
  if (!idle_.compare_exchange_strong(idle, false)) return false;
  RequestStop();
  return true;
}

void TKorviThread::BeginRequest() {
  TOutputText used = std::move(Output);
  static_cast<TKorviExchange&>(*this) = TKorviExchange();
  Output.TakeRoom(used);
  try {
    Output.SetLocalHostName(HostName());
  } catch (const std::exception&) {
    // Without a host name the "Server" header is left out.
  }
  HeaderLines.Add("remote-address=" + peer_address_);
}

void TKorviThread::RestartLifeTimer(std::chrono::milliseconds interval) {
  LifeTimer->Restart(static_cast<unsigned>(interval.count()));
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
  // A handler's write into a broken pipe fails with EPIPE here instead of
  // ending the process, and the connection's files go out without mask
  // changes around each send.
  KeepPipeSignalBlocked();
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
  // A handle the server has just accepted, in non-blocking mode, is adopted
  // without asking the system what it is and who is at its other end.
  if (ClientAddress.empty()) {
    Socket->Dup(SocketHandle);
  } else {
    Socket->DupAccepted(SocketHandle, true);
  }
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
  peer_address_ = ClientAddress.empty() ? Socket->GetPeerAddr() : ClientAddress;
  BeginRequest();
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
  if (moved_count_ < 0) {
    TakeCounts();
  } else if (AnswerMoved()) {
    TakeCounts();
    last_move_ = now;
  }
  return std::min(last_move_ + life_, now + KorviProgressLook);
}

bool TKorviThread::AnswerMoved() const {
  return Socket->WriteCount() != moved_count_ || Socket->UnacknowledgedCount() < unacknowledged_;
}

void TKorviThread::NoteMovement(TimePoint now) {
  last_move_ = now;
  // The counts wait for the next look: most answers are gone before it.
  moved_count_ = -1;
}

void TKorviThread::TakeCounts() {
  moved_count_ = Socket->WriteCount();
  unacknowledged_ = Socket->UnacknowledgedCount();
}

// --- Request intake --------------------------------------------------------

void TKorviThread::OnSocketDataAvailable(TObject* /*Sender*/, std::uint16_t /*Error*/) {
  int count = 0;
  try {
    count = Socket->Receive(DataBuffer.data(), KorviChunkSize);
  } catch (const std::exception&) {
    return;
  }
  if (count > 0 && lingering_) last_arrival_ = std::chrono::steady_clock::now();
  if (count <= 0) return;
  if (ReqState == REQSTAT_DONE) {
    // Data after a complete request is the start of the next one when the
    // connection stays; otherwise it is read and ignored.
    if (keep_connection_ && !KeepAhead(DataBuffer.data(), count)) Release();
    return;
  }
  FeedRequest(count);
}

void TKorviThread::FeedRequest(int Count) {
  if (idle_.exchange(false)) RestartLifeTimer(life_);  // the intake is bounded as a whole
  if (!ahead_.empty()) {
    // Earlier bytes wait: these follow them.
    if (!KeepAhead(DataBuffer.data(), Count)) {
      Release();  // too much sent ahead of the answers
      return;
    }
    FeedAhead();
    return;
  }
  const int used = TakeRequestBytes(Count);
  const bool http11 = Http11();
  // Over HTTP/1.0 the bytes after the request are ignored with it.
  received_ += http11 ? used : Count;
  if (http11 && used < Count) KeepAhead(DataBuffer.data() + used, Count - used);
  ConcludeIntake();
}

void TKorviThread::FeedAhead() {
  while (!ahead_.empty() && ReqState != REQSTAT_DONE && refusal_ == 0) {
    const int count = static_cast<int>(std::min<size_t>(ahead_.size(), KorviChunkSize));
    std::memcpy(DataBuffer.data(), ahead_.data(), static_cast<size_t>(count));
    const int used = TakeRequestBytes(count);
    received_ += used;
    ahead_.erase(0, static_cast<size_t>(used));
  }
  ConcludeIntake();
}

bool TKorviThread::KeepAhead(const char* Data, int Count) {
  ahead_.append(Data, static_cast<size_t>(Count));
  return static_cast<std::int64_t>(ahead_.size()) <= KorviMaxHeaderBlock;
}

void TKorviThread::ConcludeIntake() {
  if (refusal_ != 0) {
    RefuseRequest(refusal_);
  } else if (ReqState == REQSTAT_DONE && !answering_) {
    RequestComplete();
  }
}

int TKorviThread::TakeRequestBytes(int Count) {
  int position = 0;
  if (ReqState == REQSTAT_REQUEST || ReqState == REQSTAT_HEADER) {
    bool header_end = false;
    while (refusal_ == 0 && ReadLine(DataBuffer.data(), Count, position)) {
      if (LineBuffer.empty() && ReqState == REQSTAT_REQUEST && requests_ > 0 && Http11()) {
        raw_line_.clear();  // an empty line a client may send after a body
        continue;
      }
      if (LineBuffer.empty()) {
        ReqState = REQSTAT_BODY;
        header_end = true;
        break;
      }
      ProcessLine();
    }
    // Bytes of the request line and header lines taken so far.
    if (received_ + position > KorviMaxHeaderBlock) refusal_ = 400;
    if (header_end && refusal_ == 0) return HeaderBlockDone(Count, position);
    return position;
  }
  if (ReqState == REQSTAT_BODY) return chunks_ ? AddChunks(Count, 0) : AddBodyBytes(Count, 0);
  return 0;
}

int TKorviThread::HeaderBlockDone(int Count, int Position) {
  if (Http11() && !raw_lines_.empty()) {
    refusal_ = CheckRequestSyntax(raw_lines_.front(), std::span(raw_lines_).subspan(1));
    if (refusal_ != 0) return Position;
  }
  if (ChunkedBody()) {
    if (!Http11()) {
      RefuseRequest(411);
      return Count;
    }
    chunks_ = std::make_unique<TChunkedDecoder>(
        Settings().MaxRequestBody, [this](std::string_view piece) { AddDecoded(piece); });
    ContinueIfExpected();
    return AddChunks(Count, Position);
  }
  if (BodySent()) {
    if (Count - Position < ContentLength) ContinueIfExpected();
    return AddBodyBytes(Count, Position);
  }
  if (refusal_ == 0) ReqState = REQSTAT_DONE;
  return Position;
}

int TKorviThread::AddBodyBytes(int Length, int Position) {
  const std::int64_t before = body_received_;
  AddToBody(Length, Position);
  return Position + static_cast<int>(body_received_ - before);
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
    raw_line_.push_back(c);
    if (c == '\r' || c == '\0') continue;
    if (static_cast<int>(LineBuffer.size()) >= KorviMaxLine) {
      refusal_ = 400;
      return false;
    }
    LineBuffer.push_back(c);
  }
  return false;
}

void TKorviThread::ProcessLine() {
  // The line as it came, without the CR of its line end, for the syntax
  // checks of the profile.
  if (!raw_line_.empty() && raw_line_.back() == '\r') raw_line_.pop_back();
  raw_lines_.push_back(std::move(raw_line_));
  raw_line_.clear();
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
    // Over HTTP/1.0 only the actions answer a URL with a query; the
    // profile serves the file or directory as without it.
    if (!Http11()) ServeStatic = false;
  }
  try {
    URL = HTTPDecode(URL);
  } catch (const std::exception&) {
    refusal_ = 400;  // a malformed escape in the path
  }
}

bool TKorviThread::BodySent() {
  const int index = HeaderLines.IndexOfName("Content-Length");
  if (index < 0) return false;
  const std::string value = HeaderLines.ValueFromIndex(index);
  if (value.empty()) return false;
  std::int64_t length = 0;
  if (!ParseContentLength(value, length) || length > Settings().MaxRequestBody) {
    refusal_ = 400;
    return false;
  }
  spooled_ = length > Settings().MaxBodyInMemory;
  // A method that takes no body is refused before a long one is read.
  if (spooled_ && (SameText(Method, "GET") || SameText(Method, "HEAD"))) {
    refusal_ = 400;
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

int TKorviThread::AddChunks(int Length, int Position) {
  std::size_t taken = 0;
  try {
    taken = chunks_->Feed(
        std::string_view(DataBuffer.data() + Position, static_cast<size_t>(Length - Position)));
  } catch (const EStreamError&) {
    RefuseRequest(503);  // no temporary file, or no room in it
    return Length;
  }
  switch (chunks_->Status()) {
    case TChunkedStatus::NeedMore:
      break;
    case TChunkedStatus::Done:
      // From here on the request reads as if its length had been sent.
      ContentLength = chunks_->DecodedSize();
      HeaderLines.SetValue("transfer-encoding", "");
      HeaderLines.SetValue("content-length", IntToStr(ContentLength));
      ReqState = REQSTAT_DONE;
      break;
    case TChunkedStatus::Malformed:
    case TChunkedStatus::TooLarge:
      refusal_ = 400;
      break;
  }
  return Position + static_cast<int>(taken);
}

void TKorviThread::AddDecoded(std::string_view Piece) {
  const auto size = static_cast<std::int64_t>(Piece.size());
  if (!spooled_ && body_received_ + size > Settings().MaxBodyInMemory) {
    // The body outgrew memory: what came so far moves to the spool.
    spooled_ = true;
    BodyTarget().WriteBuffer(BodyStream->Memory(), BodyStream->Size());
    BodyStream->Clear();
  }
  BodyTarget().WriteBuffer(Piece.data(), size);
  body_received_ += size;
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
  ++requests_;
  request_whole_ = true;
  keep_connection_ = PersistentRequest();
  // On a connection that goes on, the end of each answer leaves at once
  // rather than wait for the client to acknowledge what came before it.
  if (keep_connection_ && requests_ == 1) {
    if (!Socket->UsesTls()) Socket->SendWithoutDelay();
    if (Settings().SteerKeptConnections) TThread::MoveToCpu(Socket->IncomingCpu());
  }
  try {
    if (Settings().OnRequestDone) Settings().OnRequestDone(Server->ThreadCount(), received_);
    StartResponse();
  } catch (const std::exception&) {
    Release();
  }
}

bool TKorviThread::PersistentRequest() {
  if (!Http11() || !Server->Active()) return false;
  const TKorviSettings& settings = Settings();
  if (settings.MaxKeepAliveRequests > 0 && requests_ >= settings.MaxKeepAliveRequests) return false;
  if (ConnectionOption("close")) return false;
  // An HTTP/1.0 client keeps its connection only when it asks to, and never
  // after a body in chunks, whose end it may not know how to mark.
  if (SameText(Protocol, "HTTP/1.0")) return ConnectionOption("keep-alive") && !chunks_;
  return Protocol.starts_with("HTTP/1.");
}

bool TKorviThread::ConnectionOption(std::string_view Option) const {
  const std::string options = HeaderLines.Values("connection");
  for (const std::string_view listed : SplitHeaderList(options)) {
    if (SameText(listed, Option)) return true;
  }
  return false;
}

std::string TKorviThread::ConnectionHeader() {
  if (!Http11()) return {};
  if (!keep_connection_) return "close";
  return SameText(Protocol, "HTTP/1.0") ? "keep-alive" : "";
}

void TKorviThread::NextRequest() {
  BeginRequest();
  if (ahead_.empty()) {
    if (peer_closed_) {
      Release();  // the client sent nothing more
      return;
    }
    idle_ = true;
    RestartLifeTimer(std::chrono::seconds(std::max(1, Settings().KeepAliveTimeout)));
    return;
  }
  RestartLifeTimer(life_);
  FeedAhead();
}

void TKorviThread::RefuseRequest(int code) {
  // The client may still be sending; the page goes out like any answer,
  // and what still arrives is read and dropped while the connection ends.
  ReqState = REQSTAT_DONE;
  keep_connection_ = false;
  refusal_ = 0;
  Output.SetHttp11(Http11());
  WriteError(code);
  FinishBuiltInAnswer();
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
  wrote_directly_ = true;
  return Socket->Send(Buffer, Count);
}

}  // namespace korvi
