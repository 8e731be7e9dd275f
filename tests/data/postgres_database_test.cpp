// The PostgreSQL engine's own behaviour on the test server: markers sent as
// server-side parameters, result types, failures and a dropped connection.
#include "korvi/data/postgres_database.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "korvi/data/database_error.h"
#include "korvi/data/query.h"
#include "tests/support/expect_message.h"
#include "tests/support/test_database.h"

namespace korvi {
namespace {

class PostgresDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!database_.Available()) GTEST_SKIP() << "KORVI_TEST_POSTGRES is not set";
    query_.SetDatabaseName(database_.Name());
  }
  // The message `sql` fails with when opened (empty when it opens).
  std::string OpenFailure(const std::string& sql) {
    query_.SetSQL(sql);
    try {
      query_.Open();
    } catch (const EDatabaseError& e) {
      return e.Message();
    }
    return "";
  }

  test::TestDatabase database_{test::TestEngine::kPostgres};
  TQuery query_{nullptr};
};

// Values never become SQL text: quotes and markers in a value, casts,
// quoted and dollar-quoted ":n" all stay what they are.
TEST_F(PostgresDatabaseTest, MarkersAreServerSideParameters) {
  query_.SetSQL("select :n::text || ':n' || $$:n$$ as t, :s as s, :S || '' as again");
  ASSERT_EQ(query_.Params().Count(), 2);
  query_.ParamByName("n").SetAsInteger(5);
  query_.ParamByName("s").SetAsString("'); drop table x; --");
  query_.Open();
  EXPECT_EQ(query_.FieldByName("t").AsString(), "5:n:n");
  EXPECT_EQ(query_.FieldByName("s").AsString(), "'); drop table x; --");
  EXPECT_EQ(query_.FieldByName("again").AsString(), "'); drop table x; --");
}

// Result types read back in the forms the SQLite engine gives.
TEST_F(PostgresDatabaseTest, ResultTypesReadAsOnSQLite) {
  query_.SetSQL(
      "set time zone 'UTC';"
      "select true as yes, false as no, 2.50::numeric as part, 10::numeric as whole,"
      " 1.5::real as r, 7::int2 as small, 'x'::varchar as v,"
      " timestamptz '2024-02-29 13:05:09.5+00' as tz, time '13:05:09.123456' as tm,"
      " timestamp 'infinity' as inf, decode('00ff', 'hex') as bytes");
  query_.Open();
  const std::pair<const char*, std::string> expected[] = {
      {"yes", "1"},
      {"no", "0"},
      {"part", "2.5"},
      {"whole", "10"},
      {"r", "1.5"},
      {"small", "7"},
      {"v", "x"},
      {"tz", "2024-02-29 13:05:09.500"},
      {"tm", "13:05:09.123"},
      {"inf", "infinity"},
      {"bytes", std::string("\0\xff", 2)},
  };
  for (const auto& [field, text] : expected)
    EXPECT_EQ(query_.FieldByName(field).AsString(), text) << field;
  EXPECT_EQ(query_.FieldByName("whole").Value().VarType(), TVarType::varInteger);
}

// What the engine refuses, with a message that says why; the connection
// stays usable after each.
TEST_F(PostgresDatabaseTest, RefusalsNameTheirReason) {
  query_.SetSQL("select 1 as a; select :x as b");
  query_.ParamByName("x").SetAsInteger(1);
  EXPECT_EQ(OpenFailure(query_.SQL()), "cannot insert multiple commands into a prepared statement");
  query_.SetSQL("select :x as t");
  query_.ParamByName("x").SetAsString(std::string("a\0b", 3));
  test::ExpectThrowMessage<EDatabaseError>([&] { query_.Open(); },
                                           "Parameter 'x' holds a zero byte: declare it binary");
  EXPECT_EQ(OpenFailure("copy (select 1) to stdout"),
            "COPY from or to the client is not supported");
  EXPECT_EQ(OpenFailure("create temporary table c(a integer); copy c from stdin"),
            "COPY from or to the client is not supported");
  EXPECT_EQ(OpenFailure("select 2 as two"), "");
  EXPECT_EQ(query_.FieldByName("two").AsInteger(), 2);
}

// A session the server ended fails its statement; the next statement runs
// on a new connection.
TEST_F(PostgresDatabaseTest, DroppedConnectionIsOpenedAgain) {
  EXPECT_NE(OpenFailure("select pg_terminate_backend(pg_backend_pid())"), "");
  EXPECT_EQ(OpenFailure("select 3 as three"), "");
  EXPECT_EQ(query_.FieldByName("three").AsInteger(), 3);
}

// A connection a query let go of serves the next query on the same database,
// without what the first one left in its session.
TEST_F(PostgresDatabaseTest, ReleasedConnectionIsReusedWithAFreshSession) {
  auto first = std::make_unique<TQuery>(nullptr);
  first->SetDatabaseName(database_.Name());
  first->SetSQL(
      "create temporary table scratch(a integer); set time zone 'Asia/Tokyo';"
      "select pg_backend_pid() as pid");
  first->Open();
  const std::string pid = first->FieldByName("pid").AsString();
  first.reset();
  EXPECT_EQ(OpenFailure("select pg_backend_pid() as pid, to_regclass('scratch') as scratch,"
                        " current_setting('TimeZone') = 'Asia/Tokyo' as tokyo,"
                        " current_setting('DateStyle') as style"),
            "");
  EXPECT_EQ(query_.FieldByName("pid").AsString(), pid);
  EXPECT_TRUE(query_.FieldByName("scratch").IsNull());
  EXPECT_EQ(query_.FieldByName("tokyo").AsString(), "0");
  EXPECT_EQ(query_.FieldByName("style").AsString(), "ISO, YMD");
}

// A server that cannot be reached fails with libpq's message.
TEST(PostgresDatabase, UnreachableServerRaises) {
  TQuery query(nullptr);
  query.SetDatabaseName("host=/nonexistent-korvi-dir port=5 dbname=x connect_timeout=5");
  query.SetSQL("select 1");
  try {
    query.Open();
    ADD_FAILURE() << "connected";
  } catch (const EDatabaseError& e) {
    EXPECT_NE(e.Message().find("/nonexistent-korvi-dir/.s.PGSQL.5"), std::string::npos)
        << e.Message();
  }
}

}  // namespace
}  // namespace korvi
