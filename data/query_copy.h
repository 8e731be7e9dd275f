/// \file
/// CopyQuery: the numbered working copy of a design-time query that a worker
/// thread opens and frees on its own (the server's DupQuery names it).
#pragma once

#include <memory>
#include <string>

#include "korvi/data/query.h"

namespace korvi {

/// A new query without owner, named `name`, copied from `source` in this
/// order: cached updates, Constrained, database name, data source, filter
/// text, filtered flag, filter options, name, RequestLive, session name, SQL
/// text, UniDirectional, update mode; then for each parameter index of the
/// copy the source's parameter of that index gives the declared type and then
/// the value; last the active state, so the copy is opened when the source is.
/// Returns nullptr when any step fails (no exception leaves it).
std::unique_ptr<TQuery> CopyQuery(const TQuery& source, const std::string& name);

}  // namespace korvi
