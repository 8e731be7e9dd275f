// CopyQuery: copying a query's settings, SQL, parameters and open state.
#include "korvi/data/query_copy.h"

namespace korvi {

namespace {

// Copies in the order the settings depend on each other: the SQL text makes
// the copy's parameters before they are filled, and opening comes last.
void CopySettings(const TQuery& source, const std::string& name, TQuery& copy) {
  copy.CachedUpdates = source.CachedUpdates;
  copy.Constrained = source.Constrained;
  copy.SetDatabaseName(source.DatabaseName());
  copy.DataSource = source.DataSource;
  copy.Filter = source.Filter;
  copy.Filtered = source.Filtered;
  copy.FilterOptions = source.FilterOptions;
  copy.SetName(name);
  copy.RequestLive = source.RequestLive;
  copy.SessionName = source.SessionName;
  copy.SetSQL(source.SQL());
  copy.UniDirectional = source.UniDirectional;
  copy.UpdateMode = source.UpdateMode;
  for (int index = 0; index < copy.Params().Count(); ++index) {
    const TParam& from = source.Params().Items(index);
    TParam& to = copy.Params().Items(index);
    to.SetDataType(from.DataType());
    to.SetValue(from.Value());
  }
  copy.SetActive(source.Active());
}

}  // namespace

std::unique_ptr<TQuery> CopyQuery(const TQuery& source, const std::string& name) {
  try {
    auto copy = std::make_unique<TQuery>(nullptr);
    CopySettings(source, name, *copy);
    return copy;
  } catch (...) {
    // Any failure (a database that cannot be opened, a statement that fails)
    // means no copy rather than an error.
    return nullptr;
  }
}

}  // namespace korvi
