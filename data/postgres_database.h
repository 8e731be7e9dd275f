// TPostgresDatabase: the PostgreSQL engine: one libpq connection, owned by
// one query and used by one thread at a time, and the mapping of values
// chosen so that a page shows the same text as on SQLite.
//
// Parameter values travel apart from the SQL text: each ":name" marker is
// sent as "$n" (one number per parameter, however often it is named) and the
// values go as server-side parameters:
//   null -> NULL; integer -> integer (bigint beyond 32 bits); Boolean -> "1"
//   or "0", typed by where it stands (a boolean or an integer column); float
//   -> double precision; currency -> numeric; text -> typed by where it
//   stands, or bytea when declared ftBlob, ftBytes, ftVarBytes, ftGraphic or
//   ftTypedBinary; date-time -> date (ftDate), time (ftTime) or timestamp.
// Result columns read back as:
//   smallint, integer, bigint, oid -> integer; boolean -> integer 1 or 0;
//   real, double precision -> float; numeric -> integer when whole and in
//   range, float otherwise; date, time, timestamp, timestamp with time zone
//   -> the ISO text the SQLite engine stores ("yyyy-mm-dd", "hh:nn:ss",
//   "yyyy-mm-dd hh:nn:ss", ".zzz" when there are milliseconds, no zone);
//   bytea -> its bytes; NULL -> null; anything else -> its text.
//
// Connections come from and go back to TPostgresConnectionPool: a query
// keeps its connection while it lives, and a later query on the same
// database may take it over with a fresh session state.
//
// A text without markers may hold several statements, which the server runs
// as one batch; a text with markers holds one statement.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "korvi/data/database_engine.h"

struct pg_conn;

namespace korvi {

class TPostgresDatabase : public TDatabaseEngine {
 public:
  // Connects with the URI or key=value connection string `name`, reusing an
  // idle connection to it when there is one. Raises EDatabaseError with
  // libpq's message when the server cannot be reached or refuses the
  // connection.
  explicit TPostgresDatabase(const std::string& name);
  // Hands the connection to the pool when it is sound and outside a
  // transaction, and closes it otherwise.
  ~TPostgresDatabase() override;
  TPostgresDatabase(const TPostgresDatabase&) = delete;
  TPostgresDatabase& operator=(const TPostgresDatabase&) = delete;

  // Runs `sql` with its markers bound from `params`; see TDatabaseEngine.
  // A connection the server dropped is opened again first. Raises
  // EDatabaseError with PostgreSQL's message, and "Parameter ':<name>' not
  // found" for a marker without a parameter.
  std::optional<TResultTable> Run(std::string_view sql, const TParams& params) override;

 private:
  // Sets what the value mapping relies on for this session; a connection
  // taken from the pool first drops what its last user left.
  void PrepareSession(bool reused);

  std::string name_;
  pg_conn* conn_ = nullptr;
};

}  // namespace korvi
