// TSQLiteDatabase: opening a connection, running statements with bound
// parameters and reading result rows into memory.
#include "korvi/data/sqlite_database.h"

#include <sqlite3.h>

#include <memory>

#include "korvi/data/database_error.h"
#include "korvi/data/iso_date_time.h"
#include "korvi/host/exceptions.h"

namespace korvi {

namespace {

struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

[[noreturn]] void Fail(sqlite3* db) {
  throw EDatabaseError(sqlite3_errmsg(db));
}

int BindText(sqlite3_stmt* statement, int index, const std::string& text) {
  return sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_TRANSIENT,
                             SQLITE_UTF8);
}

int BindParam(sqlite3_stmt* statement, int index, const TParam& param) {
  const Variant& value = param.Value();
  switch (value.VarType()) {
    case TVarType::varNull:
      return sqlite3_bind_null(statement, index);
    case TVarType::varInteger:
    case TVarType::varBoolean:
      return sqlite3_bind_int64(statement, index, value.AsInteger());
    case TVarType::varDouble:
    case TVarType::varCurrency:
      return sqlite3_bind_double(statement, index, value.AsFloat());
    case TVarType::varDate:
      return BindText(statement, index,
                      DateTimeToIso(value.AsDateTime(), IsoPartOf(param.DataType())));
    case TVarType::varString:
      break;
  }
  const std::string text = value.AsString();
  if (IsBinaryType(param.DataType())) {
    return sqlite3_bind_blob64(statement, index, text.data(), text.size(), SQLITE_TRANSIENT);
  }
  return BindText(statement, index, text);
}

// Binds every marker of `statement` to the parameter of the same name.
void BindAll(sqlite3* db, sqlite3_stmt* statement, const TParams& params) {
  const int count = sqlite3_bind_parameter_count(statement);
  for (int index = 1; index <= count; ++index) {
    const char* marker = sqlite3_bind_parameter_name(statement, index);
    const TParam* param =
        marker != nullptr && marker[0] == ':' ? params.FindParam(marker + 1) : nullptr;
    if (param == nullptr) {
      throw EDatabaseError(Format("Parameter '%s' not found", {marker != nullptr ? marker : "?"}));
    }
    if (BindParam(statement, index, *param) != SQLITE_OK) Fail(db);
  }
}

std::string ColumnBytes(sqlite3_stmt* statement, int column, const void* data) {
  const int size = sqlite3_column_bytes(statement, column);
  return data == nullptr ? std::string() : std::string(static_cast<const char*>(data), size);
}

Variant ColumnValue(sqlite3_stmt* statement, int column) {
  switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER:
      return Variant(static_cast<std::int64_t>(sqlite3_column_int64(statement, column)));
    case SQLITE_FLOAT:
      return Variant(sqlite3_column_double(statement, column));
    case SQLITE_TEXT:
      return Variant(ColumnBytes(statement, column, sqlite3_column_text(statement, column)));
    case SQLITE_BLOB:
      return Variant(ColumnBytes(statement, column, sqlite3_column_blob(statement, column)));
    default:
      return Variant();
  }
}

TResultTable ResultOf(sqlite3_stmt* statement) {
  TResultTable table;
  const int count = sqlite3_column_count(statement);
  for (int column = 0; column < count; ++column) {
    const char* name = sqlite3_column_name(statement, column);
    table.columns.emplace_back(name != nullptr ? name : "");
  }
  return table;
}

}  // namespace

TSQLiteDatabase::TSQLiteDatabase(const std::string& name) {
  // One connection per query and thread: SQLite's own connection mutex is
  // not needed.
  const int flags =
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX;
  const int rc = sqlite3_open_v2(name.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    const std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    throw EDatabaseError(message);
  }
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
}

TSQLiteDatabase::~TSQLiteDatabase() {
  sqlite3_close(db_);
}

std::optional<TResultTable> TSQLiteDatabase::Run(std::string_view sql, const TParams& params) {
  std::optional<TResultTable> result;
  const char* next = sql.data();
  const char* const end = sql.data() + sql.size();
  while (next < end) {
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db_, next, static_cast<int>(end - next), &raw, &tail) != SQLITE_OK) {
      Fail(db_);
    }
    Statement statement(raw);
    next = tail;
    if (raw == nullptr) continue;  // only blanks or a comment were left
    BindAll(db_, raw, params);
    const bool has_result = sqlite3_column_count(raw) > 0;
    TResultTable table = ResultOf(raw);
    int rc;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
      if (!has_result) continue;
      TRecord record;
      record.reserve(table.columns.size());
      for (int column = 0; column < static_cast<int>(table.columns.size()); ++column) {
        record.push_back(ColumnValue(raw, column));
      }
      table.rows.push_back(std::move(record));
    }
    if (rc != SQLITE_DONE) Fail(db_);
    if (has_result) result = std::move(table);
  }
  return result;
}

}  // namespace korvi
