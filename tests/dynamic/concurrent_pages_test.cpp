// Requests served at the same time by one processor, each with its own data
// module and parameters, get their own rows only.
#include "korvi/dynamic/korvi_processor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "korvi/data/query.h"
#include "korvi/web/korvi_request.h"
#include "tests/dynamic/page_fixture.h"
#include "tests/support/loopback_client.h"
#include "tests/support/pump.h"

namespace korvi {
namespace {

constexpr int kClients = 6;
constexpr int kRequestsPerClient = 4;

class ConcurrentPagesTest : public test::PageTest {
 protected:
  ConcurrentPagesTest() {
    // Two databases, one per module; each lists two rows per person. ("0"
    // would bind as an empty text, so people are numbered from 1.)
    for (const char* letter : {"a", "b"}) {
      db_ = dir_.File(std::string(letter) + ".db");  // where Exec and AddQuery work
      Exec("create table tags(who text, tag text)");
      for (int who = 1; who <= kClients; ++who)
        for (int row = 1; row <= 2; ++row)
          Exec("insert into tags values('" + std::to_string(who) + "', '" + letter +
               std::to_string(who) + "-" + std::to_string(row) + "')");
      TDataModule& module = *letter == 'a' ? module_ : other_;
      AddQuery(module, "qTags", "select tag from tags where who = :who order by tag",
               {{ftString, ""}});
    }
    const std::string page = WritePage("tags.htm",
                                       "<#q Action=ADDQUERY Name=qTags who=^who>\n"
                                       "<!LOOP DS=1>row:%tag%;\n<!ENDLOOP>\n");
    SetHandler([this, page](TKorviRequest& request, TKorviResponse& response) {
      TDataModule* module = request.GetFieldByName("m") == "a" ? &module_ : &other_;
      processor_.ProcessHtmlFile(&server_, &request, &response, page, {}, {module});
    });
  }

  TDataModule other_{nullptr};
};

// The number of times `part` occurs in `text`.
int Count(const std::string& text, const std::string& part) {
  int count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

TEST_F(ConcurrentPagesTest, EachRequestSeesItsOwnModuleAndRows) {
  std::vector<std::string> failures(kClients);
  std::atomic<int> finished{0};
  std::vector<std::thread> clients;
  for (int who = 1; who <= kClients; ++who) {
    clients.emplace_back([&, who] {
      for (int round = 0; round < kRequestsPerClient; ++round) {
        const std::string letter = (who + round) % 2 == 0 ? "a" : "b";
        const std::string mine = letter + std::to_string(who);
        test::LoopbackClient client(server_.ServerPort());
        client.Send("GET /?m=" + letter + "&who=" + std::to_string(who) + " HTTP/1.0\r\n\r\n");
        std::string answer;
        client.ReadBlocking(answer, std::string::npos, 10000);
        if (Count(answer, "row:") != 2 || Count(answer, "row:" + mine + "-1;") != 1 ||
            Count(answer, "row:" + mine + "-2;") != 1)
          failures[who - 1] += "round " + std::to_string(round) + ":\n" + answer + "\n";
      }
      ++finished;
    });
  }
  // The server accepts on this thread.
  const bool done = test::PumpUntil([&] { return finished == kClients; }, 60000);
  for (std::thread& client : clients)
    client.join();
  ASSERT_TRUE(done);
  ASSERT_TRUE(test::PumpUntil([&] { return server_.ThreadCount() == 0; }));
  for (int who = 0; who < kClients; ++who)
    EXPECT_EQ(failures[who], "") << "client " << who;
}

}  // namespace
}  // namespace korvi
