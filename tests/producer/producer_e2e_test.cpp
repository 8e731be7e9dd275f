// End to end: an action on a real TKorvi builds its page with a loop
// producer over an SQLite table, on the connection's worker thread and its
// small stack, and curl receives it. The loops nest as deeply as a producer
// allows.
#include "korvi/producer/loop_producer.h"

#include <gtest/gtest.h>

#include <string>

#include "korvi/server/korvi.h"
#include "korvi/web/action_item.h"
#include "korvi/web/korvi_request.h"
#include "korvi/web/korvi_response.h"
#include "tests/producer/sqlite_tables.h"
#include "tests/support/curl.h"
#include "tests/support/pump.h"

namespace korvi {
namespace {

TEST(ProducerEndToEnd, DeepestNestedLoopPageReachesTheClient) {
  test::SQLiteTables tables;
  tables.Table("fruit", "Name text", {"'apple'", "'pear'"});
  TDataSource* fruit = tables.Source("Fruit", "select * from fruit order by Name");
  // kMaxLoopDepth loops: all but the innermost walk a one-row table.
  tables.Table("one", "Dummy text", {"''"});
  TDataSource* one = tables.Source("One", "select * from one");
  std::string templ;
  for (int i = 1; i < TKorviProducer::kMaxLoopDepth; ++i)
    templ += "<!LOOPL" + std::to_string(i) + "_ DS=One>\r\n";
  templ += "<!LOOPIN DS=Fruit&DIRECTION=REVERSE><li>%Name%</li>\r\n<!ENDLOOPIN>\r\n";
  for (int i = TKorviProducer::kMaxLoopDepth - 1; i >= 1; --i)
    templ += "<!ENDLOOPL" + std::to_string(i) + "_>\r\n";

  TKorvi server(nullptr);
  server.SetPort(0);
  TKActionItem* item = server.Actions()->Add();
  item->SetPathInfo("/fruit");
  item->SetOnAction([&](TObject*, TKorviRequest*, TKorviResponse* response, bool& handled) {
    TKorviProducer producer(nullptr);
    producer.AddDataSource(fruit);
    producer.AddDataSource(one);
    std::string page;
    for (char c : producer.ContentFromString(templ))
      if (c != '\r' && c != '\n') page += c;
    response->SetContent(page);
    handled = true;
  });
  server.StartListening();
  const std::string answer = test::Curl(server.ServerPort(), "/fruit");
  EXPECT_NE(answer.find("\r\n\r\n<li>pear</li><li>apple</li>"), std::string::npos) << answer;
  EXPECT_TRUE(test::PumpUntil([&] { return server.ThreadCount() == 0; }));
}

}  // namespace
}  // namespace korvi
