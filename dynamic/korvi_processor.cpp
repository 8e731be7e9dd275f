// TKorviProcessor: one page per call through a loop producer of its own,
// request-aware entries, marked references, the tag handler and the footer.
#include "korvi/dynamic/korvi_processor.h"

#include <climits>
#include <exception>

#include "korvi/data/data_set.h"
#include "korvi/data/data_source.h"
#include "korvi/host/datetime.h"
#include "korvi/host/exceptions.h"
#include "korvi/host/string_list.h"
#include "korvi/host/sysutils.h"
#include "korvi/server/error_page.h"
#include "korvi/web/http_text.h"
#include "korvi/web/korvi_request.h"
#include "korvi/web/korvi_response.h"

namespace korvi {

namespace {

// Longest name part a marked reference reads.
constexpr std::size_t kMaxReferenceName = 255;
// Request variable holding the "Host" header; response variable holding the
// content type.
constexpr int kHostVariable = 10;
constexpr int kContentTypeVariable = 8;

// `text` from the request, made safe to stand in page text or in a quoted
// attribute value.
std::string RequestTextForPage(const std::string& text) {
  const std::string escaped = HTMLEscape(text);
  std::string result;
  result.reserve(escaped.size());
  for (char c : escaped) {
    if (c == '\'')
      result += "&#39;";
    else
      result += c;
  }
  return result;
}

// The field named `field` in the data set of `source`, or nullptr.
TField* SourceField(TDataSource* source, const std::string& field) {
  if (source == nullptr || source->DataSet() == nullptr) return nullptr;
  return source->DataSet()->FindField(field);
}

// "#n.field" or "#.field": a field of data source n, or of the highest-
// numbered source that has it. Errors of the data layer give nothing.
std::string DataSetReference(TKorviProducer* producer, const std::string& name) {
  if (producer == nullptr) return "";
  const auto dot = name.find('.');
  const std::string field =
      dot == std::string::npos ? name : name.substr(dot + 1, kMaxReferenceName);
  std::int32_t number = 0;
  const std::string number_text = dot == std::string::npos ? "" : name.substr(1, dot - 1);
  const bool numbered = TryStrToInt(number_text, number) && number != INT_MAX;
  try {
    TField* found = nullptr;
    if (numbered)
      found = SourceField(producer->GetDSByNumber(number), field);
    else
      for (int index = producer->TotalDS(); index >= 1 && found == nullptr; --index)
        found = SourceField(producer->GetDSByNumber(index), field);
    if (found != nullptr) return found->AsString();
  } catch (const Exception&) {
  }
  return "";
}

}  // namespace

TKorviProcessor::TKorviProcessor(TComponent* Owner) : TComponent(Owner) {}

std::string TKorviProcessor::DefaultFooter() {
  return std::string("<br><center>Produced by the Korvi web server") +
         ", a small HTTP server embedded in applications: <a href=\"" + KorviProductAddress +
         "\">" + KorviProductAddress + "</a></center>";
}

void TKorviProcessor::ProcessHtmlFile(TKorvi* Server, TKorviRequest* Request,
                                      TKorviResponse* Response, const std::string& FileName,
                                      const std::vector<TDataSource*>& DataSources,
                                      const TDataModules& DataModules) {
  try {
    // Declared first, so the queries the page opened outlive the producer
    // that shows them.
    TPageQueries page(DataModules);
    // The producer has no owner: calls on one processor may run at the same
    // time, and each frees its own.
    TKorviProducer producer(nullptr);
    producer.OnEntryField = [this](TObject* Sender, const std::string& Name,
                                   std::string& ReplaceStr, bool& Handled) {
      KP1EntryField(Sender, Name, ReplaceStr, Handled);
    };
    producer.OnHTMLTag = [this, &page](TObject* Sender, TTag Tag, const std::string& TagString,
                                       TStringList& TagParams, std::string& ReplaceText) {
      KP1HTMLTag(Sender, Tag, TagString, TagParams, ReplaceText, page);
    };
    producer.SetHTMLFile(FileName);
    for (TDataSource* source : DataSources)
      producer.AddDataSource(source);
    producer.Server = Server;
    producer.Request = Request;
    producer.Response = Response;
    producer.ListMode = false;
    producer.EscapeFieldValues = EscapeFieldValues;
    Response->SetContent(producer.Content() + Footer);
  } catch (const std::exception& e) {
    Response->SetStringVariable(kContentTypeVariable, "text/html");
    Response->SetContent(std::string("ERROR: ") + e.what());
  }
}

void TKorviProcessor::KP1EntryField(TObject* Sender, const std::string& Name,
                                    std::string& ReplaceStr, bool& Handled) {
  ReplaceStr.clear();
  Handled = true;
  auto* producer = dynamic_cast<TKorviProducer*>(Sender);
  TKorviRequest* request = producer != nullptr ? producer->Request : nullptr;
  TKorviResponse* response = producer != nullptr ? producer->Response : nullptr;
  const std::string name = LowerCase(Name);

  ReplaceStr = ExpandIt(producer, request, response, name);
  if (!ReplaceStr.empty()) {
    if (name[0] == '^') ReplaceStr = RequestTextForPage(ReplaceStr);
    if (name[0] == '#' && EscapeFieldValues) ReplaceStr = HTMLEscape(ReplaceStr);
    return;
  }
  if (HandleHTTPFields && request != nullptr) {
    ReplaceStr = RequestTextForPage(request->GetFieldByName(HTTPFieldPrefix + name));
    if (!ReplaceStr.empty()) return;
  }
  if (OnEntry) {
    OnEntry(producer, request, response, name, ReplaceStr, Handled);
    if (Handled) return;
  }
  Handled = true;
  if (name == "request.host")
    ReplaceStr = request != nullptr ? RequestTextForPage(request->GetStringVariable(kHostVariable))
                                    : std::string();
  else if (name == "date")
    ReplaceStr = DateToStr(Date());
  else if (name == "time")
    ReplaceStr = TimeToStr(Time());
  else if (name == "datetime")
    ReplaceStr = DateTimeToStr(Now());
  else
    Handled = false;
}

void TKorviProcessor::KP1HTMLTag(TObject* Sender, TTag Tag, const std::string& TagString,
                                 TStringList& TagParams, std::string& ReplaceText,
                                 TPageQueries& Page) {
  auto* producer = dynamic_cast<TKorviProducer*>(Sender);
  if (HandleQueryTags && Tag == tgCustom && producer != nullptr) {
    const std::string action = UpperCase(TagParams.Values("Action"));
    if (action == "ADDQUERY" || action == "DELQUERY") {
      if (action == "ADDQUERY")
        AddQuery(producer, TagParams, Page);
      else
        DelQuery(producer, TagParams, Page);
      ReplaceText.clear();
      return;
    }
  }
  if (OnHTMLTag)
    OnHTMLTag(producer, producer != nullptr ? producer->Request : nullptr,
              producer != nullptr ? producer->Response : nullptr, Tag, TagString, TagParams,
              ReplaceText);
}

std::string TKorviProcessor::ExpandIt(TKorviProducer* Producer, TKorviRequest* Request,
                                      TKorviResponse* Response, const std::string& Name) {
  if (Name.empty()) return "";
  switch (Name[0]) {
    case '#':
      return DataSetReference(Producer, Name);
    case '&': {
      std::string result;
      bool handled = false;
      if (OnEntry)
        OnEntry(Producer, Request, Response, Name.substr(1, kMaxReferenceName), result, handled);
      return handled ? result : Name;
    }
    case '^':
      if (!HandleHTTPFields || Request == nullptr) return "";
      return Request->GetFieldByName(HTTPFieldPrefix + Name.substr(1, kMaxReferenceName));
    default:
      return "";
  }
}

}  // namespace korvi
