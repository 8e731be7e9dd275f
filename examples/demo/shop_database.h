// TShopDatabase: the tea house's database, an SQLite file or a PostgreSQL
// database (by the name, as TQuery chooses). Opening it creates the tables
// with their sample rows the first time and reuses them afterwards; both
// engines get the same rows and give the same pages.
//
// It hands out fresh queries for the pages the application builds itself
// (a data set serves one thread at a time, and every request runs on a
// thread of its own), and keeps in a data module the named queries that
// processed pages (ADDQUERY) and submitted forms (ProcessQuery) may run:
//
//   qTea        one tea, by the parameter id
//   qReviews    the reviews of one tea, by the parameter tea
//   qAddReview  adds a review from the form fields id, author, rating, body
//
// Every query reads text as stored: the pages escape it.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <korvi/data/data_module.h>

namespace korvi {

class TQuery;
// The words of the engine's SQL dialect that the shop's SQL needs.
struct TDialect;

class TShopDatabase {
 public:
  // Opens the database `path`, creating its tables and sample rows when it
  // has none. Raises EDatabaseError when it cannot be used.
  explicit TShopDatabase(std::string path);

  // The database name.
  const std::string& Path() const { return path_; }
  // The data module holding the named queries. Worker threads only read it:
  // the processor runs copies of its queries.
  TDataModule* NamedQueries() { return &named_queries_; }

  // Open queries for the application's own pages; each call makes a new one.
  // Every tea of the kind `kind` (every tea when it is empty), by name: id,
  // name, kind, origin, price (per 100 g, "0.00"), description.
  std::unique_ptr<TQuery> Teas(const std::string& kind) const;
  // The tin sizes teas are sold in: grams, label.
  std::unique_ptr<TQuery> TinSizes() const;
  // How many teas of each kind the shop has: kind, teas.
  std::unique_ptr<TQuery> Kinds() const;
  // The tea `id` (no row when there is none): name, price per 100 g as a number.
  std::unique_ptr<TQuery> Tea(int id) const;
  // The tin size of `grams` grams (no row when there is none): label.
  std::unique_ptr<TQuery> TinSize(int grams) const;

 private:
  // A new closed query on the database with the SQL text `sql`.
  std::unique_ptr<TQuery> Prepare(const std::string& sql) const;
  // Prepare(sql), opened.
  std::unique_ptr<TQuery> Open(const std::string& sql) const;
  // Creates the tables and their sample rows unless the teas table exists.
  void CreateSampleData() const;
  // Adds the named query `name` with `sql` to the data module.
  TQuery& AddNamedQuery(const char* name, const std::string& sql);
  // SQL reading the price column `column` as text with two decimals.
  std::string Money(std::string_view column) const;

  std::string path_;
  const TDialect& dialect_;
  TDataModule named_queries_{nullptr};
};

}  // namespace korvi
