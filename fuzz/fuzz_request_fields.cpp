// Fuzz target for the request object's fields: header lines go through the
// worker's own line parsing, then the request object reads every variable,
// the query, content and cookie fields, form fields of an URL-encoded or
// multipart body and the header dates; the response copies the cookies back
// and writes itself out. Input: method, URL, query lines, header lines up
// to an empty line, then the body.
#include "korvi/web/korvi_request.h"

#include "fuzz_check.h"
#include "korvi/host/exceptions.h"
#include "korvi/host/streams.h"
#include "korvi/server/korvi_thread.h"
#include "korvi/web/korvi_response.h"

using korvi::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvi::fuzz::TFuzzInput input(data, size);
  // A worker that is never started: only its request fields are used.
  korvi::TKorviThread thread(-1);
  thread.Method = input.Line();
  thread.URL = input.Line();
  thread.Query = input.Line();
  thread.ReqState = korvi::REQSTAT_HEADER;
  for (std::string line = input.Line(); !line.empty(); line = input.Line()) {
    thread.LineBuffer = line;
    thread.ProcessLine();
  }
  const std::string_view body = input.Rest();
  thread.BodyStream->WriteBuffer(body.data(), static_cast<std::int64_t>(body.size()));
  thread.ContentLength = static_cast<std::int64_t>(body.size());
  thread.ReqState = korvi::REQSTAT_DONE;

  korvi::TKorviRequest request(&thread);
  for (int index = 0; index <= korvi::MaxRequestVariable + 1; ++index) {
    request.GetStringVariable(index);
    request.GetIntegerVariable(index);
    try {
      request.GetDateVariable(index);
    } catch (const korvi::EConvertError&) {
    }
  }
  const korvi::TStringList& cookies = request.GetCookieFields();
  for (int i = 0; i < cookies.Count(); ++i)
    Check(!cookies[i].empty(), "no cookie field is empty");
  for (auto list : {&korvi::TKRequest::GetQueryFields, &korvi::TKRequest::GetContentFields}) {
    try {
      (request.*list)();
    } catch (const korvi::EConvertError&) {
    }
  }
  request.GetFieldValue("a", "fallback");
  request.GetFormField("f", "");
  request.GetFileName("f");
  request.GetFileField("f");
  Check(request.ReadString(static_cast<std::int32_t>(body.size()) + 1) == body,
        "the body reads back whole");

  korvi::TKorviResponse response(&request);
  response.SetCookieField(cookies, "example.org", "/", -1.0, false);
  response.SetContent(request.GetStringVariable(2));
  response.SendResponse();
  Check(response.Sent(), "a response once sent says so");
  return 0;
}
