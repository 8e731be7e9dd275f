// TKorviThread: the worker thread that serves one accepted connection from
// start to end. It adopts the connection into a socket of its own, runs its
// own message loop (socket events and the life timer tick there), assembles
// and parses one request, hands it to the actions or answers it from the
// file system, transmits the answer in 8192-byte chunks and frees itself.
//
// Everything here runs on the connection's thread; the server's events are
// raised on it too. The fields are public because the request and response
// objects and the built-in answer units read and write them.
#pragma once

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
#include "korvi/server/output_text.h"

namespace korvi {

class TKorvi;
class TKorviRequest;
class TKorviResponse;
class TSSLKSocket;
struct TKorviSettings;
struct TSearchRec;

// Intake state of a connection.
enum TKReqType : std::uint8_t {
  REQSTAT_REQUEST = 0,  // waiting for the request line
  REQSTAT_HEADER = 1,   // reading header lines
  REQSTAT_BODY = 2,     // collecting the body
  REQSTAT_DONE = 3,     // request complete
  REQSTAT_SIMPLE = 4,   // a bare request: the file answer carries no header block
};

// Execution kinds declared beside the intake states; nothing stores them.
enum TKExecType : std::uint8_t { APP_APP, APP_WEB, APP_MIX };

// Size of one receive, of one transmitted chunk and of the initial text buffer.
constexpr int KorviChunkSize = 8192;
// Longest request or header line accepted (longer ones get the 400 page).
constexpr int KorviMaxLine = 8192;
// Most bytes a request line and its header lines may take together.
constexpr std::int64_t KorviMaxHeaderBlock = 1024 * 1024;
// Once the answer is out and the sending direction ended, the connection is
// read and discarded until the client closes it, or until nothing arrived
// for this many milliseconds.
constexpr unsigned KorviLingerMs = 2000;
// How often the client's progress is looked at while the answer goes out;
// a stall is measured to within this.
constexpr std::chrono::milliseconds KorviProgressLook{500};

class TKorviThread : public TThread {
 public:
  // Creates the thread suspended and self-freeing for the accepted
  // connection `SocketHandle`, with the initial field values.
  explicit TKorviThread(int SocketHandle);
  // Frees the socket (closing the connection), the streams and the timer,
  // then removes itself from the server's live threads.
  ~TKorviThread() override;

  // --- Fields ---

  std::unique_ptr<TTimer> LifeTimer;         // ends the connection when it fires
  TKorviResponse* ResponseObject = nullptr;  // only while StartResponse runs
  TKorviRequest* RequestObject = nullptr;    // only while StartResponse runs
  TKReqType ReqState = REQSTAT_REQUEST;
  // Receive buffer (8193 bytes, zero-filled).
  std::vector<char> DataBuffer;
  // The outgoing text of a built-in answer (status line, headers, listing
  // or error page).
  TOutputText Output;
  std::string LineBuffer;                   // the line being assembled
  std::unique_ptr<TFileStream> FileStream;  // the file being sent
  // The request body when it is no longer than the server's
  // MaxBodyInMemory; after an action answered, the whole response.
  std::unique_ptr<TMemoryStream> BodyStream;
  // A longer request body: a temporary file without a name, which goes with
  // the last stream that shares it (nullptr for a body kept in memory).
  std::shared_ptr<TFileStream> BodySpool;
  std::int64_t ContentLength = 0;  // value of the "Content-Length" header
  int TargetAttr = -1;             // attributes of the resolved target, -1: none
  bool ServeStatic = true;         // built-in file handling is allowed
  // Received headers as lower-cased name=value lines, the first being
  // "remote-address=" with the client's address.
  TStringList HeaderLines;
  std::string PathTranslated;           // always empty while a request object exists
  std::string TargetPath;               // resolved file or directory path
  std::string URL;                      // decoded request path without the query
  std::string Method;                   // method word of the request line, as received
  std::string Protocol;                 // protocol word (empty when absent)
  std::string Query;                    // text after the first "?", not decoded
  TStream* TransferStream = nullptr;    // FileStream or BodyStream being sent
  bool Sending = false;                 // chunked transmission under way
  std::int64_t SendPos = 0;             // bytes of TransferStream handed to the socket
  char ChunkBuffer[KorviChunkSize];     // one transmission chunk
  int SocketHandle;                     // the accepted connection
  std::unique_ptr<TSSLKSocket> Socket;  // the connection socket (created in Execute)
  TKorvi* Server = nullptr;             // the server that accepted the connection
  std::string DefaultFileName;          // copy of the server's DefaultFile
  std::string ThreadRoot;               // copy of the server's ServerRoot

  // --- Operations ---

  // Bytes of outgoing text written so far.
  int OutLength() const { return Output.OutLength(); }
  // Status code of the status line written (0: none yet).
  int WrittenStatus() const { return Output.WrittenStatus(); }
  // The request line as received, without its line end and any CR or NUL
  // bytes (empty until it has arrived).
  const std::string& RequestLine() const { return request_line_; }
  // Once the answer has started going out, the status code its status line
  // carries, for an action's answer as for a built-in one; 0 before that,
  // and when the answer has no status line (an action that produced nothing).
  int ResponseStatus() const;
  // Once the answer has started going out, the bytes of its header block
  // (status line, header lines and the empty line after them); 0 before
  // that, and when the answer has none.
  std::int64_t HeaderBlockLength() const;

  // The server's settings as the request found them when it started (taken
  // from Server on first use); the thread reads every setting through them.
  const TKorviSettings& Settings();

  // The worker thread the calling code runs on, nullptr on any other
  // thread; the server's events on a connection reach its thread this way.
  static TKorviThread* Current();

  // Runs `Method` on the application's main thread and returns when it has run.
  virtual void Synchronize(const std::function<void()>& Method);
  // Asks the message loop to stop (posts a quit message to the socket's window).
  void Release();
  // Asks the thread to end from another thread (used when the server goes away).
  void RequestStop();

  // Moves bytes of `Buffer` from `Position` into LineBuffer; true when a line
  // feed completed the line.
  bool ReadLine(const char* Buffer, int Length, int& Position);
  // Parses the line in LineBuffer by ReqState and empties LineBuffer.
  void ProcessLine();
  // Prepares BodyStream when "Content-Length" was received; true then.
  bool BodySent();
  // Appends received bytes DataBuffer[Position..Length) to the body; a body
  // that cannot be stored gets the 503 page.
  void AddToBody(int Length, int Position);
  // The request body as received: BodySpool when there is one, else
  // BodyStream.
  TStream& RequestBody();
  // Bytes of the request body received.
  std::int64_t BodySize();
  // Stores `Root` as ThreadRoot with a trailing "/".
  void SetThreadRoot(const std::string& Root);
  // Maps a URL path onto a file-system path under ThreadRoot or a mapped
  // directory, as target resolution does; false, with `Url` emptied, when
  // it would lead outside them.
  bool URLtoPath(std::string& Url);
  // Builds "http://host:port/" (https with TLS) + the part of `Path` below the root.
  void PathToURL(std::string& Path);
  // Hands `Count` bytes straight to the socket; returns its Send result.
  int WriteClient(const void* Buffer, int Count);

  // Produces the answer once the request is complete (actions or built-in).
  void StartResponse();
  // Resolves URL to TargetPath/TargetAttr; writes an error page when the
  // target is unusable. True when an existing file or directory was found.
  bool FindTarget(std::string& Target);
  // Cuts the last "/"-segment off `Path` and returns it (with its "/").
  std::string StripLast(std::string& Path);
  // Makes the default file of the directory TargetPath the target; true then.
  bool CheckDefault();
  // Writes the built-in answer for the resolved target.
  void Responding();
  // Starts transmitting what was produced: the outgoing text, then the file
  // or the response the application built, one chunk per data-sent event.
  void StartDataSend();
  // Data-sent handler of the socket: sends the next chunk; once everything
  // has been handed to the system, reports OnResponseDone and ends the
  // connection gracefully.
  void OnSocketDataSent(TObject* Sender, std::uint16_t Error);

  // Appends `Text` to the outgoing text; returns 8192 - OutLength.
  int WriteString(std::string_view Text);
  // "HTTP/1.0 " + StatusText + CRLF, then the Server and Date headers.
  void WriteStatuss(const std::string& StatusText);
  // Records `Code` in WrittenStatus and writes its status line.
  void WriteStatus(int Code);
  // Name + ": " + Value + CRLF.
  void WriteHeaders(const std::string& Name, const std::string& Value);
  void WriteHeader(const std::string& Name, std::int64_t Value);
  // Writes the Content-type header of TargetPath when its type is known.
  void WriteFileType();
  // Writes a complete error response for `Code`.
  void WriteError(int Code);
  // Text := "ERROR : " + the status text of `Code`.
  void SendHTTPError(int Code, std::string& Text);
  // Writes the listing of the directory TargetPath.
  void doFileList();
  // Writes one listing row for `SearchRecord`; true when a row was written.
  bool DoListing(const TSearchRec& SearchRecord, const std::string& BaseURL);

 protected:
  // The thread body: socket set-up and the message loop.
  void Execute() override;
  // Creates the connection socket (a TSSLKSocket without TLS).
  virtual std::unique_ptr<TSSLKSocket> CreateKorviSocket();

  // Socket and timer handlers. The life timer bounds the intake of the
  // request as a whole; while the answer goes out it ends the connection
  // only when the client took no byte for the whole interval (the system
  // took none and the client acknowledged none, looked at every
  // KorviProgressLook); while lingering, when nothing arrived for
  // KorviLingerMs.
  void OnSocketDataAvailable(TObject* Sender, std::uint16_t Error);
  void OnSessionOver(TObject* Sender, std::uint16_t Error);
  void OnSocketError(TObject* Sender);
  void ZOnTimer(TObject* Sender);

 private:
  void SetUpSocket();
  void RunMessageLoop();
  void ParseRequestLine();
  void RequestComplete();
  // Answers at once with the error page `code`, whatever else arrives.
  void RefuseRequest(int code);
  // Where the arriving body goes: BodyStream, or BodySpool for a long body
  // (created with the first bytes).
  TStream& BodyTarget();
  // True when the body comes in chunks ("Transfer-Encoding"), which is not read.
  bool ChunkedBody() const;
  // Asks an HTTP/1.1 client waiting for "100 Continue" to send its body.
  void ContinueIfExpected();
  void AnswerBuiltIn();
  // Reads the chunk of TransferStream at SendPos into ChunkBuffer; its size.
  int ReadChunk();
  // Sends the chunk of TransferStream at SendPos: the bytes sent, 0 at the
  // stream's end, -1 when the send failed.
  int SendChunk();
  // The size of the chunk at SendPos.
  int ChunkLength() const;
  // Ends the connection when a send met a broken connection and closed the
  // socket; true then. No data-sent event follows such a send (the close was
  // already reported if the client had ended its direction before).
  bool ReleaseIfBroken();
  // Everything of the answer has been handed to the system.
  void AnswerHandedOver();
  // Raises OnResponseDone once with the bytes of the answer the system took.
  void ReportResponseDone();
  // The answer moved since NoteMovement: the system took more of it, or the
  // client acknowledged some of what the system holds.
  bool AnswerMoved() const;
  // Records the answer's progress as of `now`.
  void NoteMovement(std::chrono::steady_clock::time_point now);
  // When the life timer's next tick is due, or now when the connection ends.
  std::chrono::steady_clock::time_point Deadline(std::chrono::steady_clock::time_point now);
  // The bytes of the answer that begin with its header block: the outgoing
  // text of a built-in answer, or the response an action built.
  std::string_view AnswerStart() const;
  // Hands an exception of the actions to the server's OnException.
  void ReportException(const std::exception& error);

  using TimePoint = std::chrono::steady_clock::time_point;

  std::shared_ptr<const TKorviSettings> settings_;  // the request's settings
  std::int64_t received_ = 0;                       // bytes received for the request
  std::string request_line_;                        // the request line as received
  std::string peer_address_;                        // the client's address
  std::string listing_url_;                         // the request path with "." and ".." resolved
  std::string target_base_;                         // the root or mapped directory of the target
  bool bad_request_ = false;                        // the request is refused with the 400 page
  bool spooled_ = false;                            // the body goes to BodySpool
  std::int64_t body_received_ = 0;                  // bytes of the body received
  bool response_built_ = false;                     // an action's response fills BodyStream
  bool quit_posted_ = false;                        // a quit message is on its way to the loop
  std::chrono::milliseconds life_{0};               // the life timer's interval
  bool answering_ = false;                          // StartDataSend has run
  bool handed_over_ = false;                        // the system took the whole answer
  bool done_reported_ = false;                      // OnResponseDone has been raised
  bool lingering_ = false;                          // our direction ended; input is dropped
  bool peer_closed_ = false;                        // the client finished sending
  std::int64_t transfer_size_ = 0;                  // size of TransferStream
  std::int64_t stream_pos_ = -1;                    // where TransferStream stands (-1: unknown)
  std::int64_t answer_start_ = 0;                   // the socket's WriteCount when the answer began
  std::int64_t moved_count_ = 0;                    // its WriteCount when last looked at
  int unacknowledged_ = 0;                          // its UnacknowledgedCount then
  TimePoint last_move_;                             // when bytes of the answer last moved
  TimePoint linger_start_;                          // when lingering began
  TimePoint last_arrival_;                          // when bytes last arrived while lingering
  std::mutex window_lock_;                          // guards window_ and stop_requested_
  HWND window_ = 0;                                 // the socket's window, once it exists
  bool stop_requested_ = false;
};

}  // namespace korvi
