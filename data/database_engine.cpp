// Choosing the engine of a database name and opening its connection.
#include "korvi/data/database_engine.h"

#include <libpq-fe.h>

#include "korvi/data/postgres_database.h"
#include "korvi/data/sqlite_database.h"

namespace korvi {

bool IsPostgresName(std::string_view name) {
  if (name.starts_with("postgresql://") || name.starts_with("postgres://")) return true;
  // A key=value string names at least one setting; libpq's own parser says
  // whether every word is a setting it knows. It connects to nothing.
  if (name.find('=') == std::string_view::npos) return false;
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(std::string(name).c_str(), &error);
  const bool known = options != nullptr;
  PQfreemem(error);
  PQconninfoFree(options);
  return known;
}

std::unique_ptr<TDatabaseEngine> OpenDatabaseEngine(const std::string& name) {
  if (IsPostgresName(name)) return std::make_unique<TPostgresDatabase>(name);
  return std::make_unique<TSQLiteDatabase>(name);
}

}  // namespace korvi
