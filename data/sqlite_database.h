// TSQLiteDatabase: the SQLite engine: one connection, owned by one query and
// used by one thread at a time, and the mapping of parameter values onto
// SQLite values.
//
// Values are bound by the parameter's value and declared type:
//   null -> NULL; integer, Boolean (1/0) -> INTEGER; float, currency -> REAL;
//   text -> TEXT, or BLOB when declared ftBlob, ftBytes, ftVarBytes,
//   ftGraphic or ftTypedBinary; date-time -> TEXT "yyyy-mm-dd" (ftDate),
//   "hh:nn:ss" (ftTime) or "yyyy-mm-dd hh:nn:ss" (otherwise), with ".zzz"
//   when the time has milliseconds.
// Result columns read back as: INTEGER -> integer, REAL -> float,
// TEXT and BLOB -> text (the bytes unchanged), NULL -> null.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "korvi/data/database_engine.h"

struct sqlite3;

namespace korvi {

class TSQLiteDatabase : public TDatabaseEngine {
 public:
  // How long a statement waits for a database another connection has locked.
  static constexpr int kBusyTimeoutMs = 10000;

  // Opens (creating when missing) the database file `name`; ":memory:" is a
  // private in-memory database, "file:" URIs are accepted. Raises
  // EDatabaseError with SQLite's message when it cannot be opened.
  explicit TSQLiteDatabase(const std::string& name);
  // Closes the connection.
  ~TSQLiteDatabase() override;
  TSQLiteDatabase(const TSQLiteDatabase&) = delete;
  TSQLiteDatabase& operator=(const TSQLiteDatabase&) = delete;

  // Runs every statement of `sql` in turn with its ":name" markers bound from
  // `params`. Returns the rows of the last statement that has result columns,
  // or nothing when none has. Raises EDatabaseError with SQLite's message on
  // failure, and "Parameter '<marker>' not found" for a marker without a
  // parameter (including the "?", "@" and "$" forms).
  std::optional<TResultTable> Run(std::string_view sql, const TParams& params) override;

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace korvi
