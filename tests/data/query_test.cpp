// Queries on real databases: running statements, parameters, value mapping,
// walking results and failures, on SQLite and on PostgreSQL.
#include "korvi/data/query.h"

#include <gtest/gtest.h>

#include <string>

#include "korvi/data/database_error.h"
#include "tests/support/expect_message.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_database.h"

namespace korvi {
namespace {

// Runs `sql` as statements without result on `database`.
void Exec(const std::string& database, const std::string& sql) {
  TQuery q(nullptr);
  q.SetDatabaseName(database);
  q.SetSQL(sql);
  q.ExecSQL();
}

// A query on `database`, opened on `sql`.
std::unique_ptr<TQuery> OpenQuery(const std::string& database, const std::string& sql) {
  auto q = std::make_unique<TQuery>(nullptr);
  q->SetDatabaseName(database);
  q->SetSQL(sql);
  q->Open();
  return q;
}

// The engine-independent behaviour, once per engine.
class QueryEngineTest : public test::EngineTest {
 protected:
  void Exec(const std::string& sql) { korvi::Exec(Database(), sql); }
  std::unique_ptr<TQuery> OpenQuery(const std::string& sql) {
    return korvi::OpenQuery(Database(), sql);
  }
};
KORVI_INSTANTIATE_FOR_ENGINES(QueryEngineTest);

// SQLite's own behaviour.
class QueryTest : public ::testing::Test {
 protected:
  void Exec(const std::string& sql) { korvi::Exec(db_, sql); }
  std::unique_ptr<TQuery> OpenQuery(const std::string& sql) { return korvi::OpenQuery(db_, sql); }

  test::TempDir dir_;
  std::string db_ = dir_.File("shop.db");
};

// Rows inserted with ExecSQL and parameters are seen by a later Open on
// another connection, in both directions.
TEST_P(QueryEngineTest, ExecSQLInsertsRowsThatOpenSees) {
  Exec("create table orders(id integer primary key, item text)");
  TQuery insert(nullptr);
  insert.SetDatabaseName(Database());
  insert.SetSQL("insert into orders(id, item) values(:id, :item)");
  int id = 0;
  for (const char* item : {"apple", "pear", "plum"}) {
    insert.ParamByName("id").SetAsInteger(++id);
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
TEST_P(QueryEngineTest, EmptyResult) {
  Exec("create table t(a text, b integer)");
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
TEST_P(QueryEngineTest, SQLTextRebuildsParams) {
  Exec("create table t(a integer)");
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
TEST_P(QueryEngineTest, RepeatedMarkerTakesOneValue) {
  auto q = std::make_unique<TQuery>(nullptr);
  q->SetDatabaseName(Database());
  q->SetSQL("select :x || '-' || :X as twice");
  q->ParamByName("x").SetAsString("ab");
  q->Open();
  EXPECT_EQ(q->FieldByName("twice").AsString(), "ab-ab");
}

// Every typed setter, null and an empty text read back as the same text on
// both engines from columns of the matching type.
TEST_P(QueryEngineTest, ParametersOfEveryTypeReadBackAsTheSameText) {
  Exec(
      "create table v(n integer, i integer, big bigint, f double precision, c numeric(18,4), "
      "t text, b bytea, d date, tm time, ts timestamp, flag boolean)");
  const TDateTime moment = EncodeDate(2024, 2, 29) + EncodeTime(13, 5, 9, 0);
  const TDateTime with_ms = moment + EncodeTime(0, 0, 0, 250);
  struct Case {
    const char* column;
    void (*set)(TParam&, TDateTime, TDateTime);
    std::string text;
  };
  const Case cases[] = {
      {"t", [](TParam& p, TDateTime, TDateTime) { p.SetAsString("it's :x"); }, "it's :x"},
      {"t", [](TParam& p, TDateTime, TDateTime) { p.SetAsString(""); }, ""},
      {"i", [](TParam& p, TDateTime, TDateTime) { p.SetAsString("42"); }, "42"},
      {"i", [](TParam& p, TDateTime, TDateTime) { p.SetAsSmallInt(-7); }, "-7"},
      {"i", [](TParam& p, TDateTime, TDateTime) { p.SetAsInteger(123456789); }, "123456789"},
      {"i", [](TParam& p, TDateTime, TDateTime) { p.SetAsWord(65535); }, "65535"},
      {"i", [](TParam& p, TDateTime, TDateTime) { p.SetAsBoolean(true); }, "1"},
      {"big", [](TParam& p, TDateTime, TDateTime) { p.SetValue(Variant(std::int64_t{1} << 40)); },
       "1099511627776"},
      {"flag", [](TParam& p, TDateTime, TDateTime) { p.SetAsBoolean(true); }, "1"},
      {"flag", [](TParam& p, TDateTime, TDateTime) { p.SetAsBoolean(false); }, "0"},
      {"f", [](TParam& p, TDateTime, TDateTime) { p.SetAsFloat(2.5); }, "2.5"},
      {"f", [](TParam& p, TDateTime, TDateTime) { p.SetAsFloat(0.1); }, "0.1"},
      {"c", [](TParam& p, TDateTime, TDateTime) { p.SetAsCurrency(10.12345); }, "10.1235"},
      {"c", [](TParam& p, TDateTime, TDateTime) { p.SetAsBCD(3.25); }, "3.25"},
      {"d", [](TParam& p, TDateTime t, TDateTime) { p.SetAsDate(t); }, "2024-02-29"},
      {"tm", [](TParam& p, TDateTime t, TDateTime) { p.SetAsTime(t); }, "13:05:09"},
      {"tm", [](TParam& p, TDateTime, TDateTime ms) { p.SetAsTime(ms); }, "13:05:09.250"},
      {"ts", [](TParam& p, TDateTime t, TDateTime) { p.SetAsDateTime(t); }, "2024-02-29 13:05:09"},
      {"ts", [](TParam& p, TDateTime, TDateTime ms) { p.SetAsDateTime(ms); },
       "2024-02-29 13:05:09.250"},
      {"t", [](TParam& p, TDateTime t, TDateTime) { p.SetAsDateTime(t); }, "2024-02-29 13:05:09"},
      {"b", [](TParam& p, TDateTime, TDateTime) { p.SetAsBlob(std::string("a\0b", 3)); },
       std::string("a\0b", 3)},
      {"b",
       [](TParam& p, TDateTime, TDateTime) {
         p.SetDataType(ftBlob);
         p.SetValue(Variant("raw"));
       },
       "raw"},
      {"t", [](TParam& p, TDateTime, TDateTime) { p.Clear(); }, ""},
  };
  int n = 0;
  for (const Case& c : cases) {
    TQuery insert(nullptr);
    insert.SetDatabaseName(Database());
    insert.SetSQL(std::string("insert into v(n, ") + c.column + ") values(:n, :x)");
    insert.ParamByName("n").SetAsInteger(++n);
    c.set(insert.ParamByName("x"), moment, with_ms);
    insert.ExecSQL();
    auto q = OpenQuery(std::string("select ") + c.column +
                       " as x from v where n = " + std::to_string(n));
    ASSERT_EQ(q->RecordCount(), 1);
    EXPECT_EQ(q->FieldByName("x").AsString(), c.text) << c.column << " " << c.text;
  }
  auto nulls = OpenQuery("select t, ts from v where n = " + std::to_string(n));
  EXPECT_TRUE(nulls->FieldByName("t").IsNull());
  EXPECT_TRUE(nulls->FieldByName("ts").IsNull());

  // Typed reads of the same rows.
  auto typed = OpenQuery("select i, big, f, ts from v where n in (5, 8, 12, 19) order by n");
  EXPECT_EQ(typed->FieldByName("i").AsInteger(), 123456789);
  typed->Next();
  EXPECT_EQ(typed->FieldByName("big").AsInteger(), std::int64_t{1} << 40);
  typed->Next();
  EXPECT_EQ(typed->FieldByName("f").AsFloat(), 0.1);
  typed->Next();
  EXPECT_NEAR(typed->FieldByName("ts").AsDateTime(), with_ms, 1e-9);
}

// A failing statement raises the engine's own message and leaves the query
// closed and usable.
TEST_P(QueryEngineTest, FailingStatementRaisesTheEngineMessage) {
  Exec("create table u(id integer primary key)");
  const bool sqlite = Engine() == test::TestEngine::kSQLite;
  struct Case {
    const char* sql;
    std::string message;
  };
  const Case cases[] = {
      {"select * from missing_table",
       sqlite ? "no such table: missing_table" : "relation \"missing_table\" does not exist"},
      {"insert into u values(:id)",
       sqlite ? "UNIQUE constraint failed: u.id"
              : "duplicate key value violates unique constraint \"u_pkey\""},
      {"create table later(a integer)", "Query has no result set"},
  };
  TQuery q(nullptr);
  q.SetDatabaseName(Database());
  q.SetSQL("insert into u values(1)");
  q.ExecSQL();
  for (const Case& c : cases) {
    q.SetSQL(c.sql);
    if (q.Params().Count() > 0) q.ParamByName("id").SetAsInteger(1);
    test::ExpectThrowMessage<EDatabaseError>([&] { q.Open(); }, c.message);
    EXPECT_FALSE(q.Active());
  }
  q.SetSQL("select count(*) as n from u");
  q.Open();
  EXPECT_EQ(q.FieldByName("n").AsInteger(), 1);
}

// A text of several statements runs them in turn; Open shows the rows of the
// last one with a result.
TEST_P(QueryEngineTest, SeveralStatementsRunInTurn) {
  auto q = OpenQuery(
      "create table s(a integer); insert into s values(1); insert into s values(2);"
      "select sum(a) as total from s; insert into s values(4);");
  EXPECT_EQ(q->FieldByName("total").AsInteger(), 3);
  auto count = OpenQuery("select count(*) as n from s");
  EXPECT_EQ(count->FieldByName("n").AsInteger(), 3);
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
