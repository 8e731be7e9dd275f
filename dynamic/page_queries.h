/// \file
/// TPageQueries: what one processed page knows of its named queries. It holds
/// the data modules the page may take queries from and owns the working
/// copies that the page's ADDQUERY directives opened, each with the data
/// source it shows through. A DELQUERY directive closes a copy at once; the
/// objects themselves are freed when the page ends, because a loop of the
/// page may still be walking the data set. One object belongs to one call,
/// so calls running at the same time on one processor never see each
/// other's lists.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

namespace korvi {

class TComponent;
class TDataModule;
class TDataSource;
class TQuery;

/// Data modules in the order they are searched for a named query.
using TDataModules = std::vector<TDataModule*>;

/// The component named `name` in the first of `modules` that has one (null
/// entries skipped), or nullptr.
TComponent* FindInDataModules(const TDataModules& modules, std::string_view name);

/// What one processed page knows of its named queries.
class TPageQueries {
 public:
  /// Most data modules one page searches; later ones are ignored.
  static constexpr int MaxDataModules = 24;

  /// Keeps the first MaxDataModules of `modules` (not owned).
  explicit TPageQueries(const TDataModules& modules);
  /// Frees every query the page opened, with its data source.
  ~TPageQueries();
  TPageQueries(const TPageQueries&) = delete;
  TPageQueries& operator=(const TPageQueries&) = delete;

  /// The data modules kept for the page.
  const TDataModules& DataModules() const { return modules_; }
  /// The component named `name` in the kept modules, or nullptr.
  TComponent* FindComponent(std::string_view name) const;

  /// Takes `query` and the `source` attached to it for the rest of the page.
  void Adopt(std::unique_ptr<TQuery> query, std::unique_ptr<TDataSource> source);
  /// Closes the query of `source` when the page opened it and returns true;
  /// false (nothing closed) for a source someone else owns.
  bool Release(TDataSource* source);

 private:
  /// A query and its source; the source, declared last, is freed first.
  struct Opened {
    std::unique_ptr<TQuery> query;
    std::unique_ptr<TDataSource> source;
  };

  TDataModules modules_;
  std::vector<Opened> opened_;
};

}  // namespace korvi
