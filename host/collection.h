/// \file
/// TCollection and TCollectionItem: an owned, ordered list of items of one
/// kind, with change hooks; TTypedCollection types it for one item class
/// (action items and cookies are collections).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "korvi/host/object.h"

namespace korvi {

class TCollection;

/// An item of a TCollection.
class TCollectionItem : public TObject {
 public:
  /// Creates the item and, with a non-null collection, appends it there.
  explicit TCollectionItem(TCollection* collection);
  /// Removes the item from its collection.
  ~TCollectionItem() override;

  /// The collection the item is in (nullptr when none).
  TCollection* Collection() const { return collection_; }
  /// Moves the item to another collection (nullptr: to none).
  void SetCollection(TCollection* collection);
  /// Position in the collection (-1 when in none).
  int Index() const;
  /// Moves the item to position `index` and reports the change.
  virtual void SetIndex(int index);
  /// Unique number within the collection, given when the item is added.
  int ID() const { return id_; }
  /// Text the designer shows for the item; empty by default.
  virtual std::string GetDisplayName() const { return {}; }
  /// Copies another item's settings; the base raises EConvertError "Cannot assign".
  virtual void Assign(const TCollectionItem& source);

 protected:
  /// Tells the collection this item (or, with `all_items`, every item) changed;
  /// nothing happens while the collection is between BeginUpdate and EndUpdate.
  void Changed(bool all_items);

 private:
  friend class TCollection;
  TCollection* collection_ = nullptr;
  int id_ = 0;
};

/// An owned, ordered list of items made by one factory.
class TCollection : public TObject {
 public:
  /// Creates the items that Add and Insert make.
  using TItemFactory = std::function<TCollectionItem*(TCollection*)>;
  /// Creates an empty collection whose items `factory` makes.
  explicit TCollection(TItemFactory factory);
  /// Frees every item.
  ~TCollection() override;

  ///@{
  /// Creates a new item at the end / at `index` and returns it.
  TCollectionItem* Add();
  TCollectionItem* Insert(int index);
  ///@}
  /// Number of items.
  int Count() const { return static_cast<int>(items_.size()); }
  /// Item `index`; raises EListError when out of range.
  TCollectionItem* Items(int index) const;
  ///@{
  /// Frees item `index` / every item.
  void Delete(int index);
  void Clear();
  ///@}
  /// The item with `id`, or nullptr.
  TCollectionItem* FindItemID(int id) const;
  /// Replaces the items by new ones assigned from `source`'s items.
  virtual void Assign(const TCollection& source);

  /// Starts an update block: changes are reported once, at its end.
  void BeginUpdate() { ++update_count_; }
  /// Ends an update block; the outermost one reports Update(nullptr).
  void EndUpdate();
  /// Depth of the open update blocks.
  int UpdateCount() const { return update_count_; }
  /// The object that owns the collection (nullptr here; owned collections override).
  virtual TObject* GetOwner() const { return nullptr; }

 protected:
  /// An item changed (`item`), or the whole collection did (nullptr).
  virtual void Update(TCollectionItem* item);
  /// Update(nullptr) unless inside an update block.
  void Changed();

 private:
  friend class TCollectionItem;
  void InsertItem(TCollectionItem* item);
  void RemoveItem(TCollectionItem* item);
  TItemFactory factory_;
  std::vector<TCollectionItem*> items_;
  int next_id_ = 0;
  int update_count_ = 0;
};

/// A collection whose items are all TItem, each made as `new TItem(collection)`,
/// and that keeps a reference to the object it belongs to; Add, Items and
/// SetItems are typed for TItem. GetOwner stays the base's: a collection that
/// reports its owner overrides it.
template <class TItem, class TOwner>
class TTypedCollection : public TCollection {
 public:
  /// An empty collection belonging to `owner` (which it does not free).
  explicit TTypedCollection(TOwner* owner)
      : TCollection(
            [](TCollection* collection) -> TCollectionItem* { return new TItem(collection); }),
        owner_(owner) {}

  /// Appends a new item and returns it.
  TItem* Add() { return static_cast<TItem*>(TCollection::Add()); }
  /// The item at `index`; raises EListError when out of range.
  TItem* Items(int index) const { return static_cast<TItem*>(TCollection::Items(index)); }
  /// Copies `item`'s settings into the item at `index` through its Assign.
  void SetItems(int index, const TItem& item) { Items(index)->Assign(item); }
  /// The object the collection belongs to.
  TOwner* Owner() const { return owner_; }

 private:
  TOwner* owner_;
};

}  // namespace korvi
