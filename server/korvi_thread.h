/// \file
/// TKorviThread: the worker thread that serves one accepted connection from
/// start to end. It adopts the connection into a socket of its own, runs its
/// own message loop (socket events and the life timer tick there), assembles
/// and parses a request, hands it to the actions or answers it from the file
/// system, transmits the answer (in 8192-byte chunks; a file on a plain
/// connection as much at a time as the system takes) and frees itself. With
/// the server's HTTP11 profile a connection the client keeps serves request
/// after request, each on a fresh exchange (see korvi_exchange.h).
///
/// Everything here runs on the connection's thread; the server's events are
/// raised on it too. The fields are public because the request and response
/// objects and the built-in answer units read and write them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "korvi/host/event_queue.h"
#include "korvi/host/streams.h"
#include "korvi/host/string_list.h"
#include "korvi/host/thread.h"
#include "korvi/host/timer.h"
#include "korvi/server/korvi_exchange.h"

namespace korvi {

class TKorvi;
class TSSLKSocket;
struct TKorviSettings;
struct TSearchRec;

/// Execution kinds declared beside the intake states; nothing stores them.
enum TKExecType : std::uint8_t { APP_APP, APP_WEB, APP_MIX };

/// Size of one receive, of one transmitted chunk and of the initial text buffer.
constexpr int KorviChunkSize = 8192;
/// A file that goes out in chunks is read this many bytes at a time.
constexpr int KorviFileReadAhead = 8 * KorviChunkSize;
/// Longest request or header line accepted (longer ones get the 400 page).
constexpr int KorviMaxLine = 8192;
/// Most bytes a request line and its header lines may take together.
constexpr std::int64_t KorviMaxHeaderBlock = 1024 * 1024;
/// Once the answer is out and the sending direction ended, the connection is
/// read and discarded until the client closes it, or until nothing arrived
/// for this many milliseconds.
constexpr unsigned KorviLingerMs = 2000;
/// How often the client's progress is looked at while the answer goes out;
/// a stall is measured to within this.
constexpr std::chrono::milliseconds KorviProgressLook{500};

/// The worker thread that serves one accepted connection from start to end.
class TKorviThread : public TThread, public TKorviExchange {
 public:
  /// Creates the thread suspended and self-freeing for the accepted
  /// connection `SocketHandle`, with the initial field values.
  explicit TKorviThread(int SocketHandle);
  /// Frees the socket (closing the connection), the streams and the timer,
  /// then removes itself from the server's live threads.
  ~TKorviThread() override;

  // --- Fields ---

  std::unique_ptr<TTimer> LifeTimer;  ///< ends the connection when it fires
  /// Receive buffer (8193 bytes, zero-filled).
  std::vector<char> DataBuffer;
  char ChunkBuffer[KorviChunkSize];     ///< one transmission chunk of a stream
  int SocketHandle;                     ///< the accepted connection
  std::unique_ptr<TSSLKSocket> Socket;  ///< the connection socket (created in Execute)
  TKorvi* Server = nullptr;             ///< the server that accepted the connection
  std::string DefaultFileName;          ///< copy of the server's DefaultFile
  std::string ThreadRoot;               ///< copy of the server's ServerRoot
  /// The client's address as the connection was accepted (empty: asked of
  /// the socket).
  std::string ClientAddress;

  // --- Operations ---

  /// Bytes of outgoing text written so far.
  int OutLength() const { return Output.OutLength(); }
  /// Status code of the status line written (0: none yet).
  int WrittenStatus() const { return Output.WrittenStatus(); }
  /// The request line as received, without its line end and any CR or NUL
  /// bytes (empty until it has arrived).
  const std::string& RequestLine() const { return request_line_; }
  /// Once the answer has started going out, the status code its status line
  /// carries, for an action's answer as for a built-in one; 0 before that,
  /// and when the answer has no status line (an action that produced nothing).
  int ResponseStatus() const;
  /// Once the answer has started going out, the bytes of its header block
  /// (status line, header lines and the empty line after them); 0 before
  /// that, and when the answer has none.
  std::int64_t HeaderBlockLength() const;

  /// The server's HTTP11 profile applies to the request (false without a
  /// server).
  bool Http11();
  /// True while the connection waits for its next request; safe from any
  /// thread.
  bool Idle() const { return idle_; }
  /// Ends the connection when it waits for its next request; true then.
  /// Safe from any thread.
  bool CloseIfIdle();
  /// The answer leaves the connection open for the next request.
  bool KeepsConnection() const { return keep_connection_; }
  /// The value of the "Connection" header the answer carries: "close" when
  /// the connection ends after it but the client may not expect that,
  /// "keep-alive" when an HTTP/1.0 client's connection stays, else empty.
  std::string ConnectionHeader();

  /// The server's settings as the request found them when it started (taken
  /// from Server on first use); the thread reads every setting through them.
  const TKorviSettings& Settings();

  /// The worker thread the calling code runs on, nullptr on any other
  /// thread; the server's events on a connection reach its thread this way.
  static TKorviThread* Current();

  /// Runs `Method` on the application's main thread and returns when it has run.
  virtual void Synchronize(const std::function<void()>& Method);
  /// Asks the message loop to stop (posts a quit message to the socket's window).
  void Release();
  /// Asks the thread to end from another thread (used when the server goes away).
  void RequestStop();

  /// Moves bytes of `Buffer` from `Position` into LineBuffer; true when a line
  /// feed completed the line.
  bool ReadLine(const char* Buffer, int Length, int& Position);
  /// Parses the line in LineBuffer by ReqState and empties LineBuffer.
  void ProcessLine();
  /// Prepares BodyStream when "Content-Length" was received; true then.
  bool BodySent();
  /// Appends received bytes DataBuffer[Position..Length) to the body; a body
  /// that cannot be stored gets the 503 page.
  void AddToBody(int Length, int Position);
  /// The request body as received: BodySpool when there is one, else
  /// BodyStream.
  TStream& RequestBody();
  /// Bytes of the request body received.
  std::int64_t BodySize();
  /// Stores `Root` as ThreadRoot with a trailing "/".
  void SetThreadRoot(const std::string& Root);
  /// Maps a URL path onto a file-system path under ThreadRoot or a mapped
  /// directory, as target resolution does; false, with `Url` emptied, when
  /// it would lead outside them.
  bool URLtoPath(std::string& Url);
  /// Builds "http://host:port/" (https with TLS) + the part of `Path` below the root.
  void PathToURL(std::string& Path);
  /// Hands `Count` bytes straight to the socket; returns its Send result.
  /// The answer's length is then not known: the connection ends after it.
  int WriteClient(const void* Buffer, int Count);

  /// Produces the answer once the request is complete (actions or built-in).
  void StartResponse();
  /// Resolves URL to TargetPath/TargetAttr; writes an error page when the
  /// target is unusable. True when an existing file or directory was found.
  bool FindTarget(std::string& Target);
  /// Cuts the last "/"-segment off `Path` and returns it (with its "/").
  std::string StripLast(std::string& Path);
  /// Makes the default file of the directory TargetPath the target; true then.
  bool CheckDefault();
  /// Writes the built-in answer for the resolved target.
  void Responding();
  /// Starts transmitting what was produced: the outgoing text, then the file
  /// or the response the application built, one piece per data-sent event.
  void StartDataSend();
  /// Data-sent handler of the socket: sends the next chunk; once everything
  /// has been handed to the system, reports OnResponseDone and ends the
  /// connection gracefully.
  void OnSocketDataSent(TObject* Sender, std::uint16_t Error);

  /// Appends `Text` to the outgoing text; returns 8192 - OutLength.
  int WriteString(std::string_view Text);
  /// "HTTP/1.0 " + StatusText + CRLF, then the Server and Date headers.
  void WriteStatuss(const std::string& StatusText);
  /// Records `Code` in WrittenStatus and writes its status line.
  void WriteStatus(int Code);
  /// Name + ": " + Value + CRLF.
  void WriteHeaders(const std::string& Name, const std::string& Value);
  /// Name + ": " + the decimal Value + CRLF.
  void WriteHeader(const std::string& Name, std::int64_t Value);
  /// Writes the Content-type header of TargetPath when its type is known.
  void WriteFileType();
  /// Writes a complete error response for `Code`.
  void WriteError(int Code);
  /// Text := "ERROR : " + the status text of `Code`.
  void SendHTTPError(int Code, std::string& Text);
  /// Writes the listing of the directory TargetPath.
  void doFileList();
  /// Writes one listing row for `SearchRecord`; true when a row was written.
  bool DoListing(const TSearchRec& SearchRecord, const std::string& BaseURL);

 protected:
  /// The thread body: socket set-up and the message loop.
  void Execute() override;
  /// Creates the connection socket (a TSSLKSocket without TLS).
  virtual std::unique_ptr<TSSLKSocket> CreateKorviSocket();

  ///@{
  /// Socket and timer handlers. The life timer bounds the intake of the
  /// request as a whole; while the answer goes out it ends the connection
  /// only when the client took no byte for the whole interval (the system
  /// took none and the client acknowledged none, looked at every
  /// KorviProgressLook); while lingering, when nothing arrived for
  /// KorviLingerMs.
  void OnSocketDataAvailable(TObject* Sender, std::uint16_t Error);
  void OnSessionOver(TObject* Sender, std::uint16_t Error);
  void OnSocketError(TObject* Sender);
  void ZOnTimer(TObject* Sender);
  ///@}

 private:
  void SetUpSocket();
  void RunMessageLoop();
  void ParseRequestLine();
  void RequestComplete();
  /// Answers at once with the error page `code`, whatever else arrives.
  void RefuseRequest(int code);
  /// Where the arriving body goes: BodyStream, or BodySpool for a long body
  /// (created with the first bytes).
  TStream& BodyTarget();
  /// True when the body comes in chunks ("Transfer-Encoding"), which is not read.
  bool ChunkedBody() const;
  /// ResponseStatus as if the answer had started when `started`.
  int ResponseStatus(bool started) const;
  /// Starts the next request of the connection on a fresh exchange.
  void BeginRequest();
  /// Takes the received bytes DataBuffer[0..Count) for the request under way;
  /// the bytes it took.
  int TakeRequestBytes(int Count);
  /// Checks the complete header block and starts taking the body that
  /// follows from DataBuffer[Position..Count); the bytes taken in all.
  int HeaderBlockDone(int Count, int Position);
  /// AddToBody for DataBuffer[Position..Length); Position plus the bytes taken.
  int AddBodyBytes(int Length, int Position);
  /// Refuses or answers the request once its intake ended.
  void ConcludeIntake();
  /// Appends a decoded piece of a chunked body to the body.
  void AddDecoded(std::string_view Piece);
  /// Restarts the life timer with `Interval`.
  void RestartLifeTimer(std::chrono::milliseconds Interval);
  /// Hands the bytes received to the request and answers it once complete.
  void FeedRequest(int Count);
  /// Feeds the bytes kept from an earlier receive to the request under way.
  void FeedAhead();
  /// Keeps bytes after the request under way for the next one; false when
  /// too many are waiting.
  bool KeepAhead(const char* Data, int Count);
  /// Whether the connection may serve another request after this one.
  bool PersistentRequest();
  /// Whether the request's "Connection" header lists `Option`.
  bool ConnectionOption(std::string_view Option) const;
  /// Nothing can arrive after the request: the profile is on, the client
  /// said it closes, the request came in whole and nothing follows it on a
  /// plain connection. Closing then cannot reset the connection.
  bool NothingMoreCanArrive();
  /// Takes bytes DataBuffer[Position..Length) of a body sent in chunks;
  /// Position plus the bytes taken.
  int AddChunks(int Length, int Position);
  /// The profile's answer for the file TargetPath (FileStream, `size` bytes,
  /// written at `last_write`): 304 when the client's copy is current, else
  /// the whole file or the range asked for (416 when it cannot be served).
  void AnswerFile(std::int64_t size, std::int64_t last_write, const TStringList& extra);
  /// Completes the header block of a built-in answer for the profile.
  void FinishBuiltInAnswer();
  /// The connection stays: the next request begins.
  void NextRequest();
  /// Asks an HTTP/1.1 client waiting for "100 Continue" to send its body.
  void ContinueIfExpected();
  void AnswerBuiltIn();
  /// The chunk of TransferStream at SendPos, `Count` bytes of it: read into
  /// ChunkBuffer, or for the file, from what was read ahead.
  const char* ReadChunk(int& Count);
  /// The chunk of the file at SendPos, read ahead several chunks at a time.
  const char* ReadFileChunk(int& Count);
  /// Sends the chunk of TransferStream at SendPos (for a file on a plain
  /// connection, as much from SendPos on as the system takes): the bytes
  /// sent, 0 at the stream's end, -1 when the send failed.
  int SendChunk();
  /// Sends bytes of the answer, `Last` when they end it: ahead of the
  /// connection's end when the answer ends it in one send, and ahead of the
  /// next piece when more of an answer on a kept connection follows.
  int SendAnswerBytes(const char* Data, int Count, bool Last);
  /// The whole answer goes out in one send on a plain connection.
  bool AnswerInOneSend();
  /// The answer is the outgoing text and a file that fit one chunk and one
  /// block of the socket's send chain together.
  bool FileJoinsText();
  /// Sends the outgoing text with the file's bytes after it, in one send.
  void SendTextWithFile();
  /// The size of the chunk at SendPos.
  int ChunkLength() const;
  /// Ends the connection when a send met a broken connection and closed the
  /// socket; true then. No data-sent event follows such a send (the close was
  /// already reported if the client had ended its direction before).
  bool ReleaseIfBroken();
  /// Everything of the answer has been handed to the system.
  void AnswerHandedOver();
  /// Raises OnResponseDone once with the bytes of the answer the system took.
  void ReportResponseDone();
  /// The answer moved since TakeCounts: the system took more of it, or the
  /// client acknowledged some of what the system holds.
  bool AnswerMoved() const;
  /// Records that the answer moved at `now` (the system took what was
  /// queued); the next look takes the counts it is measured against.
  void NoteMovement(std::chrono::steady_clock::time_point now);
  /// Takes the socket's write and unacknowledged counts as they are now.
  void TakeCounts();
  /// When the life timer's next tick is due, or now when the connection ends.
  std::chrono::steady_clock::time_point Deadline(std::chrono::steady_clock::time_point now);
  /// The bytes of the answer that begin with its header block: the outgoing
  /// text of a built-in answer, or the response an action built.
  std::string_view AnswerStart() const;
  /// Hands an exception of the actions to the server's OnException.
  void ReportException(const std::exception& error);

  using TimePoint = std::chrono::steady_clock::time_point;

  std::string peer_address_;           ///< the client's address
  bool quit_posted_ = false;           ///< a quit message is on its way to the loop
  std::chrono::milliseconds life_{0};  ///< the life timer's interval
  bool lingering_ = false;             ///< our direction ended; input is dropped
  bool peer_closed_ = false;           ///< the client finished sending
  std::string ahead_;                  ///< bytes received after the request under way
  int requests_ = 0;                   ///< requests begun on this connection
  std::atomic<bool> idle_{false};      ///< waiting for the next request
  TimePoint linger_start_;             ///< when lingering began
  TimePoint last_arrival_;             ///< when bytes last arrived while lingering
  std::mutex window_lock_;             ///< guards window_ and stop_requested_
  HWND window_ = 0;                    ///< the socket's window, once it exists
  bool stop_requested_ = false;
};

}  // namespace korvi
