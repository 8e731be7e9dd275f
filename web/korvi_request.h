/// \file
/// The request object handed to actions, producers and events: TKRequest
/// defines the numbered request variables, the method type and the lazily
/// built query, content and cookie field lists; TKorviRequest reads them
/// from the worker thread that received the request.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "korvi/host/datetime.h"
#include "korvi/host/object.h"
#include "korvi/host/string_list.h"

namespace korvi {

class TCharSet;
class TMemoryStream;
class TStream;
class TKorviThread;

/// The request method, from the method word of the request line.
enum TMethodType : std::uint8_t { mtAny, mtGet, mtPut, mtPost, mtHead };

/// Highest request variable number (the variables are numbered 0 to 28).
constexpr int MaxRequestVariable = 28;
/// Per variable number: "0" to "5" for the request-line variables, else the
/// name of the header that the variable reads.
extern const char* const arHTTPHeader[MaxRequestVariable + 1];

/// The request object's interface: request variables and field lists.
class TKRequest : public TObject {
 public:
  TKRequest() = default;
  ~TKRequest() override;

  /// Text of variable `index` (0 to 28; any other index gives "").
  virtual std::string GetStringVariable(int index) = 0;
  /// Variable `index` as a date (-1.0 when empty).
  virtual TDateTime GetDateVariable(int index) = 0;
  /// Variable `index` as an integer (-1 when empty or not a number).
  virtual std::int32_t GetIntegerVariable(int index) = 0;
  /// Reads up to `count` body bytes into `buffer`; returns the number read.
  virtual std::int32_t ReadClient(void* buffer, std::int32_t count) = 0;
  /// Reads up to `count` body bytes as text.
  virtual std::string ReadString(std::int32_t count) = 0;
  /// The file-system path that `uri` maps to as target resolution maps it,
  /// never outside the root or a mapped directory ("" when it maps to none).
  virtual std::string TranslateURI(const std::string& uri) = 0;
  /// Writes `count` bytes straight to the client; returns the number written.
  virtual std::int32_t WriteClient(const void* buffer, std::int32_t count) = 0;
  /// Writes `text` straight to the client; true when all of it went.
  virtual bool WriteString(const std::string& text) = 0;
  /// The query or form field `name`, "" when absent.
  virtual std::string GetFieldByName(const std::string& name) = 0;

  /// Named readers of the request variables applications use most; each
  /// reads the variable whose number it names.
  std::string Method() { return GetStringVariable(0); }            ///< method word, as sent
  std::string ProtocolVersion() { return GetStringVariable(1); }   ///< "HTTP/1.1"; "" for none
  std::string URL() { return GetStringVariable(2); }               ///< decoded path
  std::string Query() { return GetStringVariable(3); }             ///< text after "?", raw
  std::string PathInfo() { return GetStringVariable(4); }          ///< decoded path
  std::string CacheControl() { return GetStringVariable(6); }      ///< "Cache-Control"
  TDateTime Date() { return GetDateVariable(7); }                  ///< "Date"; -1.0 when absent
  std::string Accept() { return GetStringVariable(8); }            ///< "Accept"
  std::string From() { return GetStringVariable(9); }              ///< "From"
  std::string Host() { return GetStringVariable(10); }             ///< "Host"
  TDateTime IfModifiedSince() { return GetDateVariable(11); }      ///< -1.0 when absent
  std::string Referer() { return GetStringVariable(12); }          ///< "Referer"
  std::string UserAgent() { return GetStringVariable(13); }        ///< "User-Agent"
  std::string ContentEncoding() { return GetStringVariable(14); }  ///< "Content-Encoding"
  std::string ContentType() { return GetStringVariable(15); }      ///< "Content-Type"
  std::int32_t ContentLength() { return GetIntegerVariable(16); }  ///< -1 when absent
  std::string RemoteAddr() { return GetStringVariable(21); }       ///< client's dotted address
  std::string Content() { return GetStringVariable(25); }          ///< the body as text
  std::string Connection() { return GetStringVariable(26); }       ///< "Connection"
  std::string Cookie() { return GetStringVariable(27); }           ///< "Cookie", as sent
  std::string Authorization() { return GetStringVariable(28); }    ///< "Authorization"

  /// The request method.
  TMethodType MethodType() const { return method_type_; }
  /// The fields of an URL-encoded body (built on first use; a decode error
  /// is passed on and leaves the list as far as it got).
  TStringList& GetContentFields();
  /// The pairs of the "Cookie" header, as sent (not decoded).
  TStringList& GetCookieFields();
  /// The fields of the query string, decoded.
  TStringList& GetQueryFields();

  /// ExtractHTTPFields (decoding) of `content` into `fields`.
  void ExtractFields(const TCharSet& separators, const TCharSet& blanks, const std::string& content,
                     TStringList& fields);
  ///@{
  /// Fill `fields` with the content, cookie and query fields.
  void ExtractContentFields(TStringList& fields);
  void ExtractCookieFields(TStringList& fields);
  void ExtractQueryFields(TStringList& fields);
  ///@}

 protected:
  /// Sets MethodType from variable 0; the concrete class calls it once its
  /// variables can be read.
  void InitMethodType();

 private:
  /// Returns `list`, creating it and filling it with `fill` the first time.
  TStringList& LazyList(std::unique_ptr<TStringList>& list, void (TKRequest::*fill)(TStringList&));
  TMethodType method_type_ = mtAny;
  std::unique_ptr<TStringList> content_fields_;
  std::unique_ptr<TStringList> cookie_fields_;
  std::unique_ptr<TStringList> query_fields_;
};

/// The request a worker thread received.
class TKorviRequest : public TKRequest {
 public:
  /// A request read from `thread` (not owned), which must outlive it.
  explicit TKorviRequest(TKorviThread* thread);
  ~TKorviRequest() override;

  std::string GetStringVariable(int index) override;
  TDateTime GetDateVariable(int index) override;
  std::int32_t GetIntegerVariable(int index) override;
  std::int32_t ReadClient(void* buffer, std::int32_t count) override;
  std::string ReadString(std::int32_t count) override;
  std::string TranslateURI(const std::string& uri) override;
  std::int32_t WriteClient(const void* buffer, std::int32_t count) override;
  bool WriteString(const std::string& text) override;
  std::string GetFieldByName(const std::string& name) override;
  /// Runs `method` on the application's main thread; returns when it has run.
  virtual void Synchronize(const std::function<void()>& method);

  /// The query field `name`, else the content field `name` (names without
  /// regard to case, first occurrence wins), else `fallback`; never raises.
  std::string GetFieldValue(const std::string& name, const std::string& fallback);
  /// The multipart form field `name` ("" when absent) for a multipart body,
  /// else GetFieldValue(name, fallback).
  std::string GetFormField(const std::string& name, const std::string& fallback);
  /// The worker thread's body stream, created empty when the thread has
  /// none: the request body when it is no longer than the server's
  /// MaxBodyInMemory (a longer one, kept in a temporary file, is read through
  /// ReadClient, Content, the fields and GetFileStream); later the response.
  TMemoryStream* GetBody();
  /// The worker thread that received the request.
  TKorviThread* Thread() const { return thread_; }

  /// Parses a multipart body into FormFields, FileRanges and FileNames.
  void ProcessMultiPartForm();
  /// True once ProcessMultiPartForm has run.
  bool MultiPartProcessed() const { return multi_part_processed_; }
  /// The file name sent with part `name` ("" when none or not multipart).
  std::string GetFileName(const std::string& name);
  /// A new stream (positioned at its end) with the bytes of part `name`, or
  /// nullptr when the body is not multipart or has no such part.
  std::unique_ptr<TMemoryStream> GetFileField(const std::string& name);
  /// The bytes of part `name` as a read-only stream positioned at its start,
  /// nullptr as for GetFileField. For a body kept in a temporary file the
  /// stream reads from that file (which it keeps for as long as it lives)
  /// instead of copying the part into memory.
  std::unique_ptr<TStream> GetFileStream(const std::string& name);
  ///@{
  /// The multipart lists (nullptr until the parse has run).
  const TStringList* FormFields() const { return form_fields_.get(); }
  const TStringList* FileRanges() const { return file_ranges_.get(); }
  const TStringList* FileNames() const { return file_names_.get(); }
  ///@}

 private:
  /// True when the "Content-Type" header announces a multipart body.
  bool IsMultiPart();
  /// Runs the multipart parse unless it has run.
  void EnsureMultiPart();
  /// Variable 25: the whole body, zero bytes included.
  std::string BodyText();
  /// The request body as received, from memory or its temporary file.
  TStream& Body();
  /// Runs `use` over the whole body's bytes (a body in a temporary file is
  /// mapped into memory meanwhile, not copied).
  void UseWholeBody(const std::function<void(std::string_view)>& use);
  /// The "start,end" range of part `name` in the body ("" when none).
  std::string FileRange(const std::string& name);
  /// A header value by name from the thread's header lines.
  std::string HeaderValue(const char* name) const;

  TKorviThread* thread_;
  std::unique_ptr<TStringList> form_fields_;
  std::unique_ptr<TStringList> file_ranges_;
  std::unique_ptr<TStringList> file_names_;
  std::int32_t read_pos_ = 0;
  bool multi_part_processed_ = false;
};

}  // namespace korvi
