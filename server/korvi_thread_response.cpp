// TKorviThread, the answering side: offering the request to the actions,
// the built-in answer from the file system (through the target resolver,
// the outgoing text, listings and error pages) and the transmission of the
// answer, one piece per data-sent event: 8192-byte chunks, or for a file on a
// plain connection as much as the system takes.
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string_view>

#include "korvi/host/exceptions.h"
#include "korvi/host/sysutils.h"
#include "korvi/server/byte_range.h"
#include "korvi/server/directory_listing.h"
#include "korvi/server/error_page.h"
#include "korvi/server/file_validators.h"
#include "korvi/server/korvi.h"
#include "korvi/server/korvi_thread.h"
#include "korvi/server/mime_types.h"
#include "korvi/server/target_resolver.h"
#include "korvi/socket/ssl_ksocket.h"
#include "korvi/web/http_date.h"
#include "korvi/web/korvi_request.h"
#include "korvi/web/korvi_response.h"

namespace korvi {

namespace {

std::string MessageOf(const std::exception& error) {
  if (const auto* e = dynamic_cast<const Exception*>(&error)) return e->Message();
  return error.what();
}

// The code of the status line `text` begins with: its second word when that
// is a three-digit number ("HTTP/1.0 404 Not Found" gives 404), else 0.
int StatusLineCode(std::string_view text) {
  const std::string_view line = text.substr(0, text.find_first_of("\r\n"));
  const size_t blank = line.find(' ');
  if (blank == std::string_view::npos || line.size() < blank + 4) return 0;
  if (line.size() > blank + 4 && line[blank + 4] != ' ') return 0;
  int code = 0;
  for (const char c : line.substr(blank + 1, 3)) {
    if (c < '0' || c > '9') return 0;
    code = code * 10 + (c - '0');
  }
  return code;
}

// Cuts an action's response in `response` after its header block (HEAD
// gets the header block GET would get).
void DropResponseBody(TMemoryStream& response) {
  const std::string_view text(response.Memory(), static_cast<size_t>(response.Size()));
  const size_t end = text.find("\r\n\r\n");
  if (end != std::string_view::npos) response.SetSize(static_cast<std::int64_t>(end + 4));
}

// The most bytes of a file one send offers the system (more than any socket
// buffer holds).
constexpr std::int64_t kMostFileBytesPerSend = 1 << 30;

// How listings write names: as stored in the profile, else lower-cased.
TListingCase ListingCaseOf(bool http11) {
  return http11 ? TListingCase::AsStored : TListingCase::Lower;
}

}  // namespace

void TKorviThread::StartResponse() {
  Output.SetHttp11(Http11());
  {
    auto request = std::make_unique<TKorviRequest>(this);
    auto response = std::make_unique<TKorviResponse>(request.get());
    RequestObject = request.get();
    ResponseObject = response.get();
    if (Settings().OnBeforeProcess)
      Settings().OnBeforeProcess(this, RequestObject, ResponseObject, this);
    try {
      if (Server->DispatchAction(RequestObject, ResponseObject)) {
        ServeStatic = false;
        ResponseObject->SendResponse();
      }
    } catch (const std::exception& error) {
      ReportException(error);
      ResponseObject->SetStatusCode(500);
      ResponseObject->SetContent("EXCEPTION: " + MessageOf(error));
      ServeStatic = false;
      ResponseObject->SendResponse();
    }
    // A handler may send the response itself and still leave the flag
    // false; that response is the answer all the same, transmitted from the
    // body stream like any the application built.
    response_built_ = ResponseObject->Sent();
    if (response_built_) ServeStatic = false;
    if (Settings().OnAfterProcess)
      Settings().OnAfterProcess(this, RequestObject, ResponseObject, this);
    RequestObject = nullptr;
    ResponseObject = nullptr;
  }
  // With bytes the action wrote itself, or an answer without a status line,
  // the answer's length is not known: the connection ends after it.
  if (wrote_directly_) keep_connection_ = false;
  if (response_built_) {
    if (ResponseStatus(true) == 0) keep_connection_ = false;
    if (Http11() && SameText(Method, "HEAD")) DropResponseBody(*BodyStream);
  } else {
    AnswerBuiltIn();
    FinishBuiltInAnswer();
  }
  StartDataSend();
}

void TKorviThread::ReportException(const std::exception& error) {
  if (!Settings().OnException) return;
  try {
    Settings().OnException(Server, RequestObject, error);
  } catch (const std::exception&) {
    // The client still gets its 500 answer.
  }
}

void TKorviThread::AnswerBuiltIn() {
  std::string target;
  if (!Server->Active()) {
    WriteError(503);
  } else if (ContentLength == 0 && SameText(Method, "GET")) {
    FindTarget(target);
    if (WrittenStatus() == 0) {
      if (ServeStatic) {
        Responding();
      } else {
        WriteError(501);
      }
    }
  } else if (ContentLength == 0 && ReqState == REQSTAT_DONE && SameText(Method, "HEAD")) {
    FindTarget(target);
    if (WrittenStatus() == 0 && ServeStatic) Responding();
  } else if (ContentLength > 0 && ReqState == REQSTAT_DONE && SameText(Method, "POST")) {
    // A form posted to a file or directory that no action takes.
    ServeStatic = true;
    FindTarget(target);
    if (WrittenStatus() == 0) WriteError(BodySize() == 0 ? 400 : 405);
  } else {
    WriteError(501);
  }
}

bool TKorviThread::FindTarget(std::string& Target) {
  const std::shared_ptr<const TStringList> map = Settings().URLMap;
  const TTargetResolver resolver(ThreadRoot, *map, DefaultFileName, Settings().FollowLinks);
  const TTarget found = resolver.FindTarget(URL, ServeStatic);
  TargetPath = found.Path;
  TargetAttr = found.Attr;
  target_base_ = found.Base;
  if (!found.URL.empty()) listing_url_ = found.URL;
  if (found.Error != 0) WriteError(found.Error);
  Target = TargetPath;
  return found.Attr != -1;
}

std::string TKorviThread::StripLast(std::string& Path) {
  return ::korvi::StripLast(Path);
}

bool TKorviThread::CheckDefault() {
  const std::shared_ptr<const TStringList> map = Settings().URLMap;
  const TTargetResolver resolver(ThreadRoot, *map, DefaultFileName);
  TTarget target;
  target.Path = TargetPath;
  target.Attr = TargetAttr;
  if (!resolver.CheckDefault(target)) return false;
  TargetPath = target.Path;
  TargetAttr = target.Attr;
  return true;
}

void TKorviThread::Responding() {
  if (TargetAttr & faHidden) {
    WriteError(403);
  } else if (TargetAttr & faDirectory) {
    if (Settings().DirectoryListing) {
      doFileList();
    } else {
      WriteError(403);
    }
  } else {
    // A file that is gone or cannot be opened gets the 503 page.
    try {
      FileStream = std::make_unique<TFileStream>(TargetPath, fmOpenRead | fmShareDenyWrite);
    } catch (const std::exception&) {
      WriteError(503);
      return;
    }
    // The answer describes the file as it was opened, and sends that much.
    const std::int64_t last_write = FileStream->OpenedWriteTime();
    const std::int64_t size = FileStream->OpenedSize();
    if (ReqState != REQSTAT_SIMPLE) {
      TStringList extra;
      if (Settings().OnFileHeaders) Settings().OnFileHeaders(Server, TargetPath, extra);
      if (Http11()) {
        AnswerFile(size, last_write, extra);
      } else {
        Output.WriteFileHeaders(
            FileMimeType(TargetPath, Settings().OnGetMimeType, Server, Server->MimeTable()), size,
            last_write, 200, &extra);
      }
    }
    if (SameText(Method, "HEAD")) FileStream.reset();
  }
}

void TKorviThread::AnswerFile(std::int64_t size, std::int64_t last_write,
                              const TStringList& extra) {
  const std::string etag = FileETag(size, last_write);
  const std::string validators = "ETag: " + etag + "\r\n";
  if (IsNotModified(HeaderLines.Values("if-none-match"), HeaderLines.Values("if-modified-since"),
                    etag, last_write)) {
    WriteStatus(304);
    Output.WriteString(validators);
    Output.WriteHeaders("Last-Modified", FormatHttpDate(last_write));
    Output.WriteString("\r\n");
    FileStream.reset();
    return;
  }
  TByteRange range;  // the whole file unless a range applies
  if (IfRangeHolds(HeaderLines.Values("if-range"), etag, last_write))
    range = ResolveRange(HeaderLines.Values("range"), size);
  if (range.Kind == TRangeKind::Unsatisfiable) {
    WriteError(416);
    Output.InsertHeaderLines("Content-Range: " + ContentRange(range, size) + "\r\n");
    FileStream.reset();
    return;
  }
  const bool partial = range.Kind == TRangeKind::Partial;
  const std::string type =
      FileMimeType(TargetPath, Settings().OnGetMimeType, Server, Server->MimeTable());
  Output.WriteFileHeaders(type, partial ? range.Length() : size, last_write, partial ? 206 : 200,
                          &extra);
  std::string lines = validators + "Accept-Ranges: bytes\r\n";
  if (partial) {
    lines += "Content-Range: " + ContentRange(range, size) + "\r\n";
    // Only the range goes out.
    SendPos = range.First;
    send_end_ = range.Last + 1;
  }
  Output.InsertHeaderLines(lines);
}

void TKorviThread::FinishBuiltInAnswer() {
  if (!Http11() || ReqState == REQSTAT_SIMPLE) return;
  const int body = Output.BodyOffset();
  // A 304 answer has no body, and no length of its own to say.
  if (body < 0) {
    keep_connection_ = false;  // no header block: the answer ends with the connection
    return;
  }
  std::string lines;
  if (!Output.HasContentLength())
    lines += "Content-Length: " + IntToStr(OutLength() - body) + "\r\n";
  const std::string connection = ConnectionHeader();
  if (!connection.empty()) lines += "Connection: " + connection + "\r\n";
  Output.InsertHeaderLines(lines);
  // HEAD gets the header block GET would get, without the body.
  if (SameText(Method, "HEAD")) Output.DropBody();
}

int TKorviThread::ResponseStatus() const {
  return ResponseStatus(answering_);
}

int TKorviThread::ResponseStatus(bool started) const {
  if (!started) return 0;
  if (!response_built_) return WrittenStatus();
  return StatusLineCode(AnswerStart());
}

std::int64_t TKorviThread::HeaderBlockLength() const {
  if (!answering_) return 0;
  const std::string_view text = AnswerStart();
  const size_t end = text.find("\r\n\r\n");
  return end == std::string_view::npos ? 0 : static_cast<std::int64_t>(end + 4);
}

std::string_view TKorviThread::AnswerStart() const {
  if (!response_built_) return std::string_view(Output.Data(), static_cast<size_t>(OutLength()));
  return std::string_view(BodyStream->Memory(), static_cast<size_t>(BodyStream->Size()));
}

// --- Transmission ------------------------------------------------------------

void TKorviThread::StartDataSend() {
  answering_ = true;
  answer_start_ = Socket->WriteCount();
  NoteMovement(std::chrono::steady_clock::now());
  LifeTimer->SetInterval(static_cast<unsigned>(KorviProgressLook.count()));
  try {
    // An application's answer is the whole response in the body stream
    // (nothing when it is empty). A built-in one is the outgoing text, then
    // the file when there is one; the body stream then still holds the
    // request's body, which never goes back.
    if (response_built_) {
      if (BodyStream->Size() > 0) TransferStream = BodyStream.get();
    } else {
      TransferStream = FileStream.get();
    }
    if (!TransferStream) {
      transfer_size_ = 0;
    } else {
      transfer_size_ = send_end_ >= 0                       ? send_end_
                       : TransferStream == FileStream.get() ? FileStream->OpenedSize()
                                                            : TransferStream->Size();
    }
    // SendPos starts at 0, or where the file's range begins.
    if (Settings().OnResponse)
      Settings().OnResponse(Server->ThreadCount(), OutLength() + transfer_size_ - SendPos);
    stream_pos_ = -1;  // the first chunk sets the position
    // The answer leaves in full segments. An answer that ends the
    // connection is held back until the end of our direction or the close,
    // so the client's close cannot come before ours. A connection that goes
    // on sends without Nagle's wait; there every send but the last of a
    // file on a plain connection (its header; the file's own sendfile lets
    // the last segment go) or of any answer on a TLS connection says that
    // more follows, and any other answer of more than one send is held back
    // until it is handed over.
    const bool joined = FileJoinsText();
    const bool one_send = joined || AnswerInOneSend();
    const bool file_follows = !joined && TransferStream != nullptr &&
                              TransferStream == FileStream.get() && !Socket->UsesTls() &&
                              transfer_size_ > SendPos;
    // An answer that ends a plain connection in one send goes with MSG_MORE:
    // its last segment waits for the end of our direction as a held one
    // would, without switching the socket to holding and back.
    last_send_ahead_ = !keep_connection_ && one_send && !Socket->UsesTls();
    pieces_ahead_ = keep_connection_ && !one_send && (file_follows || Socket->UsesTls());
    segments_held_ = !last_send_ahead_ && !pieces_ahead_ && (!keep_connection_ || !one_send);
    if (segments_held_) Socket->HoldPartialSegments();
    Sending = TransferStream != nullptr;
    if (joined) {
      SendTextWithFile();
    } else if (OutLength() > 0) {
      // The data-sent event of the text sends the first chunk.
      SendAnswerBytes(Output.Data(), OutLength(), !Sending || transfer_size_ <= SendPos);
      ReleaseIfBroken();
    } else {
      OnSocketDataSent(Socket.get(), 0);
    }
  } catch (const std::exception&) {
    Release();
  }
}

bool TKorviThread::FileJoinsText() {
  if (TransferStream == nullptr || TransferStream != FileStream.get() || OutLength() == 0)
    return false;
  const std::int64_t body = transfer_size_ - SendPos;
  return body > 0 && OutLength() + body <= std::min(KorviChunkSize, Socket->SendBlockSize());
}

void TKorviThread::SendTextWithFile() {
  // The text and the file go out in one send: one segment, or one record
  // over TLS. The data-sent event then finds the file sent.
  const int text = OutLength();
  std::memcpy(ChunkBuffer, Output.Data(), static_cast<size_t>(text));
  const auto body =
      static_cast<int>(FileStream->ReadAt(ChunkBuffer + text, transfer_size_ - SendPos, SendPos));
  SendPos += body;
  SendAnswerBytes(ChunkBuffer, text + body, true);
  ReleaseIfBroken();
}

bool TKorviThread::AnswerInOneSend() {
  if (Socket->UsesTls()) return false;
  const std::int64_t body = TransferStream != nullptr ? transfer_size_ - SendPos : 0;
  // The text goes in one send, and the stream's chunks in others.
  if (OutLength() > 0 && body > 0) return false;
  return std::max<std::int64_t>(OutLength(), body) <= KorviChunkSize;
}

const char* TKorviThread::ReadChunk(int& Count) {
  if (TransferStream == FileStream.get()) return ReadFileChunk(Count);
  // The stream stands where the last chunk ended, unless this is the first
  // chunk or a send fell short.
  if (stream_pos_ != SendPos) TransferStream->SetPosition(SendPos);
  Count = static_cast<int>(TransferStream->Read(ChunkBuffer, ChunkLength()));
  stream_pos_ = SendPos + Count;
  return ChunkBuffer;
}

const char* TKorviThread::ReadFileChunk(int& Count) {
  // One read of the file serves the chunks of several data-sent events.
  if (SendPos < ahead_start_ || SendPos >= ahead_start_ + ahead_length_) {
    if (!file_ahead_) file_ahead_ = std::make_unique_for_overwrite<char[]>(KorviFileReadAhead);
    const auto wanted = std::min<std::int64_t>(KorviFileReadAhead, transfer_size_ - SendPos);
    ahead_start_ = SendPos;
    ahead_length_ = static_cast<int>(FileStream->ReadAt(file_ahead_.get(), wanted, SendPos));
  }
  Count = static_cast<int>(
      std::min<std::int64_t>(ChunkLength(), ahead_start_ + ahead_length_ - SendPos));
  return file_ahead_.get() + (SendPos - ahead_start_);
}

int TKorviThread::ChunkLength() const {
  return static_cast<int>(std::min<std::int64_t>(KorviChunkSize, transfer_size_ - SendPos));
}

bool TKorviThread::ReleaseIfBroken() {
  if (Socket->State() == wsConnected) return false;
  Release();
  return true;
}

int TKorviThread::SendChunk() {
  // A file goes from the file system to a plain connection without passing
  // through ChunkBuffer, as much of it as the system takes.
  if (TransferStream == FileStream.get() && !Socket->UsesTls()) {
    const auto rest = std::min<std::int64_t>(transfer_size_ - SendPos, kMostFileBytesPerSend);
    return Socket->SendFileBytesAsTaken(FileStream->Handle(), SendPos, static_cast<int>(rest));
  }
  int count = 0;
  const char* chunk = ReadChunk(count);
  return count > 0 ? SendAnswerBytes(chunk, count, SendPos + count >= transfer_size_) : 0;
}

int TKorviThread::SendAnswerBytes(const char* Data, int Count, bool Last) {
  const bool ahead = last_send_ahead_ || (pieces_ahead_ && !Last);
  return ahead ? Socket->SendAhead(Data, Count) : Socket->Send(Data, Count);
}

void TKorviThread::OnSocketDataSent(TObject* /*Sender*/, std::uint16_t /*Error*/) {
  if (!answering_ || handed_over_) return;
  // Everything queued so far has been handed to the system.
  NoteMovement(std::chrono::steady_clock::now());
  try {
    if (ReleaseIfBroken()) return;
    if (Sending && SendPos < transfer_size_) {
      const int sent = SendChunk();
      // A file cut short while it goes out ends the answer where it ends.
      if (sent != 0) {
        if (sent > 0) SendPos += sent;
        ReleaseIfBroken();
        return;
      }
    }
    AnswerHandedOver();
  } catch (const std::exception&) {
    Release();
  }
}

void TKorviThread::AnswerHandedOver() {
  handed_over_ = true;
  Sending = false;
  // The file is not needed while the connection ends.
  TransferStream = nullptr;
  FileStream.reset();
  file_ahead_.reset();
  ReportResponseDone();
  // Pipelined requests the client sent before it ended its side are still
  // answered.
  if (keep_connection_ && (!peer_closed_ || !ahead_.empty())) {
    // The answer's last segment leaves now, also when a file ended short
    // of what its header announced.
    if (segments_held_ || SendPos < transfer_size_) Socket->SendPartialSegments();
    NextRequest();
    return;
  }
  if (peer_closed_ || NothingMoreCanArrive()) {
    Release();  // the client has nothing more to say: close at once
    return;
  }
  // Closing with unread input would make the system reset the connection
  // and drop what the client has not received yet. So our direction ends
  // here (the client reads to the end of the answer), and what the client
  // still sends is read and dropped until it closes its side or goes quiet.
  Socket->Shutdown(SHUT_WR);
  lingering_ = true;
  linger_start_ = last_arrival_ = std::chrono::steady_clock::now();
  LifeTimer->SetInterval(KorviLingerMs);
}

bool TKorviThread::NothingMoreCanArrive() {
  // A client that sends "Connection: close" sends no further request on the
  // connection.
  return Http11() && request_whole_ && ahead_.empty() && !Socket->UsesTls() &&
         ConnectionOption("close") && Socket->RcvdCount() == 0;
}

void TKorviThread::ReportResponseDone() {
  if (!answering_ || done_reported_) return;
  done_reported_ = true;
  if (Settings().OnResponseDone) {
    Settings().OnResponseDone(Server->ThreadCount(), Socket->WriteCount() - answer_start_);
  }
}

// --- Outgoing text -------------------------------------------------------------

int TKorviThread::WriteString(std::string_view Text) {
  return Output.WriteString(Text);
}

void TKorviThread::WriteStatuss(const std::string& StatusText) {
  Output.WriteStatuss(StatusText);
}

void TKorviThread::WriteStatus(int Code) {
  Output.WriteStatus(Code);
}

void TKorviThread::WriteHeaders(const std::string& Name, const std::string& Value) {
  Output.WriteHeaders(Name, Value);
}

void TKorviThread::WriteHeader(const std::string& Name, std::int64_t Value) {
  Output.WriteHeader(Name, Value);
}

void TKorviThread::WriteFileType() {
  Output.WriteFileType(
      FileMimeType(TargetPath, Settings().OnGetMimeType, Server, Server->MimeTable()));
}

void TKorviThread::WriteError(int Code) {
  WriteErrorPage(Output, Code, Settings().ProductLine);
}

void TKorviThread::SendHTTPError(int Code, std::string& Text) {
  ::korvi::SendHTTPError(Code, Text, Http11());
}

void TKorviThread::doFileList() {
  WriteDirectoryListing(Output, TargetPath, listing_url_.empty() ? URL : listing_url_,
                        Settings().DirectoryMask, Settings().ProductLine,
                        Settings().FollowLinks ? std::string() : target_base_,
                        ListingCaseOf(Http11()));
}

bool TKorviThread::DoListing(const TSearchRec& SearchRecord, const std::string& BaseURL) {
  return WriteListingRow(Output, SearchRecord, BaseURL, ListingCaseOf(Http11()));
}

}  // namespace korvi
