// Databases for tests that run on both engines: an SQLite file in a
// temporary directory, or a schema of its own on the PostgreSQL server that
// KORVI_TEST_POSTGRES names (tools/with-postgres.sh starts one and sets it;
// tools/test.sh runs the suite that way). Without the variable the
// PostgreSQL variants are skipped.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/support/temp_dir.h"

namespace korvi::test {

enum class TestEngine { kSQLite, kPostgres };

// "SQLite" or "PostgreSQL".
std::string EngineName(TestEngine engine);

// The connection string of the test server (KORVI_TEST_POSTGRES), empty when
// no server was given.
std::string TestServerConnection();

class TestDatabase {
 public:
  // A new, empty database on `engine` (none when the engine has no server).
  explicit TestDatabase(TestEngine engine);
  // Removes the database with everything in it.
  ~TestDatabase();
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  // False for PostgreSQL without a server.
  bool Available() const { return !name_.empty(); }
  // The database name a query is given.
  const std::string& Name() const { return name_; }

 private:
  TempDir dir_;
  std::string name_;
  std::string schema_;
};

// A test fixture over both engines, skipping the PostgreSQL variant when no
// server was given. Instantiate with KORVI_INSTANTIATE_FOR_ENGINES(Fixture).
class EngineTest : public ::testing::TestWithParam<TestEngine> {
 protected:
  void SetUp() override;
  // The engine of this variant.
  TestEngine Engine() const { return GetParam(); }
  // The test's own database.
  const std::string& Database() const { return database_.Name(); }

 private:
  TestDatabase database_{GetParam()};
};

}  // namespace korvi::test

#define KORVI_INSTANTIATE_FOR_ENGINES(Fixture)                                                     \
  INSTANTIATE_TEST_SUITE_P(                                                                        \
      Engines, Fixture,                                                                            \
      ::testing::Values(::korvi::test::TestEngine::kSQLite, ::korvi::test::TestEngine::kPostgres), \
      [](const ::testing::TestParamInfo<::korvi::test::TestEngine>& info) {                        \
        return ::korvi::test::EngineName(info.param);                                              \
      })
