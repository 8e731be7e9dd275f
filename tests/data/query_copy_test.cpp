// Numbered working copies of a design-time query, as the server makes them.
#include "korvi/data/query_copy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "korvi/data/data_source.h"
#include "korvi/host/sysutils.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_database.h"

namespace korvi {
namespace {

// Names copies the way the server does: the source's name and a running
// number kept under a lock.
class Copier {
 public:
  std::unique_ptr<TQuery> Dup(const TQuery& source) {
    int number;
    {
      std::lock_guard<std::mutex> lock(lock_);
      number = ++count_;
    }
    return CopyQuery(source, source.Name() + IntToStr(number));
  }

 private:
  std::mutex lock_;
  int count_ = 0;
};

// Copies on each engine, over a table of three people.
class QueryCopyTest : public test::EngineTest {
 protected:
  void SetUp() override {
    test::EngineTest::SetUp();
    if (IsSkipped()) return;
    TQuery setup(nullptr);
    setup.SetDatabaseName(db_);
    setup.SetSQL(
        "create table people(name text, age integer);"
        "insert into people values('ann', 41), ('bob', 17), ('cy', 30);");
    setup.ExecSQL();
  }

  const std::string& db_ = Database();
};
KORVI_INSTANTIATE_FOR_ENGINES(QueryCopyTest);

// Two copies of q are q1 and q2, with the source's settings, SQL, parameter
// types and values, and open state.
TEST_P(QueryCopyTest, CopiesAreNumberedAndComplete) {
  TDataSource master(nullptr);
  TQuery q(nullptr);
  q.SetName("q");
  q.SetDatabaseName(db_);
  q.SetSQL("select name from people where age > :minimum and name <> :skip order by name");
  q.ParamByName("minimum").SetAsInteger(18);
  q.ParamByName("skip").SetDataType(ftMemo);
  q.ParamByName("skip").SetValue(Variant("cy"));
  q.SessionName = "web";
  q.DataSource = &master;
  q.CachedUpdates = q.Constrained = q.RequestLive = q.UniDirectional = true;
  q.UpdateMode = upWhereKeyOnly;
  q.Filter = "age > 20";
  q.Filtered = true;
  q.FilterOptions = foCaseInsensitive;
  q.Open();

  Copier copier;
  auto q1 = copier.Dup(q);
  auto q2 = copier.Dup(q);
  ASSERT_NE(q1, nullptr);
  ASSERT_NE(q2, nullptr);
  EXPECT_EQ(q1->Name(), "q1");
  EXPECT_EQ(q2->Name(), "q2");
  for (TQuery* copy : {q1.get(), q2.get()}) {
    EXPECT_EQ(copy->Owner(), nullptr);
    EXPECT_EQ(copy->SQL(), q.SQL());
    EXPECT_EQ(copy->DatabaseName(), db_);
    EXPECT_EQ(copy->SessionName, "web");
    EXPECT_EQ(copy->DataSource, &master);
    EXPECT_TRUE(copy->CachedUpdates && copy->Constrained && copy->RequestLive &&
                copy->UniDirectional);
    EXPECT_EQ(copy->UpdateMode, upWhereKeyOnly);
    EXPECT_EQ(copy->Filter, "age > 20");
    EXPECT_TRUE(copy->Filtered);
    EXPECT_EQ(copy->FilterOptions, static_cast<TFilterOptions>(foCaseInsensitive));
    ASSERT_EQ(copy->Params().Count(), 2);
    EXPECT_EQ(copy->Params()[0].DataType(), ftInteger);
    EXPECT_EQ(copy->Params()[0].AsString(), "18");
    EXPECT_EQ(copy->Params()[1].DataType(), ftMemo);
    EXPECT_EQ(copy->Params()[1].AsString(), "cy");
    ASSERT_TRUE(copy->Active());
    EXPECT_EQ(copy->RecordCount(), 1);
    EXPECT_EQ(copy->FieldByName("name").AsString(), "ann");
  }
  // The copies walk on their own.
  q1->Next();
  EXPECT_TRUE(q1->Eof());
  EXPECT_FALSE(q2->Eof());
  EXPECT_FALSE(q.Eof());
}

// A closed source gives a closed copy.
TEST_P(QueryCopyTest, ClosedSourceGivesClosedCopy) {
  TQuery q(nullptr);
  q.SetName("qClosed");
  q.SetDatabaseName(db_);
  q.SetSQL("select * from nothing_yet");
  auto copy = CopyQuery(q, "qClosed1");
  ASSERT_NE(copy, nullptr);
  EXPECT_FALSE(copy->Active());
}

// A copy that cannot be opened is no copy: an open query on a private
// in-memory database has tables its copy's new connection lacks.
TEST(QueryCopy, UncopyableQueryGivesNone) {
  TQuery q(nullptr);
  q.SetName("q");
  q.SetDatabaseName(":memory:");
  q.SetSQL("create table t(a)");
  q.ExecSQL();
  q.SetSQL("select a from t");
  q.Open();
  EXPECT_EQ(CopyQuery(q, "q1"), nullptr);
}

// Copies made and walked on several threads at once each see every row.
TEST_P(QueryCopyTest, CopiesWorkOnSeveralThreads) {
  TQuery q(nullptr);
  q.SetName("qPeople");
  q.SetDatabaseName(db_);
  q.SetSQL("select name from people where age >= :age order by name");
  q.ParamByName("age").SetAsInteger(0);
  q.Open();

  Copier copier;
  constexpr int kThreads = 4;
  std::vector<std::string> seen(kThreads);
  std::vector<std::string> names(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 5; ++round) {
        auto copy = copier.Dup(q);
        if (copy == nullptr) return;
        names[t] = copy->Name();
        std::string rows;
        for (copy->Last(); !copy->Bof(); copy->Prior())
          rows += copy->Fields(0)->AsString();
        seen[t] += rows + ";";
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  std::vector<std::string> sorted_names = names;
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(seen[t], "cybobann;cybobann;cybobann;cybobann;cybobann;");
    EXPECT_EQ(names[t].rfind("qPeople", 0), 0u);
  }
  std::sort(sorted_names.begin(), sorted_names.end());
  EXPECT_EQ(std::unique(sorted_names.begin(), sorted_names.end()), sorted_names.end());
}

}  // namespace
}  // namespace korvi
