/// \file
/// TQuery: a data set over an SQL statement on an SQLite or a PostgreSQL
/// database, chosen by the database name (see TDatabaseEngine).
///
/// Setting the SQL text rebuilds Params from its ":name" markers. Open runs the
/// text and reads every row of its result into memory, so the cursor walks
/// both ways and RecordCount is the number of rows read; ExecSQL runs
/// statements without a result. Each query opens its own connection when it
/// first needs one and keeps it until the database name changes or the query
/// is destroyed, so copies used on different threads share no connection.
/// A ":memory:" SQLite database is private to the query's connection.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "korvi/data/data_set.h"
#include "korvi/data/param.h"

namespace korvi {

class TDataSource;
class TDatabaseEngine;

/// How updates of a live result would find their row (stored only).
enum TUpdateMode { upWhereAll, upWhereChanged, upWhereKeyOnly };

/// A data set over an SQL statement on SQLite or PostgreSQL.
class TQuery : public TDataSet {
 public:
  /// Creates a closed query without SQL text; a non-null owner frees it.
  explicit TQuery(TComponent* owner);
  /// Frees the rows and closes the connection.
  ~TQuery() override;

  /// The database: a PostgreSQL connection URI ("postgresql://...") or
  /// key=value string ("host=... dbname=..."), or else an SQLite database file
  /// (":memory:" and "file:" URIs work).
  const std::string& DatabaseName() const { return database_name_; }
  /// Sets the database; raises EDatabaseError while the query is open.
  void SetDatabaseName(std::string value);

  /// The SQL text.
  const std::string& SQL() const { return sql_; }
  /// Closes the query, stores the text and rebuilds Params from it.
  void SetSQL(std::string value);

  ///@{
  /// The parameters named in the SQL text, in order of first appearance.
  TParams& Params() { return params_; }
  const TParams& Params() const { return params_; }
  ///@}
  /// The parameter named `name`; raises EDatabaseError when there is none.
  TParam& ParamByName(std::string_view name) { return params_.ParamByName(name); }

  /// Runs the SQL text as statements without a result set.
  void ExecSQL();

  ///@{
  /// Settings kept with the query and copied by CopyQuery; the engines need
  /// none of them. DataSource is a reference only: the query never reads through it.
  std::string SessionName;
  TDataSource* DataSource = nullptr;
  bool CachedUpdates = false;
  bool Constrained = false;
  bool RequestLive = false;
  bool UniDirectional = false;
  TUpdateMode UpdateMode = upWhereAll;
  ///@}

 protected:
  /// Runs the SQL text and takes the rows and columns of its result.
  void InternalOpen() override;
  /// Drops the rows read.
  void InternalClose() override;

 private:
  /// The connection, opened on first use.
  TDatabaseEngine& Database();

  std::string database_name_;
  std::string sql_;
  TParams params_;
  std::unique_ptr<TDatabaseEngine> database_;
};

}  // namespace korvi
