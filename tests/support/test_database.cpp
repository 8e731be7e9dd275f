// Test databases on SQLite and PostgreSQL: creating and dropping them.
#include "tests/support/test_database.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "korvi/data/query.h"

namespace korvi::test {

namespace {

void Exec(const std::string& database, const std::string& sql) {
  TQuery query(nullptr);
  query.SetDatabaseName(database);
  query.SetSQL(sql);
  query.ExecSQL();
}

// `connection` with `schema` as the only schema its tables go to.
std::string WithSearchPath(const std::string& connection, const std::string& schema) {
  if (connection.starts_with("postgres")) {
    const char separator = connection.find('?') == std::string::npos ? '?' : '&';
    return connection + separator + "options=-c%20search_path%3D" + schema;
  }
  return connection + " options='-c search_path=" + schema + "'";
}

}  // namespace

std::string EngineName(TestEngine engine) {
  return engine == TestEngine::kSQLite ? "SQLite" : "PostgreSQL";
}

std::string TestServerConnection() {
  const char* connection = std::getenv("KORVI_TEST_POSTGRES");
  return connection != nullptr ? connection : "";
}

TestDatabase::TestDatabase(TestEngine engine) {
  if (engine == TestEngine::kSQLite) {
    name_ = dir_.File("test.db");
    return;
  }
  const std::string server = TestServerConnection();
  if (server.empty()) return;
  // Test programs run side by side on one server: a schema per process and
  // database keeps their tables apart.
  static std::atomic<int> count{0};
  schema_ = "korvi_test_" + std::to_string(getpid()) + "_" + std::to_string(++count);
  Exec(server, "create schema " + schema_);
  name_ = WithSearchPath(server, schema_);
}

TestDatabase::~TestDatabase() {
  if (schema_.empty()) return;
  try {
    Exec(TestServerConnection(), "drop schema " + schema_ + " cascade");
  } catch (const std::exception&) {
    // The server went away: its temporary cluster goes with it.
  }
}

void EngineTest::SetUp() {
  if (!database_.Available()) {
    GTEST_SKIP() << "KORVI_TEST_POSTGRES is not set: PostgreSQL variant skipped "
                    "(tools/with-postgres.sh runs a command with a test server)";
  }
}

}  // namespace korvi::test
