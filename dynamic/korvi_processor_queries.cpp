// TKorviProcessor's database work: the ADDQUERY and DELQUERY directives of a
// page, query parameters set from text, and ProcessQuery for submitted forms.
#include "korvi/dynamic/korvi_processor.h"

#include <climits>
#include <exception>
#include <memory>

#include "korvi/data/data_source.h"
#include "korvi/data/query.h"
#include "korvi/host/datetime.h"
#include "korvi/host/exceptions.h"
#include "korvi/host/string_list.h"
#include "korvi/host/sysutils.h"
#include "korvi/server/korvi.h"
#include "korvi/web/korvi_request.h"

namespace korvi {

namespace {

// The working copy of `component` made by `server`, or nullptr when none
// can be made. Raises when the component is no query.
std::unique_ptr<TQuery> CopyOf(TKorvi* server, TComponent* component, const std::string& name) {
  auto* query = dynamic_cast<TQuery*>(component);
  if (query == nullptr) throw Exception("Component [" + name + "] is not a query");
  if (server == nullptr) return nullptr;
  return std::unique_ptr<TQuery>(server->DupQuery(query));
}

// The message for required field `name` left empty, when no help text
// was given for it.
std::string MissingField(const std::string& name) {
  return "ERROR: Missing Required Field [" + name + "]";
}

}  // namespace

void TKorviProcessor::AddQuery(TKorviProducer* Producer, const TStringList& Params,
                               TPageQueries& Page) {
  const std::string name = Params.Values("Name");
  TComponent* component = Page.FindComponent(name);
  if (component == nullptr) return;
  std::unique_ptr<TQuery> query = CopyOf(Producer->Server, component, name);
  if (query == nullptr) return;
  for (int index = 0; index < query->Params().Count(); ++index) {
    TParam& param = query->Params()[index];
    SetParam(param, ExpandIt(Producer, Producer->Request, Producer->Response,
                             Params.Values(param.Name())));
  }
  query->Open();
  auto source = std::make_unique<TDataSource>(nullptr);
  source->SetDataSet(query.get());
  // A full list leaves the page without the source; both are freed here.
  if (Producer->AddDataSource(source.get())) Page.Adopt(std::move(query), std::move(source));
}

void TKorviProcessor::DelQuery(TKorviProducer* Producer, const TStringList& Params,
                               TPageQueries& Page) {
  std::int32_t number = 0;
  if (!TryStrToInt(Params.Values("DS"), number) || number == INT_MAX) return;
  TDataSource* source = Producer->GetDSByNumber(number);
  if (source == nullptr) return;
  Producer->DelDataSource(number);
  // Sources the caller of ProcessHtmlFile supplied stay the caller's.
  Page.Release(source);
}

bool TKorviProcessor::CheckForField(TKorviRequest* Request, TKorviResponse*, std::string& Message,
                                    const std::string& Name) {
  if (!Request->GetFieldByName(Name).empty()) return true;
  Message = Request->GetFieldByName(Name + "Help");
  if (Message.empty()) Message = MissingField(Name);
  return false;
}

bool TKorviProcessor::GotRequired(TKorviRequest* Request, TKorviResponse* Response,
                                  std::string& Message) {
  std::string list = Request->GetFieldByName("FRequired");
  if (list.empty()) {
    Message = "Internal Error: Unable to get value for FRequired";
    return false;
  }
  for (auto semicolon = list.find(';'); semicolon != std::string::npos;
       semicolon = list.find(';')) {
    if (!CheckForField(Request, Response, Message, list.substr(0, semicolon))) return false;
    list.erase(0, semicolon + 1);
  }
  return CheckForField(Request, Response, Message, list);
}

void TKorviProcessor::SetParam(TParam& Param, const std::string& Value) {
  if (Value.empty() || Value == "0") {
    try {
      Param.SetAsString("");
    } catch (const Exception&) {
    }
    return;
  }
  switch (Param.DataType()) {
    case ftString:
    case ftMemo:
      Param.SetAsString(Value);
      break;
    case ftSmallint:
      Param.SetAsSmallInt(StrToIntDef(Value, 0));
      break;
    case ftInteger:
      Param.SetAsInteger(StrToIntDef(Value, 0));
      break;
    case ftWord:
      Param.SetAsWord(StrToIntDef(Value, 0));
      break;
    case ftBoolean:
      Param.SetAsBoolean(Value[0] == 'T' || Value[0] == 't');
      break;
    case ftFloat:
      Param.SetAsFloat(StrToFloat(Value));
      break;
    case ftCurrency:
      Param.SetAsCurrency(StrToFloat(Value));
      break;
    case ftBCD:
      Param.SetAsBCD(StrToFloat(Value));
      break;
    case ftDate:
      Param.SetAsDate(StrToDate(Value));
      break;
    case ftTime:
      Param.SetAsTime(StrToTime(Value));
      break;
    case ftDateTime:
      Param.SetAsDateTime(StrToDateTime(Value));
      break;
    case ftBlob:
      Param.SetValue(Variant(Value));
      break;
    default:
      throw Exception("Unmatched parameter type for [" + Param.Name() + "]");
  }
}

bool TKorviProcessor::ProcessQuery(TKorvi* Server, TKorviRequest* Request, TKorviResponse* Response,
                                   const TDataModules& DataModules, std::string& Message) {
  if (!GotRequired(Request, Response, Message)) return false;
  const std::string name = Request->GetFieldByName("FQuery");
  if (name.empty()) {
    Message = "Internal Error: Unable to get value for FQuery";
    return false;
  }
  return RunQuery(Server, Request, Response, DataModules, name, Message);
}

bool TKorviProcessor::ProcessQuery(TKorvi* Server, TKorviRequest* Request, TKorviResponse* Response,
                                   const TDataModules& DataModules, const TFormQuery& Form,
                                   std::string& Message) {
  for (const TFormQuery::TRequiredField& field : Form.Required) {
    if (!Request->GetFieldByName(field.Name).empty()) continue;
    Message = field.Help.empty() ? MissingField(field.Name) : field.Help;
    return false;
  }
  return RunQuery(Server, Request, Response, DataModules, Form.Query, Message);
}

bool TKorviProcessor::RunQuery(TKorvi* Server, TKorviRequest* Request, TKorviResponse* Response,
                               const TDataModules& DataModules, const std::string& Name,
                               std::string& Message) {
  TComponent* component = FindInDataModules(DataModules, Name);
  if (component == nullptr) {
    Message = "Internal Error: Unable to find query [" + Name + "] in datamodules";
    return false;
  }
  try {
    std::unique_ptr<TQuery> query = CopyOf(Server, component, Name);
    if (query == nullptr) {
      Message = "Internal Error: Unable to copy query [" + Name + "]";
      return false;
    }
    for (int index = 0; index < query->Params().Count(); ++index) {
      TParam& param = query->Params()[index];
      std::string text = param.AsString();
      if (text.empty()) text = LowerCase(param.Name());
      SetParam(param, ExpandIt(nullptr, Request, Response, text));
    }
    query->ExecSQL();
    return true;
  } catch (const std::exception& e) {
    Message = std::string("ERROR: ") + e.what();
    return false;
  }
}

}  // namespace korvi
