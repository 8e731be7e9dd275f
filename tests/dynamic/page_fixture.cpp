// The page test fixture: server, processor, database and data module.
#include "tests/dynamic/page_fixture.h"

#include "korvi/data/query.h"
#include "korvi/web/action_item.h"
#include "korvi/web/korvi_request.h"
#include "korvi/web/korvi_response.h"
#include "tests/support/loopback_client.h"
#include "tests/support/pump.h"

namespace korvi::test {

PageTest::PageTest() : db_(dir_.File("pages.db")) {
  server_.SetRoot(dir_.Path());
  server_.SetPort(FreePort());
  TKActionItem* action = server_.Actions()->Add();
  action->SetPathInfo("/");
  action->SetOnAction(
      [this](TObject*, TKorviRequest* request, TKorviResponse* response, bool& handled) {
        handler_(*request, *response);
        handled = true;
      });
  server_.StartListening();
}

void PageTest::ServePage(const std::string& file, const std::vector<TDataSource*>& sources) {
  SetHandler([this, file, sources](TKorviRequest& request, TKorviResponse& response) {
    processor_.ProcessHtmlFile(&server_, &request, &response, file, sources, {&module_});
  });
}

std::string PageTest::Answer(const std::string& target, const std::string& headers) {
  LoopbackClient client(server_.ServerPort());
  client.Send("GET " + target + " HTTP/1.0\r\n" + headers + "\r\n");
  std::string answer = client.ReadAll(10000);
  EXPECT_TRUE(client.PeerClosed()) << target;
  // The thread's end orders its reads before the test's next change.
  EXPECT_TRUE(PumpUntil([&] { return server_.ThreadCount() == 0; }));
  return answer;
}

std::string PageTest::Body(const std::string& target, const std::string& headers) {
  const std::string answer = Answer(target, headers);
  const auto end = answer.find("\r\n\r\n");
  return end == std::string::npos ? "" : answer.substr(end + 4);
}

void PageTest::Exec(const std::string& sql) {
  TQuery query(nullptr);
  query.SetDatabaseName(db_);
  query.SetSQL(sql);
  query.ExecSQL();
}

std::string PageTest::Rows(const std::string& sql) {
  TQuery query(nullptr);
  query.SetDatabaseName(db_);
  query.SetSQL(sql);
  query.Open();
  std::string rows;
  for (query.First(); !query.Eof(); query.Next()) {
    for (int field = 0; field < query.FieldCount(); ++field)
      rows += (field > 0 ? "," : "") + query.Fields(field)->AsString();
    rows += ";";
  }
  return rows;
}

TQuery* PageTest::AddQuery(TDataModule& module, const std::string& name, const std::string& sql,
                           const std::vector<ParamSetting>& params) {
  auto* query = new TQuery(&module);
  query->SetName(name);
  query->SetDatabaseName(db_);
  query->SetSQL(sql);
  for (size_t index = 0; index < params.size(); ++index) {
    TParam& param = query->Params()[static_cast<int>(index)];
    param.SetDataType(params[index].type);
    param.SetValue(Variant(params[index].value));
  }
  return query;
}

std::string PageTest::WritePage(const std::string& name, const std::string& text) {
  return dir_.Write(name, text);
}

}  // namespace korvi::test
