// Data sources and data modules: attaching, lookup by name and release.
#include "korvi/data/data_source.h"

#include <gtest/gtest.h>

#include "korvi/data/data_module.h"
#include "korvi/data/memory_data_set.h"
#include "korvi/data/query.h"

namespace korvi {
namespace {

// A source made without owner holds its data set until it is detached or
// the data set goes away.
TEST(DataSource, ForgetsADestroyedDataSet) {
  auto source = std::make_unique<TDataSource>(nullptr);
  auto data = std::make_unique<TMemoryDataSet>(nullptr);
  source->SetDataSet(data.get());
  EXPECT_EQ(source->DataSet(), data.get());
  data.reset();
  EXPECT_EQ(source->DataSet(), nullptr);

  auto other = std::make_unique<TMemoryDataSet>(nullptr);
  source->SetDataSet(other.get());
  // Destroying the source first, then the data set, must not reach the freed
  // source (the sanitizer build checks).
  source.reset();
  other.reset();
}

// A data module finds its components by name without regard to case and
// frees them, attached or not.
TEST(DataModule, FindsOwnedComponentsByName) {
  TDataModule module(nullptr);
  auto* query = new TQuery(&module);
  query->SetName("qOrders");
  auto* source = new TDataSource(&module);
  source->SetName("dsOrders");
  source->SetDataSet(query);
  EXPECT_EQ(module.FindComponent("QORDERS"), query);
  EXPECT_EQ(module.FindComponent("dsorders"), source);
  EXPECT_EQ(module.FindComponent("qNone"), nullptr);
}

}  // namespace
}  // namespace korvi
