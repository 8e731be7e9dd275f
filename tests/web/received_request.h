// ReceivedRequest: a worker thread that is never started, holding a request
// in the state the intake leaves it in (request-line parts, lower-cased
// header lines after the client's address, the body), so that request and
// response objects can be exercised without a connection.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

#include "korvi/server/korvi_thread.h"
#include "korvi/web/korvi_request.h"

namespace korvi::test {

class ReceivedRequest {
 public:
  // `target` is split at its first "?" into the decoded path and the raw
  // query, as the intake does; `headers` are (name, value) pairs as sent.
  ReceivedRequest(const std::string& method, const std::string& target, const std::string& protocol,
                  std::initializer_list<std::pair<std::string, std::string>> headers = {},
                  const std::string& body = "");
  ~ReceivedRequest();

  TKorviThread& Thread() { return *thread_; }
  // The request object over the thread (created on first use).
  TKorviRequest& Request();
  // The bytes now in the thread's body stream.
  std::string Body() const;

 private:
  std::unique_ptr<TKorviThread> thread_;
  std::unique_ptr<TKorviRequest> request_;
};

}  // namespace korvi::test
