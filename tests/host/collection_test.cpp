// TCollection and TCollectionItem: adding, inserting, moving, deleting and
// copying items, IDs, and the Update hook inside and outside update blocks;
// TTypedCollection's typed access.
#include "korvi/host/collection.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "korvi/host/exceptions.h"

namespace korvi {
namespace {

class NamedItem : public TCollectionItem {
 public:
  using TCollectionItem::TCollectionItem;
  std::string name;
  std::string GetDisplayName() const override { return name; }
  void Assign(const TCollectionItem& source) override {
    name = dynamic_cast<const NamedItem&>(source).name;
  }
  void Rename(std::string value) {
    name = std::move(value);
    Changed(false);
  }
};

// A collection that records its Update calls ("*" for the whole collection).
class Recording : public TCollection {
 public:
  Recording() : TCollection([](TCollection* c) { return new NamedItem(c); }) {}
  std::vector<std::string> updates;
  NamedItem* AddNamed(const std::string& name) {
    auto* item = static_cast<NamedItem*>(Add());
    item->name = name;
    return item;
  }
  NamedItem* At(int index) const { return static_cast<NamedItem*>(Items(index)); }
  std::string Names() const {
    std::string names;
    for (int i = 0; i < Count(); ++i)
      names += At(i)->name;
    return names;
  }

 protected:
  void Update(TCollectionItem* item) override {
    updates.push_back(item == nullptr ? "*" : static_cast<NamedItem*>(item)->name);
  }
};

// Items keep their order through Add, Insert, SetIndex and Delete; IDs keep
// increasing and are never handed out twice.
TEST(CollectionTest, OrderAndIdsThroughEdits) {
  Recording list;
  list.AddNamed("a");
  list.AddNamed("b");
  NamedItem* c = list.AddNamed("c");
  static_cast<NamedItem*>(list.Insert(0))->name = "x";
  EXPECT_EQ(list.Names(), "xabc");
  EXPECT_EQ(list.At(0)->ID(), 3);
  c->SetIndex(1);
  EXPECT_EQ(list.Names(), "xcab");
  EXPECT_EQ(c->Index(), 1);
  list.Delete(0);
  EXPECT_EQ(list.Names(), "cab");
  EXPECT_EQ(list.AddNamed("d")->ID(), 4);
  EXPECT_EQ(list.FindItemID(2), c);
  EXPECT_EQ(list.FindItemID(3), nullptr);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.AddNamed("e")->ID(), 5);
}

// Out-of-range indexes raise EListError and leave the collection intact.
TEST(CollectionTest, BadIndexesRaiseListError) {
  Recording list;
  NamedItem* a = list.AddNamed("a");
  EXPECT_THROW(list.Items(1), EListError);
  EXPECT_THROW(list.Items(-1), EListError);
  EXPECT_THROW(list.Delete(1), EListError);
  EXPECT_THROW(a->SetIndex(3), EListError);
  EXPECT_THROW(list.Insert(5), EListError);
  EXPECT_EQ(list.Names(), "a");
}

// An item freed on its own leaves the collection; one moved elsewhere
// changes collection.
TEST(CollectionTest, ItemsLeaveWhenFreedOrMoved) {
  Recording first;
  Recording second;
  first.AddNamed("a");
  NamedItem* b = first.AddNamed("b");
  first.AddNamed("c");
  delete first.At(0);
  EXPECT_EQ(first.Names(), "bc");
  b->SetCollection(&second);
  EXPECT_EQ(first.Names(), "c");
  EXPECT_EQ(second.Names(), "b");
  EXPECT_EQ(b->Collection(), &second);
  b->SetCollection(nullptr);
  EXPECT_EQ(b->Index(), -1);
  delete b;
  EXPECT_EQ(second.Count(), 0);
}

// Changes report through Update: one item by itself, moves as the whole
// collection, and nothing inside an update block until its outermost end.
TEST(CollectionTest, UpdateHookOutsideUpdateBlocks) {
  Recording list;
  NamedItem* a = list.AddNamed("a");
  list.AddNamed("b");
  list.updates.clear();
  a->Rename("A");
  a->SetIndex(1);
  EXPECT_EQ(list.updates, (std::vector<std::string>{"A", "*"}));

  list.updates.clear();
  list.BeginUpdate();
  list.BeginUpdate();
  a->Rename("a");
  list.AddNamed("c");
  list.EndUpdate();
  EXPECT_TRUE(list.updates.empty());
  list.EndUpdate();
  EXPECT_EQ(list.updates, std::vector<std::string>{"*"});
  EXPECT_EQ(list.UpdateCount(), 0);
}

// Assign replaces the items with copies; the base item refuses to copy.
TEST(CollectionTest, AssignCopiesItems) {
  Recording source;
  source.AddNamed("p");
  source.AddNamed("q");
  Recording target;
  target.AddNamed("old");
  target.updates.clear();
  target.Assign(source);
  EXPECT_EQ(target.Names(), "pq");
  EXPECT_NE(target.At(0), source.At(0));
  EXPECT_EQ(target.updates, std::vector<std::string>{"*"});

  TCollection plain([](TCollection* c) { return new TCollectionItem(c); });
  TCollectionItem* item = plain.Add();
  EXPECT_THROW(item->Assign(*source.At(0)), EConvertError);
}

// A typed collection makes items of its class, copies into an existing item
// through Assign, and keeps its owner without reporting it as GetOwner.
TEST(CollectionTest, TypedCollectionMakesItsItemsAndCopiesIntoThem) {
  TObject owner;
  TTypedCollection<NamedItem, TObject> list(&owner);
  NamedItem* first = list.Add();
  first->name = "a";
  NamedItem* second = list.Add();
  second->name = "b";
  EXPECT_EQ(list.Items(1), second);
  list.SetItems(1, *first);
  EXPECT_EQ(list.Items(1), second);
  EXPECT_EQ(second->name, "a");
  EXPECT_THROW(list.Items(2), EListError);
  EXPECT_EQ(list.Owner(), &owner);
  EXPECT_EQ(list.GetOwner(), nullptr);
}

}  // namespace
}  // namespace korvi
