// Choosing the engine by the database name.
#include "korvi/data/database_engine.h"

#include <gtest/gtest.h>

#include "korvi/data/sqlite_database.h"
#include "tests/support/temp_dir.h"

namespace korvi {
namespace {

TEST(DatabaseEngine, PostgresNamesAreURIsAndConnectionStrings) {
  struct Case {
    const char* name;
    bool postgres;
  };
  const Case cases[] = {
      {"postgresql://korvi@db.example/shop", true},
      {"postgres:///shop?host=/run/postgresql", true},
      {"host=/run/postgresql dbname=shop", true},
      {"dbname = 'my shop' user=korvi", true},
      {"shop.db", false},
      {":memory:", false},
      {"", false},
      {"file:shop.db?mode=ro", false},
      {"/var/data/a=b.db", false},
      {"colour=blue", false},
      {"host=", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(IsPostgresName(c.name), c.postgres) << c.name;
}

// Any other name is an SQLite file, opened (and created) as before.
TEST(DatabaseEngine, OtherNamesOpenSQLite) {
  test::TempDir dir;
  for (const std::string& name :
       {dir.File("a=b.db"), dir.File("shop.db"), std::string(":memory:")}) {
    const std::unique_ptr<TDatabaseEngine> engine = OpenDatabaseEngine(name);
    EXPECT_NE(dynamic_cast<TSQLiteDatabase*>(engine.get()), nullptr) << name;
  }
  EXPECT_EQ(test::ReadFile(dir.File("shop.db")), "");
}

}  // namespace
}  // namespace korvi
