// SQLiteTables: tables in a fresh SQLite database under a temporary
// directory, each opened as a query behind a named data source, for the
// producer tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "korvi/data/data_source.h"
#include "korvi/data/query.h"
#include "tests/support/temp_dir.h"

namespace korvi::test {

class SQLiteTables {
 public:
  // Runs `sql` (one or more statements) on the database.
  void Exec(const std::string& sql) {
    TQuery query(nullptr);
    query.SetDatabaseName(db_);
    query.SetSQL(sql);
    query.ExecSQL();
  }
  // Creates table `name` with `columns` and fills it with one row per value
  // list in `rows` (SQL literals, e.g. "'a', 1").
  void Table(const std::string& name, const std::string& columns,
             const std::vector<std::string>& rows) {
    std::string sql = "begin; create table " + name + "(" + columns + ");";
    for (const std::string& row : rows)
      sql += "insert into " + name + " values(" + row + ");";
    Exec(sql + "commit;");
  }
  // A data source named `name` over the opened query `select`; the object
  // lives as long as this one.
  TDataSource* Source(const std::string& name, const std::string& select) {
    queries_.push_back(std::make_unique<TQuery>(nullptr));
    TQuery* query = queries_.back().get();
    query->SetDatabaseName(db_);
    query->SetSQL(select);
    query->Open();
    sources_.push_back(std::make_unique<TDataSource>(nullptr));
    sources_.back()->SetName(name);
    sources_.back()->SetDataSet(query);
    return sources_.back().get();
  }
  // The query behind the source made by the `index`th Source call (from 0).
  TQuery& Query(int index) { return *queries_.at(static_cast<std::size_t>(index)); }

 private:
  TempDir dir_;
  std::string db_ = dir_.File("pages.db");
  std::vector<std::unique_ptr<TQuery>> queries_;
  std::vector<std::unique_ptr<TDataSource>> sources_;
};

}  // namespace korvi::test
