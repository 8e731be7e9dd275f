// The request object. TKRequest builds the query, content and cookie field
// lists on first use; TKorviRequest answers the numbered variables from the
// worker thread's request line, header lines and body.
#include "korvi/web/korvi_request.h"

#include <sys/mman.h>

#include <algorithm>

#include "korvi/host/exceptions.h"
#include "korvi/host/streams.h"
#include "korvi/host/sysutils.h"
#include "korvi/server/korvi_thread.h"
#include "korvi/web/http_text.h"
#include "korvi/web/multipart_form.h"

namespace korvi {

const char* const arHTTPHeader[MaxRequestVariable + 1] = {
    "0",
    "1",
    "2",
    "3",
    "4",
    "5",
    "Cache-Control",
    "Date",
    "Accept",
    "From",
    "Host",
    "If-Modified-Since",
    "Referer",
    "User-Agent",
    "Content-Encoding",
    "Content-Type",
    "Content-Length",
    "Content-Version",
    "Derived-From",
    "Expires",
    "Title",
    "Remote-Address",
    "Remote-Host",
    "Executable-Path",
    "Server-Port",
    "Content",
    "Connection",
    "Cookie",
    "Authorization",
};

namespace {

// Variable numbers the field lists and the multipart test read.
constexpr int kQueryVariable = 3;
constexpr int kContentTypeVariable = 15;
constexpr int kContentLengthVariable = 16;
constexpr int kContentVariable = 25;
constexpr int kCookieVariable = 27;

// `text` as a decimal 32-bit number, or -1 when it is none.
std::int32_t DecimalOrMinusOne(const std::string& text) {
  std::int32_t value = -1;
  if (text.find_first_not_of(" +-0123456789") != std::string::npos) return -1;
  return TryStrToInt(text, value) ? value : -1;
}

// The name a GetFieldValue key is compared with: the upper-cased text in
// front of the first "=", from the last blank before it (blank included).
std::string FieldKey(const std::string& line) {
  std::size_t eq = line.find('=');
  if (eq == std::string::npos || eq == 0) return {};
  std::size_t from = eq - 1;
  while (from > 0 && line[from] != ' ')
    --from;
  return UpperCase(line.substr(from, eq - from));
}

// Looks `key` up in `fields` by FieldKey; true and `value` set on a match.
bool FindField(const TStringList& fields, const std::string& key, std::string& value) {
  for (int i = 0; i < fields.Count(); ++i) {
    const std::string& line = fields[i];
    if (FieldKey(line) != key) continue;
    std::size_t eq = line.find('=');
    value = eq == std::string::npos ? line : line.substr(eq + 1);
    return true;
  }
  return false;
}

// A file's bytes mapped read-only for as long as it lives.
class TMappedFile {
 public:
  TMappedFile(int fd, std::size_t size) : size_(size) {
    if (size_ == 0) return;
    void* address = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    if (address == MAP_FAILED) throw EStreamError("Stream read error");
    address_ = address;
  }
  ~TMappedFile() {
    if (address_ != nullptr) ::munmap(address_, size_);
  }
  TMappedFile(const TMappedFile&) = delete;
  TMappedFile& operator=(const TMappedFile&) = delete;
  std::string_view View() const {
    if (address_ == nullptr) return {};
    return {static_cast<const char*>(address_), size_};
  }

 private:
  void* address_ = nullptr;
  std::size_t size_;
};

}  // namespace

TKRequest::~TKRequest() = default;

void TKRequest::InitMethodType() {
  std::string method = GetStringVariable(0);
  if (SameText(method, "GET")) {
    method_type_ = mtGet;
  } else if (SameText(method, "PUT")) {
    method_type_ = mtPut;
  } else if (SameText(method, "POST")) {
    method_type_ = mtPost;
  } else if (SameText(method, "HEAD")) {
    method_type_ = mtHead;
  }
}

TStringList& TKRequest::LazyList(std::unique_ptr<TStringList>& list,
                                 void (TKRequest::*fill)(TStringList&)) {
  if (!list) {
    list = std::make_unique<TStringList>();
    (this->*fill)(*list);
  }
  return *list;
}

TStringList& TKRequest::GetContentFields() {
  return LazyList(content_fields_, &TKRequest::ExtractContentFields);
}

TStringList& TKRequest::GetCookieFields() {
  return LazyList(cookie_fields_, &TKRequest::ExtractCookieFields);
}

TStringList& TKRequest::GetQueryFields() {
  return LazyList(query_fields_, &TKRequest::ExtractQueryFields);
}

void TKRequest::ExtractFields(const TCharSet& separators, const TCharSet& blanks,
                              const std::string& content, TStringList& fields) {
  ExtractHTTPFields(separators, blanks, content, fields);
}

void TKRequest::ExtractContentFields(TStringList& fields) {
  std::int32_t announced = GetIntegerVariable(kContentLengthVariable);
  if (announced <= 0) return;
  // The content variable holds the whole body as received, so nothing is
  // read on through ReadClient (which starts at the body's first byte and
  // would repeat it).
  ExtractFields({'&'}, {}, GetStringVariable(kContentVariable), fields);
}

void TKRequest::ExtractCookieFields(TStringList& fields) {
  ExtractHeaderFields({';'}, {' '}, GetStringVariable(kCookieVariable), fields, false);
}

void TKRequest::ExtractQueryFields(TStringList& fields) {
  ExtractFields({'&'}, {}, GetStringVariable(kQueryVariable), fields);
}

TKorviRequest::TKorviRequest(TKorviThread* thread) : thread_(thread) {
  InitMethodType();
}

TKorviRequest::~TKorviRequest() = default;

std::string TKorviRequest::GetStringVariable(int index) {
  switch (index) {
    case 0:
      return thread_->Method;
    case 1:
      return thread_->Protocol;
    case 2:
    case 4:
      return thread_->URL;
    case 3:
      return thread_->Query;
    case 5:
      return {};
    case kContentVariable:
      return BodyText();
    default:
      if (index < 0 || index > MaxRequestVariable) return {};
      return HeaderValue(arHTTPHeader[index]);
  }
}

TDateTime TKorviRequest::GetDateVariable(int index) {
  std::string text = GetStringVariable(index);
  return text.empty() ? -1.0 : ParseDate(text);
}

std::int32_t TKorviRequest::GetIntegerVariable(int index) {
  return DecimalOrMinusOne(GetStringVariable(index));
}

std::int32_t TKorviRequest::ReadClient(void* buffer, std::int32_t count) {
  TStream& body = Body();
  if (count <= 0) return 0;
  body.Seek(read_pos_, TSeekOrigin::soBeginning);
  auto read = static_cast<std::int32_t>(body.Read(buffer, count));
  read_pos_ += read;
  return read;
}

std::string TKorviRequest::ReadString(std::int32_t count) {
  // Never allocate beyond what the body still holds.
  std::int64_t left = Body().Size() - read_pos_;
  count = static_cast<std::int32_t>(std::min<std::int64_t>(count, left));
  if (count <= 0) return {};
  std::string text(static_cast<std::size_t>(count), '\0');
  std::int32_t read = ReadClient(text.data(), count);
  if (read <= 0) return {};
  text.resize(static_cast<std::size_t>(read));
  return text;
}

std::string TKorviRequest::TranslateURI(const std::string& uri) {
  std::string path = uri;
  return thread_->URLtoPath(path) ? path : std::string();
}

std::int32_t TKorviRequest::WriteClient(const void* buffer, std::int32_t count) {
  return thread_->WriteClient(buffer, count);
}

bool TKorviRequest::WriteString(const std::string& text) {
  auto length = static_cast<std::int32_t>(text.size());
  return WriteClient(text.data(), length) == length;
}

std::string TKorviRequest::GetFieldByName(const std::string& name) {
  return GetFormField(name, "");
}

void TKorviRequest::Synchronize(const std::function<void()>& method) {
  thread_->Synchronize(method);
}

std::string TKorviRequest::GetFieldValue(const std::string& name, const std::string& fallback) {
  std::string result = fallback;
  const std::string key = UpperCase(name);
  try {
    if (!FindField(GetQueryFields(), key, result)) FindField(GetContentFields(), key, result);
  } catch (const Exception&) {
    // A malformed escape while building a list: the default (or a match
    // made before the error) stands.
  }
  return result;
}

std::string TKorviRequest::GetFormField(const std::string& name, const std::string& fallback) {
  std::string key = LowerCase(name);
  if (!IsMultiPart()) return GetFieldValue(key, fallback);
  EnsureMultiPart();
  return form_fields_->Values(key);
}

TMemoryStream* TKorviRequest::GetBody() {
  if (!thread_->BodyStream) thread_->BodyStream = std::make_unique<TMemoryStream>();
  return thread_->BodyStream.get();
}

void TKorviRequest::ProcessMultiPartForm() {
  form_fields_ = std::make_unique<TStringList>();
  file_ranges_ = std::make_unique<TStringList>();
  file_names_ = std::make_unique<TStringList>();
  UseWholeBody([this](std::string_view bytes) {
    ParseMultiPartForm(bytes, *form_fields_, *file_ranges_, *file_names_);
  });
  multi_part_processed_ = true;
}

std::string TKorviRequest::GetFileName(const std::string& name) {
  if (!IsMultiPart()) return {};
  EnsureMultiPart();
  return file_names_->Values(name);
}

std::unique_ptr<TMemoryStream> TKorviRequest::GetFileField(const std::string& name) {
  const std::string range = FileRange(name);
  if (range.empty()) return nullptr;
  return CopyFormPart(Body(), range);
}

std::unique_ptr<TStream> TKorviRequest::GetFileStream(const std::string& name) {
  if (!thread_->BodySpool) {
    std::unique_ptr<TMemoryStream> part = GetFileField(name);
    if (part) part->SetPosition(0);
    return part;
  }
  std::int64_t start = 0;
  std::int64_t end = 0;
  if (!FormPartRange(FileRange(name), Body().Size(), start, end)) return nullptr;
  return std::make_unique<TRangeStream>(thread_->BodySpool, start, end);
}

std::string TKorviRequest::FileRange(const std::string& name) {
  if (!IsMultiPart()) return {};
  EnsureMultiPart();
  return file_ranges_->Values(name);
}

bool TKorviRequest::IsMultiPart() {
  return UpperCase(GetStringVariable(kContentTypeVariable)).find("MULTI") != std::string::npos;
}

void TKorviRequest::EnsureMultiPart() {
  if (!multi_part_processed_) ProcessMultiPartForm();
}

std::string TKorviRequest::BodyText() {
  // The whole body: a zero byte inside it is kept like any other byte.
  std::string text;
  UseWholeBody([&text](std::string_view bytes) { text = bytes; });
  return text;
}

TStream& TKorviRequest::Body() {
  GetBody();
  return thread_->RequestBody();
}

void TKorviRequest::UseWholeBody(const std::function<void(std::string_view)>& use) {
  const std::shared_ptr<TFileStream> spool = thread_->BodySpool;
  if (spool) {
    const TMappedFile mapped(spool->Handle(), static_cast<std::size_t>(spool->Size()));
    use(mapped.View());
    return;
  }
  TMemoryStream* body = GetBody();
  use(std::string_view(body->Memory(), static_cast<std::size_t>(body->Size())));
}

std::string TKorviRequest::HeaderValue(const char* name) const {
  return thread_->HeaderLines.Values(name);
}

}  // namespace korvi
