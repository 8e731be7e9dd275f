/// \file
/// The response object: TKResponse holds the custom headers, the cookies and
/// the content stream; TKorviResponse adds the numbered header variables, the
/// status, the content text and SendResponse, which writes the whole HTTP
/// response into the worker thread's body stream for the thread to send.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "korvi/host/datetime.h"
#include "korvi/host/string_list.h"
#include "korvi/web/cookie.h"

namespace korvi {

class TStream;
class TKRequest;
class TKorviRequest;

/// The response object's interface: custom headers, cookies and the content stream.
class TKResponse : public TObject {
 public:
  /// A response to `request` (not owned) with no headers, cookies or stream.
  explicit TKResponse(TKRequest* request);
  ~TKResponse() override;

  ///@{
  /// String variables 0 to 11 (header values; table in korvi_response.cpp).
  virtual std::string GetStringVariable(int index) = 0;
  virtual void SetStringVariable(int index, const std::string& value) = 0;
  ///@}
  ///@{
  /// Date variables 0 to 2 (1: Expires, 2: Last-Modified; -1.0: none).
  virtual TDateTime GetDateVariable(int index) = 0;
  virtual void SetDateVariable(int index, TDateTime value) = 0;
  ///@}
  ///@{
  /// Integer variable 0: the content length.
  virtual std::int32_t GetIntegerVariable(int index) = 0;
  virtual void SetIntegerVariable(int index, std::int32_t value) = 0;
  ///@}
  ///@{
  /// The content text.
  virtual std::string GetContent() = 0;
  virtual void SetContent(const std::string& value) = 0;
  ///@}
  /// Replaces the content stream by `stream` (nullable), which the response
  /// owns from then on; the old one is freed. Sets the content length.
  virtual void SetContentStream(TStream* stream);
  ///@{
  /// The HTTP status code.
  virtual std::int32_t GetStatusCode() = 0;
  virtual void SetStatusCode(std::int32_t code) = 0;
  ///@}
  /// True once the response has been written.
  virtual bool Sent() { return false; }
  /// Writes the whole response for the thread to transmit.
  virtual void SendResponse() = 0;
  /// Answers with "302 Moved Temporarily" to `uri` and sends.
  virtual void SendRedirect(const std::string& uri) = 0;
  /// Writes the rest of `stream` into the content stream at that stream's
  /// position (sent with the next SendResponse).
  virtual void SendStream(TStream& stream) = 0;

  /// Named accessors of the header variables applications set most; each
  /// reads or writes the variable whose number it names.
  std::string ContentType() { return GetStringVariable(8); }  ///< "Content-type"
  /// Sets "Content-type".
  void SetContentType(const std::string& value) { SetStringVariable(8, value); }
  std::string Location() { return GetStringVariable(6); }  ///< "Location"
  /// Sets "Location".
  void SetLocation(const std::string& value) { SetStringVariable(6, value); }
  std::string ContentEncoding() { return GetStringVariable(7); }  ///< "Content-Encoding"
  /// Sets "Content-Encoding".
  void SetContentEncoding(const std::string& value) { SetStringVariable(7, value); }
  std::string Allow() { return GetStringVariable(5); }  ///< "Allow"
  /// Sets "Allow".
  void SetAllow(const std::string& value) { SetStringVariable(5, value); }
  std::string WWWAuthenticate() { return GetStringVariable(3); }  ///< "WWW-Authenticate"
  /// Sets "WWW-Authenticate".
  void SetWWWAuthenticate(const std::string& value) { SetStringVariable(3, value); }
  std::string Title() { return GetStringVariable(11); }  ///< "Title"
  /// Sets "Title".
  void SetTitle(const std::string& value) { SetStringVariable(11, value); }
  TDateTime Expires() { return GetDateVariable(1); }  ///< "Expires"; -1.0: none, 0: "0"
  /// Sets "Expires".
  void SetExpires(TDateTime value) { SetDateVariable(1, value); }
  TDateTime LastModified() { return GetDateVariable(2); }  ///< "Last-Modified"; -1.0: none
  /// Sets "Last-Modified".
  void SetLastModified(TDateTime value) { SetDateVariable(2, value); }

  /// The content stream (nullptr when none).
  TStream* ContentStream() const { return content_stream_.get(); }
  ///@{
  /// Extra header lines as name=value.
  TStringList& CustomHeaders() { return custom_headers_; }
  const TStringList& CustomHeaders() const { return custom_headers_; }
  ///@}
  ///@{
  /// The cookies to set.
  TKCookieCollection& Cookies() { return cookies_; }
  const TKCookieCollection& Cookies() const { return cookies_; }
  ///@}
  /// The request being answered.
  TKRequest* Request() const { return request_; }

  /// Sets custom header `name` (replacing its line); "" removes it.
  void SetCustomHeader(const std::string& name, const std::string& value);
  /// The value of custom header `name` ("" when none).
  std::string GetCustomHeader(const std::string& name) const;
  /// Replaces the custom headers by a copy of `headers`.
  void SetCustomHeaders(const TStringList& headers);
  /// Appends "name: value" CR LF per custom header to `headers`.
  void AddCustomHeaders(std::string& headers) const;
  /// Adds one cookie per name=value line of `values`, each with the given
  /// domain, path, expiry and secure flag.
  void SetCookieField(const TStringList& values, const std::string& domain, const std::string& path,
                      TDateTime expires, bool secure);

 private:
  TKRequest* request_;
  std::unique_ptr<TStream> content_stream_;
  TStringList custom_headers_;
  TKCookieCollection cookies_;
};

/// The response a worker thread's request gets.
class TKorviResponse : public TKResponse {
 public:
  /// A response to `request` (not owned): status 200, "text/html", no dates.
  explicit TKorviResponse(TKorviRequest* request);

  std::string GetStringVariable(int index) override;
  void SetStringVariable(int index, const std::string& value) override;
  TDateTime GetDateVariable(int index) override;
  void SetDateVariable(int index, TDateTime value) override;
  std::int32_t GetIntegerVariable(int index) override;
  void SetIntegerVariable(int index, std::int32_t value) override;
  std::string GetContent() override { return content_; }
  void SetContent(const std::string& value) override;
  void SetContentStream(TStream* stream) override;
  std::int32_t GetStatusCode() override { return status_code_; }
  void SetStatusCode(std::int32_t code) override;
  bool Sent() override { return sent_; }
  void SendResponse() override;
  void SendRedirect(const std::string& uri) override;
  /// Copies `stream` from its position to its end into the content stream at
  /// its position: after SetContentStream that is its start, after an earlier
  /// SendStream its end (a memory stream is created when there is none).
  void SendStream(TStream& stream) override;

  /// The value of the last cookie named `name` (without regard to case) that
  /// this response sets; "" when none.
  std::string GetCookieValue(const std::string& name) const;

 private:
  /// The status line and the header block up to the content type.
  std::string HeaderText();
  /// Writes the header text and the content into the thread's body stream.
  void WriteOutput(const std::string& headers);
  /// The value of the "Connection" header the answer carries ("": none).
  std::string ConnectionValue(const std::string& status_line) const;
  /// `value` as a header date: labelled GMT, in the IMF-fixdate form in the
  /// HTTP/1.1 profile.
  std::string DateText(TDateTime value) const;

  TKorviRequest* korvi_request_;
  bool http11_;  ///< the server's HTTP/1.1 profile applies
  std::array<std::string, 12> string_variables_;
  std::int32_t content_length_ = 0;
  std::array<TDateTime, 3> date_variables_{-1.0, -1.0, -1.0};
  std::int32_t status_code_ = 0;
  std::string content_;
  bool sent_ = false;
};

}  // namespace korvi
