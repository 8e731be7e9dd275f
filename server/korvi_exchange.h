/// \file
/// TKorviExchange: everything of one request and its answer on a connection.
///
/// A worker thread serves its connection one request at a time. What belongs
/// to the connection (the socket, the client's address, the TLS session, the
/// life timer, lingering) stays with the thread; what belongs to a request
/// lives here, and the thread starts every request on a fresh exchange, so
/// nothing of one request reaches the next. The thread derives from it: the
/// request and response objects and the built-in answer units read and write
/// these fields through the thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "korvi/host/streams.h"
#include "korvi/host/string_list.h"
#include "korvi/server/output_text.h"
#include "korvi/web/chunked_decoder.h"

namespace korvi {

class TKorviRequest;
class TKorviResponse;
struct TKorviSettings;

/// Intake state of a request.
enum TKReqType : std::uint8_t {
  REQSTAT_REQUEST = 0,  ///< waiting for the request line
  REQSTAT_HEADER = 1,   ///< reading header lines
  REQSTAT_BODY = 2,     ///< collecting the body
  REQSTAT_DONE = 3,     ///< request complete
  REQSTAT_SIMPLE = 4,   ///< a bare request: the file answer carries no header block
};

/// Everything of one request and its answer on a connection.
class TKorviExchange {
 public:
  /// A request of which nothing has arrived, with an empty body stream.
  TKorviExchange();
  TKorviExchange(const TKorviExchange&) = delete;
  TKorviExchange& operator=(const TKorviExchange&) = delete;
  /// Replaces every field (used to start the next request afresh).
  TKorviExchange& operator=(TKorviExchange&&) noexcept;
  virtual ~TKorviExchange();

  TKorviResponse* ResponseObject = nullptr;  ///< only while StartResponse runs
  TKorviRequest* RequestObject = nullptr;    ///< only while StartResponse runs
  /// How far the request's intake has come.
  TKReqType ReqState = REQSTAT_REQUEST;
  /// The outgoing text of a built-in answer (status line, headers, listing
  /// or error page).
  TOutputText Output;
  std::string LineBuffer;                   ///< the line being assembled
  std::unique_ptr<TFileStream> FileStream;  ///< the file being sent
  /// The request body when it is no longer than the server's
  /// MaxBodyInMemory; after an action answered, the whole response.
  std::unique_ptr<TMemoryStream> BodyStream;
  /// A longer request body: a temporary file without a name, which goes with
  /// the last stream that shares it (nullptr for a body kept in memory).
  std::shared_ptr<TFileStream> BodySpool;
  /// Value of the "Content-Length" header; for a body sent in chunks, its
  /// decoded size once it is complete.
  std::int64_t ContentLength = 0;
  int TargetAttr = -1;      ///< attributes of the resolved target, -1: none
  bool ServeStatic = true;  ///< built-in file handling is allowed
  /// Received headers as lower-cased name=value lines, the first being
  /// "remote-address=" with the client's address.
  TStringList HeaderLines;
  std::string PathTranslated;         ///< always empty while a request object exists
  std::string TargetPath;             ///< resolved file or directory path
  std::string URL;                    ///< decoded request path without the query
  std::string Method;                 ///< method word of the request line, as received
  std::string Protocol;               ///< protocol word (empty when absent)
  std::string Query;                  ///< text after the first "?", not decoded
  TStream* TransferStream = nullptr;  ///< FileStream or BodyStream being sent
  bool Sending = false;               ///< chunked transmission under way
  std::int64_t SendPos = 0;           ///< bytes of TransferStream handed to the socket

 protected:
  /// A moment on the steady clock.
  using TimePoint = std::chrono::steady_clock::time_point;

  std::shared_ptr<const TKorviSettings> settings_;  ///< the request's settings
  std::int64_t received_ = 0;                       ///< bytes received for the request
  std::string request_line_;                        ///< the request line as received
  std::string raw_line_;                            ///< the line being assembled, as received
  /// The request line and the header lines as received.
  std::vector<std::string> raw_lines_;
  std::string listing_url_;         ///< the request path with "." and ".." resolved
  std::string target_base_;         ///< the root or mapped directory of the target
  int refusal_ = 0;                 ///< the error page the request gets (0: none)
  bool request_whole_ = false;      ///< the request came in whole, body included
  bool spooled_ = false;            ///< the body goes to BodySpool
  std::int64_t body_received_ = 0;  ///< bytes of the body received
  /// Decodes a body sent in chunks (nullptr for any other body).
  std::unique_ptr<TChunkedDecoder> chunks_;
  bool response_built_ = false;     ///< an action's response fills BodyStream
  bool wrote_directly_ = false;     ///< an action wrote to the client itself
  bool keep_connection_ = false;    ///< the next request follows on this connection
  bool answering_ = false;          ///< StartDataSend has run
  bool handed_over_ = false;        ///< the system took the whole answer
  bool done_reported_ = false;      ///< OnResponseDone has been raised
  bool segments_held_ = false;      ///< partly filled segments wait for the answer's end
  bool last_send_ahead_ = false;    ///< the answer's one send waits for the connection's end
  bool pieces_ahead_ = false;       ///< each send but the answer's last says more follows
  std::int64_t transfer_size_ = 0;  ///< where sending TransferStream ends
  std::int64_t send_end_ = -1;      ///< end of the file range to send (-1: the end)
  std::int64_t stream_pos_ = -1;    ///< where TransferStream stands (-1: unknown)
  /// The file's bytes read ahead of the chunks that send them (made for a
  /// file that goes out in chunks).
  std::unique_ptr<char[]> file_ahead_;
  std::int64_t ahead_start_ = 0;   ///< where in the file file_ahead_ begins
  int ahead_length_ = 0;           ///< bytes in file_ahead_
  std::int64_t answer_start_ = 0;  ///< the socket's WriteCount when the answer began
  /// Its WriteCount when last looked at (-1: not since the answer last moved).
  std::int64_t moved_count_ = 0;
  int unacknowledged_ = 0;  ///< its UnacknowledgedCount then
  TimePoint last_move_;     ///< when bytes of the answer last moved
};

}  // namespace korvi
