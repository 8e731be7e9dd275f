// TCollection and TCollectionItem: an ordered list of owned items with
// stable IDs and an Update hook that reports changes outside update blocks.
#include "korvi/host/collection.h"

#include <algorithm>

#include "korvi/host/exceptions.h"

namespace korvi {

namespace {

[[noreturn]] void RaiseIndexError(int index) {
  throw EListError("List index out of bounds (" + std::to_string(index) + ")");
}

// Runs `change` inside an update block of `collection`, which reports one
// Update(nullptr) at the end, also when `change` fails.
template <class Change>
void InUpdateBlock(TCollection& collection, Change&& change) {
  collection.BeginUpdate();
  try {
    change();
  } catch (...) {
    collection.EndUpdate();
    throw;
  }
  collection.EndUpdate();
}

}  // namespace

TCollectionItem::TCollectionItem(TCollection* collection) {
  SetCollection(collection);
}

TCollectionItem::~TCollectionItem() {
  SetCollection(nullptr);
}

void TCollectionItem::SetCollection(TCollection* collection) {
  if (collection == collection_) return;
  if (collection_ != nullptr) collection_->RemoveItem(this);
  if (collection != nullptr) collection->InsertItem(this);
}

int TCollectionItem::Index() const {
  if (collection_ == nullptr) return -1;
  const auto& items = collection_->items_;
  auto it = std::ranges::find(items, this);
  return it == items.end() ? -1 : static_cast<int>(it - items.begin());
}

void TCollectionItem::SetIndex(int index) {
  const int current = Index();
  if (current < 0 || current == index) return;
  auto& items = collection_->items_;
  if (index < 0 || index >= static_cast<int>(items.size())) RaiseIndexError(index);
  items.erase(items.begin() + current);
  items.insert(items.begin() + index, this);
  Changed(true);
}

void TCollectionItem::Assign(const TCollectionItem& /*source*/) {
  throw EConvertError("Cannot assign");
}

void TCollectionItem::Changed(bool all_items) {
  if (collection_ != nullptr && collection_->update_count_ == 0) {
    collection_->Update(all_items ? nullptr : this);
  }
}

TCollection::TCollection(TItemFactory factory) : factory_(std::move(factory)) {}

TCollection::~TCollection() {
  // No change reports while the collection itself goes away.
  ++update_count_;
  while (!items_.empty())
    delete items_.back();
}

TCollectionItem* TCollection::Add() {
  TCollectionItem* item = factory_(this);
  item->SetCollection(this);
  return item;
}

TCollectionItem* TCollection::Insert(int index) {
  TCollectionItem* item = nullptr;
  InUpdateBlock(*this, [&] {
    item = Add();
    try {
      item->SetIndex(index);
    } catch (...) {
      delete item;
      throw;
    }
  });
  return item;
}

TCollectionItem* TCollection::Items(int index) const {
  if (index < 0 || index >= Count()) RaiseIndexError(index);
  return items_[static_cast<size_t>(index)];
}

void TCollection::Delete(int index) {
  delete Items(index);
}

void TCollection::Clear() {
  if (items_.empty()) return;
  InUpdateBlock(*this, [this] {
    while (!items_.empty())
      delete items_.back();
  });
}

TCollectionItem* TCollection::FindItemID(int id) const {
  auto it =
      std::ranges::find_if(items_, [id](const TCollectionItem* item) { return item->ID() == id; });
  return it == items_.end() ? nullptr : *it;
}

void TCollection::Assign(const TCollection& source) {
  if (&source == this) return;
  InUpdateBlock(*this, [&] {
    Clear();
    for (const TCollectionItem* from : source.items_)
      Add()->Assign(*from);
  });
}

void TCollection::EndUpdate() {
  if (update_count_ > 0) --update_count_;
  Changed();
}

void TCollection::Update(TCollectionItem* /*item*/) {}

void TCollection::Changed() {
  if (update_count_ == 0) Update(nullptr);
}

void TCollection::InsertItem(TCollectionItem* item) {
  items_.push_back(item);
  item->collection_ = this;
  item->id_ = next_id_++;
  Changed();
}

void TCollection::RemoveItem(TCollectionItem* item) {
  std::erase(items_, item);
  item->collection_ = nullptr;
  Changed();
}

}  // namespace korvi
