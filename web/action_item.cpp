// Action items and their dispatch. Items are tried in collection order; the
// first enabled item whose PathInfo begins the request path and whose
// handler sets the handled flag wins, and the default item catches the rest.
#include "korvi/web/action_item.h"

#include "korvi/host/component.h"
#include "korvi/host/exceptions.h"
#include "korvi/host/sysutils.h"
#include "korvi/web/http_text.h"
#include "korvi/web/korvi_request.h"

namespace korvi {

namespace {

// Index of the request variable holding the URL path.
constexpr int kPathVariable = 4;

}  // namespace

TKActionItem::TKActionItem(TCollection* collection) : TCollectionItem(collection) {
  if (auto* items = dynamic_cast<TKActionItems*>(collection)) items->SetItemName(this);
}

void TKActionItem::AssignTo(TKActionItem& target) const {
  TCollection* collection = Collection();
  if (collection != nullptr) collection->BeginUpdate();
  target.SetDefault(default_);
  target.SetPathInfo(path_info_);
  target.SetEnabled(enabled_);
  if (collection != nullptr) collection->EndUpdate();
}

void TKActionItem::Assign(const TCollectionItem& source) {
  if (const auto* item = dynamic_cast<const TKActionItem*>(&source)) {
    item->AssignTo(*this);
  } else {
    TCollectionItem::Assign(source);
  }
}

void TKActionItem::SetDisplayName(const std::string& value) {
  if (SameText(value, name_)) return;
  auto* items = dynamic_cast<TKActionItems*>(Collection());
  if (items != nullptr && items->NameInUse(value, this)) {
    throw Exception("Error: Duplicate Action Name");
  }
  name_ = value;
  Changed(false);
}

void TKActionItem::SetDefault(bool value) {
  if (value == default_) return;
  if (value && Collection() != nullptr) {
    for (int i = 0; i < Collection()->Count(); ++i) {
      auto* other = static_cast<TKActionItem*>(Collection()->Items(i));
      if (other != this) other->SetDefault(false);
    }
  }
  default_ = value;
  Changed(false);
}

void TKActionItem::SetEnabled(bool value) {
  if (value == enabled_) return;
  enabled_ = value;
  Changed(false);
}

void TKActionItem::SetPathInfo(const std::string& value) {
  std::string path = DosPathToUnixPath(value);
  if (!path.empty() && path[0] != '/') path.insert(0, 1, '/');
  if (SameText(path, path_info_)) return;
  path_info_ = std::move(path);
  Changed(false);
}

void TKActionItem::SetOnAction(TKorviActionEvent handler) {
  on_action_ = std::move(handler);
  Changed(false);
}

bool TKActionItem::DispatchAction(TKorviRequest* request, TKorviResponse* response,
                                  bool use_default) {
  bool handled = false;
  if (!(default_ && use_default)) {
    if (!enabled_ || path_info_.empty()) return false;
    const std::string path = request->GetStringVariable(kPathVariable);
    if (path.size() < path_info_.size() ||
        !SameText(std::string_view(path).substr(0, path_info_.size()), path_info_)) {
      return false;
    }
  }
  if (on_action_) on_action_(this, request, response, handled);
  return handled;
}

TKActionItems::TKActionItems(TComponent* owner) : TTypedCollection(owner) {}

TObject* TKActionItems::GetOwner() const {
  return Owner();
}

void TKActionItems::SetItemName(TKActionItem* item) {
  for (int number = 1;; ++number) {
    std::string candidate = Format("KActionItem%d", {number});
    if (!NameInUse(candidate, item)) {
      item->SetDisplayName(candidate);
      return;
    }
  }
}

std::string TKActionItems::GetAttr(int column) const {
  static const char* const kColumns[] = {"Name", "PathInfo", "Enabled", "Default"};
  return column >= 0 && column < GetAttrCount() ? kColumns[column] : "";
}

std::string TKActionItems::GetItemAttr(int column, int item_index) const {
  const TKActionItem* item = Items(item_index);
  switch (column) {
    case 0:
      return item->GetDisplayName();
    case 1:
      return item->PathInfo();
    case 2:
      return item->Enabled() ? "True" : "False";
    case 3:
      return item->Default() ? "*" : "";
    default:
      return "";
  }
}

TKActionItem* TKActionItems::ActionByName(std::string_view name) const {
  for (int i = 0; i < Count(); ++i) {
    if (SameText(Items(i)->GetDisplayName(), name)) return Items(i);
  }
  return nullptr;
}

bool TKActionItems::DispatchAction(TKorviRequest* request, TKorviResponse* response) const {
  bool handled = false;
  TKActionItem* default_item = nullptr;
  for (int i = 0; i < Count() && !handled; ++i) {
    TKActionItem* item = Items(i);
    handled = item->DispatchAction(request, response, false);
    if (item->Default()) default_item = item;
  }
  if (!handled && default_item != nullptr) {
    return default_item->DispatchAction(request, response, true);
  }
  return handled;
}

bool TKActionItems::NameInUse(std::string_view name, const TKActionItem* except) const {
  for (int i = 0; i < Count(); ++i) {
    const TKActionItem* item = Items(i);
    if (item != except && SameText(item->GetDisplayName(), name)) return true;
  }
  return false;
}

void TKActionItems::Update(TCollectionItem* /*item*/) {}

}  // namespace korvi
