// ReceivedRequest: builds the intake's state on an unstarted worker thread.
#include "tests/web/received_request.h"

#include "korvi/host/streams.h"
#include "korvi/host/sysutils.h"
#include "korvi/web/http_text.h"

namespace korvi::test {

ReceivedRequest::ReceivedRequest(const std::string& method, const std::string& target,
                                 const std::string& protocol,
                                 std::initializer_list<std::pair<std::string, std::string>> headers,
                                 const std::string& body)
    : thread_(std::make_unique<TKorviThread>(-1)) {
  TKorviThread& t = *thread_;
  t.Method = method;
  t.Protocol = protocol;
  std::size_t question = target.find('?');
  t.URL = HTTPDecode(target.substr(0, question));
  if (question != std::string::npos) t.Query = target.substr(question + 1);
  t.HeaderLines.Add("remote-address=127.0.0.1");
  for (const auto& [name, value] : headers)
    t.HeaderLines.Add(LowerCase(name) + "=" + value);
  t.BodyStream->WriteBuffer(body.data(), static_cast<std::int64_t>(body.size()));
  t.ReqState = REQSTAT_DONE;
}

ReceivedRequest::~ReceivedRequest() = default;

TKorviRequest& ReceivedRequest::Request() {
  if (!request_) request_ = std::make_unique<TKorviRequest>(thread_.get());
  return *request_;
}

std::string ReceivedRequest::Body() const {
  TMemoryStream& body = *thread_->BodyStream;
  return std::string(body.Memory(), static_cast<std::size_t>(body.Size()));
}

}  // namespace korvi::test
