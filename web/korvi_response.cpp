// The response object. SendResponse turns the status, the header variables,
// the cookies, the custom headers and the content into the bytes of an
// HTTP/1.0 response (HTTP/1.1 in the server's profile) and leaves them in the
// worker thread's body stream.
//
// String variables and the header each one is written as:
//   0 protocol version (only used for a request that sent none)
//   1 status text of the status line     3 WWW-Authenticate
//   5 Allow    6 Location    7 Content-Encoding    8 Content-type
//   9 Content-Version    10 Derived-From    11 Title    (2, 4: not written)
// Date variables: 1 Expires, 2 Last-Modified (0 is kept but not written).
#include "korvi/web/korvi_response.h"

#include <ctime>
#include <string_view>
#include <vector>

#include "korvi/host/datetime.h"
#include "korvi/host/exceptions.h"
#include "korvi/host/streams.h"
#include "korvi/host/sysutils.h"
#include "korvi/server/http_status.h"
#include "korvi/server/korvi_thread.h"
#include "korvi/web/http_date.h"
#include "korvi/web/http_text.h"
#include "korvi/web/korvi_request.h"

namespace korvi {

namespace {

constexpr int kVersion = 0;
constexpr int kStatusText = 1;
constexpr int kAuthenticate = 3;
constexpr int kAllow = 5;
constexpr int kLocation = 6;
constexpr int kContentEncoding = 7;
constexpr int kContentType = 8;
constexpr int kContentVersion = 9;
constexpr int kDerivedFrom = 10;
constexpr int kTitle = 11;
constexpr int kExpires = 1;
constexpr int kLastModified = 2;
constexpr int kRequestVersion = 1;  // the request's protocol version
constexpr std::int64_t kBlockSize = 8192;
constexpr const char* kConnection = "Connection";

// Appends "name: value" CR LF when `value` is not empty.
void AddHeader(std::string& headers, const char* name, const std::string& value) {
  if (!value.empty()) headers += Format("%s: %s\r\n", {name, HeaderSafe(value)});
}

std::string HeaderDate(TDateTime value) {
  return FormatDateTime("ddd, d mmm yyyy hh:nn:ss \"GMT\"", value);
}

// Copies `from`, from its position to its end, into `to` in 8192-byte blocks.
void CopyInBlocks(TStream& from, TStream& to) {
  std::vector<char> block(kBlockSize);
  for (;;) {
    std::int64_t read = from.Read(block.data(), kBlockSize);
    if (read <= 0) return;
    to.WriteBuffer(block.data(), read);
  }
}

}  // namespace

TKResponse::TKResponse(TKRequest* request) : request_(request), cookies_(this) {}

TKResponse::~TKResponse() = default;

void TKResponse::SetContentStream(TStream* stream) {
  if (stream == content_stream_.get()) return;
  content_stream_.reset(stream);
  if (stream != nullptr) SetIntegerVariable(0, static_cast<std::int32_t>(stream->Size()));
}

void TKResponse::SetCustomHeader(const std::string& name, const std::string& value) {
  custom_headers_.SetValue(name, value);
}

std::string TKResponse::GetCustomHeader(const std::string& name) const {
  return custom_headers_.Values(name);
}

void TKResponse::SetCustomHeaders(const TStringList& headers) {
  custom_headers_.Assign(headers);
}

void TKResponse::AddCustomHeaders(std::string& headers) const {
  headers += HeaderLinesOf(custom_headers_);
}

void TKResponse::SetCookieField(const TStringList& values, const std::string& domain,
                                const std::string& path, TDateTime expires, bool secure) {
  for (int i = 0; i < values.Count(); ++i) {
    TKCookie* cookie = cookies_.Add();
    cookie->Name = values.Names(i);
    cookie->Value = values.Values(cookie->Name);
    cookie->Domain = domain;
    cookie->Path = path;
    cookie->Expires = expires;
    cookie->Secure = secure;
  }
}

TKorviResponse::TKorviResponse(TKorviRequest* request)
    : TKResponse(request),
      korvi_request_(request),
      http11_(request->Thread() != nullptr && request->Thread()->Http11()) {
  if (request->GetStringVariable(kRequestVersion).empty()) {
    string_variables_[kVersion] = "HTTP/1.0";
  }
  SetStatusCode(200);
  string_variables_[kContentType] = "text/html";
}

std::string TKorviResponse::GetStringVariable(int index) {
  if (index < 0 || index >= static_cast<int>(string_variables_.size())) return {};
  return string_variables_[static_cast<std::size_t>(index)];
}

void TKorviResponse::SetStringVariable(int index, const std::string& value) {
  if (index < 0 || index >= static_cast<int>(string_variables_.size())) return;
  string_variables_[static_cast<std::size_t>(index)] = value;
}

TDateTime TKorviResponse::GetDateVariable(int index) {
  if (index < 0 || index >= static_cast<int>(date_variables_.size())) return -1.0;
  return date_variables_[static_cast<std::size_t>(index)];
}

void TKorviResponse::SetDateVariable(int index, TDateTime value) {
  if (index < 0 || index >= static_cast<int>(date_variables_.size())) return;
  date_variables_[static_cast<std::size_t>(index)] = value;
}

std::int32_t TKorviResponse::GetIntegerVariable(int index) {
  return index == 0 ? content_length_ : -1;
}

void TKorviResponse::SetIntegerVariable(int index, std::int32_t value) {
  if (index == 0) content_length_ = value;
}

void TKorviResponse::SetContent(const std::string& value) {
  content_ = value;
  content_length_ = static_cast<std::int32_t>(content_.size());
}

void TKorviResponse::SetContentStream(TStream* stream) {
  if (stream != nullptr) stream->SetPosition(0);
  TKResponse::SetContentStream(stream);
  if (ContentStream() != nullptr) ContentStream()->SetPosition(0);
}

void TKorviResponse::SetStatusCode(std::int32_t code) {
  if (code == status_code_) return;
  status_code_ = code;
  string_variables_[kStatusText] = GetHTTPStatus(code, http11_);
}

void TKorviResponse::SendRedirect(const std::string& uri) {
  string_variables_[kLocation] = uri;
  SetStatusCode(302);
  SetContent("moving you over to new site ...");
  SendResponse();
}

void TKorviResponse::SendStream(TStream& stream) {
  if (ContentStream() == nullptr) SetContentStream(new TMemoryStream());
  CopyInBlocks(stream, *ContentStream());
}

std::string TKorviResponse::GetCookieValue(const std::string& name) const {
  std::string value;
  for (int i = 0; i < Cookies().Count(); ++i) {
    const TKCookie* cookie = Cookies().Items(i);
    if (SameText(cookie->Name, name)) value = cookie->Value;
  }
  return value;
}

std::string TKorviResponse::HeaderText() {
  // A request that named no protocol version is answered in the version
  // of string variable 0 ("HTTP/1.0" unless the application changed it).
  // The profile answers every request that named a version in HTTP/1.1.
  std::string version = korvi_request_->GetStringVariable(kRequestVersion);
  if (version.empty()) {
    version = string_variables_[kVersion];
  } else if (http11_) {
    version = "HTTP/1.1";
  }
  if (version.empty()) return {};

  std::string headers;
  const std::string& status = string_variables_[kStatusText];
  if (!status.empty() && status_code_ > 0) {
    headers = HeaderSafe(Format("%s %s", {version, status})) + "\r\n";
  } else {
    headers = http11_ ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.0 200 OK\r\n";
  }
  if (http11_) headers += "Date: " + FormatHttpDate(std::time(nullptr)) + "\r\n";
  // The server's own "Connection" header replaces a custom one.
  const std::string connection = ConnectionValue(headers);
  AddHeader(headers, "Allow", string_variables_[kAllow]);
  for (int i = 0; i < Cookies().Count(); ++i) {
    AddHeader(headers, "Set-Cookie", Cookies().Items(i)->GetHeaderValue());
  }
  AddHeader(headers, "Derived-From", string_variables_[kDerivedFrom]);
  TDateTime expires = date_variables_[kExpires];
  if (expires > 0) {
    headers += "Expires: " + DateText(expires) + "\r\n";
  } else if (expires == 0) {
    headers += "Expires: 0\r\n";
  }
  if (date_variables_[kLastModified] > 0) {
    headers += "Last-Modified: " + DateText(date_variables_[kLastModified]) + "\r\n";
  }
  AddHeader(headers, "Title", string_variables_[kTitle]);
  AddHeader(headers, "Location", string_variables_[kLocation]);
  AddHeader(headers, "WWW-Authenticate", string_variables_[kAuthenticate]);
  headers += HeaderLinesOf(CustomHeaders(), http11_ || !connection.empty() ? kConnection : "");
  AddHeader(headers, "Content-Version", string_variables_[kContentVersion]);
  AddHeader(headers, "Content-Encoding", string_variables_[kContentEncoding]);
  AddHeader(headers, "Content-type", string_variables_[kContentType]);
  if (!connection.empty()) headers += "Connection: " + connection + "\r\n";
  return headers;
}

std::string TKorviResponse::ConnectionValue(const std::string& status_line) const {
  if (http11_) return korvi_request_->Thread()->ConnectionHeader();
  // Over HTTP/1.0 the server ends the connection after every answer. An
  // HTTP/1.0 status line says so by itself; any other tells the client.
  return status_line.starts_with("HTTP/1.0 ") ? "" : "close";
}

std::string TKorviResponse::DateText(TDateTime value) const {
  // The application's dates are taken as GMT, as the label says.
  return http11_ ? FormatHttpDate(DateTimeToUnix(value)) : HeaderDate(value);
}

void TKorviResponse::SendResponse() {
  std::string headers = HeaderText();
  TStream* stream = ContentStream();
  std::int64_t length = static_cast<std::int64_t>(content_.size());
  if (stream != nullptr) length += stream->Size();
  headers += Format("Content-Length: %d\r\n\r\n", {length});
  WriteOutput(headers);
  sent_ = true;
}

void TKorviResponse::WriteOutput(const std::string& headers) {
  TMemoryStream& out = *korvi_request_->GetBody();
  out.Clear();
  TStream* stream = ContentStream();
  // Nothing to say: not even the header text goes out (in the profile it
  // does, with "Content-Length: 0").
  if (stream == nullptr && content_.empty() && !http11_) return;
  out.WriteBuffer(headers.data(), static_cast<std::int64_t>(headers.size()));
  out.WriteBuffer(content_.data(), static_cast<std::int64_t>(content_.size()));
  if (stream != nullptr) {
    stream->SetPosition(0);
    CopyInBlocks(*stream, out);
    content_length_ = static_cast<std::int32_t>(out.Size());
  } else {
    content_length_ = static_cast<std::int32_t>(content_.size());
  }
}

}  // namespace korvi
