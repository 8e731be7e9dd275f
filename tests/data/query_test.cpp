// Queries on real SQLite databases: running statements, parameters, value
// mapping, walking results and failures.
#include "data/query.h"

#include <gtest/gtest.h>

#include <string>

#include "data/database_error.h"
#include "support/temp_dir.h"

namespace korvi {
namespace {

class QueryTest : public ::testing::Test {
 protected:
  // Runs `sql` as a statement without result on the test database.
  void Exec(const std::string& sql) {
    TQuery q(nullptr);
    q.SetDatabaseName(db_);
    q.SetSQL(sql);
    q.ExecSQL();
  }
  // A query on the test database, opened on `sql`.
  std::unique_ptr<TQuery> OpenQuery(const std::string& sql) {
    auto q = std::make_unique<TQuery>(nullptr);
    q->SetDatabaseName(db_);
    q->SetSQL(sql);
    q->Open();
    return q;
  }

  test::TempDir dir_;
  std::string db_ = dir_.File("shop.db");
};

// Rows inserted with ExecSQL and parameters are seen by a later Open on
// another connection, in both directions.
TEST_F(QueryTest, ExecSQLInsertsRowsThatOpenSees) {
  Exec("create table orders(id integer primary key, item text)");
  TQuery insert(nullptr);
  insert.SetDatabaseName(db_);
  insert.SetSQL("insert into orders(item) values(:item)");
  for (const char* item : {"apple", "pear", "plum"}) {
    insert.ParamByName("item").SetAsString(item);
    insert.ExecSQL();
  }

  auto q = OpenQuery("select id, item from orders order by id");
  EXPECT_EQ(q->RecordCount(), 3);
  std::string seen;
  for (q->First(); !q->Eof(); q->Next())
    seen += q->FieldByName("item").AsString() + ",";
  for (q->Last(); !q->Bof(); q->Prior())
    seen += q->FieldByName("ID").AsString() + ",";
  EXPECT_EQ(seen, "apple,pear,plum,3,2,1,");
}

// An empty result still names its columns and is at both ends at once.
TEST_F(QueryTest, EmptyResult) {
  Exec("create table t(a, b)");
  auto q = OpenQuery("select a, b from t");
  EXPECT_TRUE(q->Eof());
  EXPECT_TRUE(q->Bof());
  EXPECT_EQ(q->RecordCount(), 0);
  ASSERT_NE(q->FindField("b"), nullptr);
  EXPECT_TRUE(q->FieldByName("a").IsNull());
  EXPECT_EQ(q->FindField("c"), nullptr);
}

// Setting the SQL text rebuilds the parameters and closes the query; values
// of parameters that keep their name survive.
TEST_F(QueryTest, SQLTextRebuildsParams) {
  Exec("create table t(a)");
  auto q = OpenQuery("select a from t where a = :a or a = :b or a = :A");
  ASSERT_EQ(q->Params().Count(), 2);
  EXPECT_EQ(q->Params()[0].Name(), "a");
  EXPECT_EQ(q->Params()[1].Name(), "b");
  q->ParamByName("b").SetAsInteger(3);
  q->SetSQL("select a from t where a > :c and a < :B");
  EXPECT_FALSE(q->Active());
  ASSERT_EQ(q->Params().Count(), 2);
  EXPECT_EQ(q->Params()[0].Name(), "c");
  EXPECT_EQ(q->Params()[1].Name(), "B");
  EXPECT_EQ(q->Params()[1].AsString(), "3");
}

// One parameter named twice, in either case, is bound at every marker.
TEST_F(QueryTest, RepeatedMarkerTakesOneValue) {
  auto q = std::make_unique<TQuery>(nullptr);
  q->SetDatabaseName(db_);
  q->SetSQL("select :x || '-' || :X as twice");
  q->ParamByName("x").SetAsString("ab");
  q->Open();
  EXPECT_EQ(q->FieldByName("twice").AsString(), "ab-ab");
}

// Each typed setter reaches SQLite as the documented storage class and text.
TEST_F(QueryTest, ValuesMapOntoSQLiteTypes) {
  Exec("create table v(n integer, x)");
  TQuery insert(nullptr);
  insert.SetDatabaseName(db_);
  insert.SetSQL("insert into v values(:n, :x)");
  const TDateTime moment = EncodeDate(2024, 2, 29) + EncodeTime(13, 5, 9, 0);
  struct Case {
    void (*set)(TParam&, TDateTime);
    const char* type;
    std::string text;
  };
  const Case cases[] = {
      {[](TParam& p, TDateTime) { p.SetAsString("Ann"); }, "text", "Ann"},
      {[](TParam& p, TDateTime) { p.SetAsSmallInt(-7); }, "integer", "-7"},
      {[](TParam& p, TDateTime) { p.SetAsInteger(123456789); }, "integer", "123456789"},
      {[](TParam& p, TDateTime) { p.SetAsWord(65535); }, "integer", "65535"},
      {[](TParam& p, TDateTime) { p.SetAsBoolean(true); }, "integer", "1"},
      {[](TParam& p, TDateTime) { p.SetAsBoolean(false); }, "integer", "0"},
      {[](TParam& p, TDateTime) { p.SetAsFloat(2.5); }, "real", "2.5"},
      {[](TParam& p, TDateTime) { p.SetAsCurrency(10.12345); }, "real", "10.1235"},
      {[](TParam& p, TDateTime) { p.SetAsBCD(3.25); }, "real", "3.25"},
      {[](TParam& p, TDateTime t) { p.SetAsDate(t); }, "text", "2024-02-29"},
      {[](TParam& p, TDateTime t) { p.SetAsTime(t); }, "text", "13:05:09"},
      {[](TParam& p, TDateTime t) { p.SetAsDateTime(t); }, "text", "2024-02-29 13:05:09"},
      {[](TParam& p, TDateTime) { p.SetAsBlob(std::string("a\0b", 3)); }, "blob",
       std::string("a\0b", 3)},
      {[](TParam& p, TDateTime) {
         p.SetDataType(ftBlob);
         p.SetValue(Variant("raw"));
       },
       "blob", "raw"},
      {[](TParam& p, TDateTime) { p.Clear(); }, "null", ""},
  };
  int n = 0;
  for (const Case& c : cases) {
    insert.ParamByName("n").SetAsInteger(n++);
    c.set(insert.ParamByName("x"), moment);
    insert.ExecSQL();
  }
  auto q = OpenQuery("select typeof(x) as type, x from v order by n");
  ASSERT_EQ(q->RecordCount(), static_cast<int>(std::size(cases)));
  for (const Case& c : cases) {
    EXPECT_EQ(q->FieldByName("type").AsString(), c.type) << c.text;
    EXPECT_EQ(q->FieldByName("x").AsString(), c.text);
    q->Next();
  }
}

// Date-time values stored as text read back as date-times; numbers and
// Booleans read back typed.
TEST_F(QueryTest, FieldsReadBackTyped) {
  auto q = std::make_unique<TQuery>(nullptr);
  q->SetDatabaseName(db_);
  q->SetSQL("select :d as d, datetime('2001-02-03 04:05:06') as s, 7 as i, 0.5 as f, 1 as b");
  const TDateTime moment = EncodeDate(2024, 2, 29) + EncodeTime(13, 5, 9, 0);
  q->ParamByName("d").SetAsDateTime(moment);
  q->Open();
  EXPECT_NEAR(q->FieldByName("d").AsDateTime(), moment, 1e-8);
  EXPECT_NEAR(q->FieldByName("s").AsDateTime(), EncodeDate(2001, 2, 3) + EncodeTime(4, 5, 6, 0),
              1e-8);
  EXPECT_EQ(q->FieldByName("i").AsInteger(), 7);
  EXPECT_EQ(q->FieldByName("f").AsFloat(), 0.5);
  EXPECT_TRUE(q->FieldByName("b").AsBoolean());
}

// Failures carry SQLite's message or name what is wrong, and leave the
// query closed.
TEST_F(QueryTest, FailuresRaise) {
  struct Case {
    const char* sql;
    const char* message;
  };
  const Case cases[] = {
      {"select * from missing_table", "no such table: missing_table"},
      {"create table later(a)", "Query has no result set"},
      {"select ?", "Parameter '?' not found"},
      {"select @who", "Parameter '@who' not found"},
  };
  for (const Case& c : cases) {
    TQuery q(nullptr);
    q.SetDatabaseName(db_);
    q.SetSQL(c.sql);
    try {
      q.Open();
      ADD_FAILURE() << c.sql << " opened";
    } catch (const EDatabaseError& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
    EXPECT_FALSE(q.Active());
  }
  TQuery q(nullptr);
  q.SetDatabaseName(dir_.Path() + "/missing/dir/x.db");
  q.SetSQL("select 1");
  EXPECT_THROW(q.Open(), EDatabaseError);
}

// The database cannot change under an open query.
TEST_F(QueryTest, DatabaseNameFixedWhileOpen) {
  auto q = OpenQuery("select 1 as one");
  EXPECT_THROW(q->SetDatabaseName(dir_.File("other.db")), EDatabaseError);
  q->Close();
  q->SetDatabaseName(dir_.File("other.db"));
  q->Open();
  EXPECT_EQ(q->FieldByName("one").AsInteger(), 1);
}

// A private in-memory database lives as long as the query's connection, so
// statements run one after another see each other's work; several
// statements in one text run in turn.
TEST(QueryMemory, InMemoryDatabaseKeepsItsTables) {
  TQuery q(nullptr);
  q.SetDatabaseName(":memory:");
  q.SetSQL("create table t(a); insert into t values(1); insert into t values(2);");
  q.ExecSQL();
  q.SetSQL("select sum(a) as total from t");
  q.Open();
  EXPECT_EQ(q.FieldByName("total").AsInteger(), 3);
  q.Close();
  q.SetSQL("select count(*) as n from t");
  q.Open();
  EXPECT_EQ(q.FieldByName("n").AsInteger(), 2);
}

// A database locked by another connection is waited for rather than failing
// at once.
TEST_F(QueryTest, BusyDatabaseIsWaitedFor) {
  auto q = OpenQuery("pragma busy_timeout");
  EXPECT_GE(q->Fields(0)->AsInteger(), 1000);
}

}  // namespace
}  // namespace korvi
