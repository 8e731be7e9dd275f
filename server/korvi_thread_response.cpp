// TKorviThread, the answering side: offering the request to the actions,
// the built-in answer from the file system (through the target resolver,
// the outgoing text, listings and error pages) and the transmission of the
// answer in 8192-byte chunks, one per data-sent event.
#include <sys/socket.h>

#include <algorithm>

#include "host/exceptions.h"
#include "host/files.h"
#include "host/sysutils.h"
#include "server/directory_listing.h"
#include "server/error_page.h"
#include "server/korvi.h"
#include "server/korvi_thread.h"
#include "server/mime_types.h"
#include "server/target_resolver.h"
#include "socket/ssl_ksocket.h"
#include "web/korvi_request.h"
#include "web/korvi_response.h"

namespace korvi {

namespace {

std::string MessageOf(const std::exception& error) {
  if (const auto* e = dynamic_cast<const Exception*>(&error)) return e->Message();
  return error.what();
}

}  // namespace

void TKorviThread::StartResponse() {
  {
    auto request = std::make_unique<TKorviRequest>(this);
    auto response = std::make_unique<TKorviResponse>(request.get());
    RequestObject = request.get();
    ResponseObject = response.get();
    if (Server->OnBeforeProcess) Server->OnBeforeProcess(this, RequestObject, ResponseObject, this);
    try {
      if (Server->DispatchAction(RequestObject, ResponseObject)) {
        ServeStatic = false;
        ResponseObject->SendResponse();
      }
    } catch (const std::exception& error) {
      ResponseObject->SetContent("EXCEPTION: " + MessageOf(error));
      ServeStatic = false;
      ResponseObject->SendResponse();
    }
    // A handler may send the response itself and still leave the flag
    // false; that response is the answer all the same, transmitted from the
    // body stream like any the application built.
    response_built_ = ResponseObject->Sent();
    if (response_built_) ServeStatic = false;
    if (Server->OnAfterProcess) Server->OnAfterProcess(this, RequestObject, ResponseObject, this);
    RequestObject = nullptr;
    ResponseObject = nullptr;
  }
  if (!response_built_) AnswerBuiltIn();
  StartDataSend();
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
    ServeStatic = true;
    FindTarget(target);
    if (WrittenStatus() == 0 && BodyStream->Size() == 0) WriteError(400);
  } else {
    WriteError(501);
  }
}

bool TKorviThread::FindTarget(std::string& Target) {
  const std::shared_ptr<const TStringList> map = Server->URLMap();
  const TTargetResolver resolver(ThreadRoot, *map, DefaultFileName);
  const TTarget found = resolver.FindTarget(URL, ServeStatic);
  TargetPath = found.Path;
  TargetAttr = found.Attr;
  if (!found.URL.empty()) listing_url_ = found.URL;
  if (found.Error != 0) WriteError(found.Error);
  Target = TargetPath;
  return found.Attr != -1;
}

std::string TKorviThread::StripLast(std::string& Path) {
  return ::korvi::StripLast(Path);
}

bool TKorviThread::CheckDefault() {
  const std::shared_ptr<const TStringList> map = Server->URLMap();
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
    if (Server->DirectoryListing) {
      doFileList();
    } else {
      WriteError(403);
    }
  } else {
    // A file that is gone or cannot be opened gets the 503 page.
    const TDateTime last_write = FileDateTime(TargetPath);
    if (last_write != -1.0) {
      try {
        FileStream = std::make_unique<TFileStream>(TargetPath, fmOpenRead | fmShareDenyWrite);
      } catch (const std::exception&) {
        // No stream: answered below.
      }
    }
    if (!FileStream) {
      WriteError(503);
      return;
    }
    const std::int64_t size = FileStream->Size();
    if (ReqState != REQSTAT_SIMPLE) {
      Output.WriteFileHeaders(FileMimeType(TargetPath, Server->OnGetMimeType, Server), size,
                              last_write);
    }
    if (SameText(Method, "HEAD")) FileStream.reset();
  }
}

// --- Transmission ------------------------------------------------------------

void TKorviThread::StartDataSend() {
  try {
    if (ServeStatic) {
      if (OutLength() == 0) return;  // nothing to say: the life timer ends it
      const std::int64_t file_size = FileStream ? FileStream->Size() : 0;
      if (Server->OnResponse) Server->OnResponse(Server->ThreadCount(), OutLength() + file_size);
      Socket->Send(Output.Data(), OutLength());
      if (FileStream) {
        // The data-sent event of the header text sends the first chunk.
        TransferStream = FileStream.get();
        SendPos = 0;
        Sending = true;
      } else {
        Release();
      }
    } else if (!response_built_ || BodyStream->Size() == 0) {
      // A built-in answer to a request with a query: the outgoing text only
      // (the body stream then still holds the request body).
      if (Server->OnResponse) Server->OnResponse(Server->ThreadCount(), OutLength());
      const int sent = OutLength() > 0 ? Socket->Send(Output.Data(), OutLength()) : 0;
      if (Server->OnResponseDone) Server->OnResponseDone(Server->ThreadCount(), sent);
      Release();
    } else {
      if (Server->OnResponse) Server->OnResponse(Server->ThreadCount(), BodyStream->Size());
      TransferStream = BodyStream.get();
      SendPos = 0;
      Sending = true;
      OnSocketDataSent(Socket.get(), 0);
    }
  } catch (const std::exception&) {
    Release();
  }
}

void TKorviThread::OnSocketDataSent(TObject* /*Sender*/, std::uint16_t /*Error*/) {
  if (refused_) {
    Socket->Shutdown(SHUT_WR);  // the refusal page is out: end our direction
    return;
  }
  if (!Sending) return;
  try {
    const std::int64_t size = TransferStream->Size();
    if (SendPos >= size) {
      Release();
      return;
    }
    TransferStream->SetPosition(SendPos);
    const std::int64_t wanted = std::min<std::int64_t>(KorviChunkSize, size - SendPos);
    const auto count = static_cast<int>(TransferStream->Read(ChunkBuffer, wanted));
    const int sent = Socket->Send(ChunkBuffer, count);
    if (sent > 0) SendPos += sent;
    if (SendPos >= size && Server->OnResponseDone) {
      Server->OnResponseDone(Server->ThreadCount(), size);
    }
  } catch (const std::exception&) {
    Release();
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
  Output.WriteFileType(FileMimeType(TargetPath, Server->OnGetMimeType, Server));
}

void TKorviThread::WriteError(int Code) {
  WriteErrorPage(Output, Code);
}

void TKorviThread::SendHTTPError(int Code, std::string& Text) {
  ::korvi::SendHTTPError(Code, Text);
}

void TKorviThread::doFileList() {
  WriteDirectoryListing(Output, TargetPath, listing_url_.empty() ? URL : listing_url_,
                        Server->DirectoryMask);
}

bool TKorviThread::DoListing(const TSearchRec& SearchRecord, const std::string& BaseURL) {
  return WriteListingRow(Output, SearchRecord, BaseURL);
}

}  // namespace korvi
