/// \file
/// TDatabaseEngine: one connection to a database, as a query uses it, and the
/// choice of engine by the database name.
///
/// A name that is a PostgreSQL connection URI ("postgresql://..." or
/// "postgres://...") or a libpq key=value connection string ("host=... dbname=...")
/// reaches PostgreSQL; any other name is an SQLite database file, opened
/// without any attempt to reach PostgreSQL.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "korvi/data/data_set.h"
#include "korvi/data/param.h"

namespace korvi {

/// The rows of a statement with result columns.
struct TResultTable {
  /// The column names, in order.
  std::vector<std::string> columns;
  /// The rows, each a value per column.
  std::vector<TRecord> rows;
};

/// One connection to a database, as a query uses it.
class TDatabaseEngine {
 public:
  virtual ~TDatabaseEngine() = default;

  /// Runs the statements of `sql` with their ":name" markers taken from
  /// `params`. Returns the rows of the last statement that has result
  /// columns, or nothing when none has. Raises EDatabaseError with the
  /// engine's message on failure.
  virtual std::optional<TResultTable> Run(std::string_view sql, const TParams& params) = 0;
};

/// True when `name` is a PostgreSQL connection URI or key=value string.
bool IsPostgresName(std::string_view name);

/// Opens a connection to the database `name` on the engine it names. Raises
/// EDatabaseError with the engine's message when it cannot be opened.
std::unique_ptr<TDatabaseEngine> OpenDatabaseEngine(const std::string& name);

}  // namespace korvi
