/// \file
/// Actions: TKActionItem pairs a path prefix with a handler; TKActionItems is
/// the server's ordered collection of them and dispatches a request to the
/// first enabled item whose prefix matches and that handles it, then to the
/// default item.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "korvi/host/collection.h"

namespace korvi {

class TComponent;
class TKorviRequest;
class TKorviResponse;

/// Action handler: sets `Handled` to true when it has answered the request.
using TKorviActionEvent = std::function<void(TObject* Sender, TKorviRequest* Request,
                                             TKorviResponse* Response, bool& Handled)>;

/// An action: a path prefix and the handler that answers requests under it.
class TKActionItem : public TCollectionItem {
 public:
  /// An enabled item appended to `collection` and, in a TKActionItems,
  /// named "KActionItem" and the first free number.
  explicit TKActionItem(TCollection* collection);

  /// Copies Default, PathInfo and Enabled (not Name, not OnAction) into `target`.
  void AssignTo(TKActionItem& target) const;
  /// Takes the settings of another TKActionItem; other sources go to the base.
  void Assign(const TCollectionItem& source) override;
  /// The item's name.
  std::string GetDisplayName() const override { return name_; }
  /// Renames the item; raises Exception "Error: Duplicate Action Name" when
  /// another item of the collection has the name (without regard to case).
  virtual void SetDisplayName(const std::string& value);

  /// The single default item of the collection.
  bool Default() const { return default_; }
  /// Setting true clears Default on every other item.
  void SetDefault(bool value);
  ///@{
  /// Enabled items take part in path matching.
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  ///@}
  /// The path prefix answered, normalised: "/" separators and a leading "/".
  const std::string& PathInfo() const { return path_info_; }
  /// Stores the normalised `value` unless it differs only in letter case.
  void SetPathInfo(const std::string& value);
  ///@{
  /// The handler.
  const TKorviActionEvent& OnAction() const { return on_action_; }
  void SetOnAction(TKorviActionEvent handler);
  ///@}

  /// Offers the request to the handler when the item matches it (or, with
  /// `use_default`, when it is the default item); returns the handled flag.
  bool DispatchAction(TKorviRequest* request, TKorviResponse* response, bool use_default);

 private:
  TKorviActionEvent on_action_;
  std::string path_info_;
  bool default_ = false;
  bool enabled_ = true;
  std::string name_;
};

/// The server's ordered actions; dispatches a request to the first that matches.
class TKActionItems : public TTypedCollection<TKActionItem, TComponent> {
 public:
  /// An empty collection owned by `owner` (the server component).
  explicit TKActionItems(TComponent* owner);

  /// The owning server component.
  TObject* GetOwner() const override;
  /// Gives a newly inserted `item` the first free name "KActionItem<n>".
  virtual void SetItemName(TKActionItem* item);

  ///@{
  /// Columns of the design-time collection editor: their count, headings and
  /// the text of `column` for the item at `item_index`.
  int GetAttrCount() const { return 4; }
  std::string GetAttr(int column) const;
  std::string GetItemAttr(int column, int item_index) const;
  ///@}

  /// The first item named `name` (without regard to case), or nullptr.
  TKActionItem* ActionByName(std::string_view name) const;
  /// Offers the request to the matching items in order, then to the default
  /// item; returns true when one handled it.
  bool DispatchAction(TKorviRequest* request, TKorviResponse* response) const;
  /// True when an item other than `except` is named `name` (without regard to case).
  bool NameInUse(std::string_view name, const TKActionItem* except) const;

 protected:
  /// Changes to items need no reaction.
  void Update(TCollectionItem* item) override;
};

}  // namespace korvi
