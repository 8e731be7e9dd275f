// TQuery: SQL text, parameters and the query's own database connection.
#include "korvi/data/query.h"

#include "korvi/data/database_engine.h"
#include "korvi/data/database_error.h"
#include "korvi/data/sql_params.h"

namespace korvi {

TQuery::TQuery(TComponent* owner) : TDataSet(owner) {}

TQuery::~TQuery() = default;

void TQuery::SetDatabaseName(std::string value) {
  CheckInactive();
  if (value == database_name_) return;
  database_.reset();
  database_name_ = std::move(value);
}

void TQuery::SetSQL(std::string value) {
  Close();
  sql_ = std::move(value);
  params_.Rebuild(ParamNamesInSQL(sql_));
}

void TQuery::ExecSQL() {
  Database().Run(sql_, params_);
}

void TQuery::InternalOpen() {
  std::optional<TResultTable> result = Database().Run(sql_, params_);
  if (!result) throw EDatabaseError("Query has no result set");
  SetFieldNames(result->columns);
  Records() = std::move(result->rows);
}

void TQuery::InternalClose() {
  Records().clear();
}

TDatabaseEngine& TQuery::Database() {
  if (!database_) database_ = OpenDatabaseEngine(database_name_);
  return *database_;
}

}  // namespace korvi
