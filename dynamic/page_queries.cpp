// TPageQueries: the data modules of one page and the query copies it owns.
#include "korvi/dynamic/page_queries.h"

#include <algorithm>

#include "korvi/data/data_module.h"
#include "korvi/data/data_source.h"
#include "korvi/data/query.h"

namespace korvi {

TComponent* FindInDataModules(const TDataModules& modules, std::string_view name) {
  for (TDataModule* module : modules) {
    if (module == nullptr) continue;
    if (TComponent* found = module->FindComponent(name)) return found;
  }
  return nullptr;
}

TPageQueries::TPageQueries(const TDataModules& modules)
    : modules_(modules.begin(),
               modules.begin() + std::min<std::ptrdiff_t>(modules.size(), MaxDataModules)) {}

TPageQueries::~TPageQueries() = default;

TComponent* TPageQueries::FindComponent(std::string_view name) const {
  return FindInDataModules(modules_, name);
}

void TPageQueries::Adopt(std::unique_ptr<TQuery> query, std::unique_ptr<TDataSource> source) {
  opened_.push_back(Opened{std::move(query), std::move(source)});
}

bool TPageQueries::Release(TDataSource* source) {
  auto it = std::find_if(opened_.begin(), opened_.end(),
                         [source](const Opened& opened) { return opened.source.get() == source; });
  if (it == opened_.end()) return false;
  it->query->Close();
  return true;
}

}  // namespace korvi
