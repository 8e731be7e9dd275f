// Action items: naming and renaming, PathInfo normalisation, the single
// default item, case-insensitive prefix matching in collection order, the
// default call, disabled items and the design-time columns.
#include "korvi/web/action_item.h"

#include <gtest/gtest.h>

#include <vector>

#include "korvi/host/exceptions.h"
#include "korvi/web/korvi_response.h"
#include "tests/support/expect_message.h"
#include "tests/web/received_request.h"

namespace korvi {
namespace {

using test::ReceivedRequest;

// A collection and a log of the items whose handlers ran.
struct Actions {
  TKActionItems items{nullptr};
  std::vector<std::string> calls;

  // Adds an item for `path` whose handler logs its name and sets the flag to `handles`.
  TKActionItem* Add(const std::string& path, bool handles) {
    TKActionItem* item = items.Add();
    item->SetPathInfo(path);
    item->SetOnAction(
        [this, handles](TObject* sender, TKorviRequest*, TKorviResponse*, bool& handled) {
          calls.push_back(static_cast<TKActionItem*>(sender)->GetDisplayName());
          handled = handles;
        });
    return item;
  }

  bool Dispatch(const std::string& path) {
    ReceivedRequest received("GET", path, "HTTP/1.0");
    TKorviResponse response(&received.Request());
    return items.DispatchAction(&received.Request(), &response);
  }
};

TEST(ActionItemTest, NewItemsTakeTheFirstFreeNumber) {
  TKActionItems items(nullptr);
  items.Add();
  TKActionItem* second = items.Add();
  items.Add();
  EXPECT_EQ(items.Items(0)->GetDisplayName(), "KActionItem1");
  EXPECT_EQ(second->GetDisplayName(), "KActionItem2");
  EXPECT_EQ(items.Items(2)->GetDisplayName(), "KActionItem3");
  items.Delete(1);
  EXPECT_EQ(items.Add()->GetDisplayName(), "KActionItem2");
  items.Items(0)->SetDisplayName("kactionitem4");
  EXPECT_EQ(items.Add()->GetDisplayName(), "KActionItem1");
  EXPECT_EQ(items.Add()->GetDisplayName(), "KActionItem5");
}

TEST(ActionItemTest, DuplicateNamesAreRefusedInAnyCase) {
  TKActionItems items(nullptr);
  TKActionItem* a = items.Add();
  TKActionItem* b = items.Add();
  test::ExpectThrowMessage<Exception>([&] { b->SetDisplayName("kACTIONiTEM1"); },
                                      "Error: Duplicate Action Name");
  EXPECT_EQ(b->GetDisplayName(), "KActionItem2");
  a->SetDisplayName("KACTIONITEM1");  // its own name in another case: no change
  EXPECT_EQ(a->GetDisplayName(), "KActionItem1");
  b->SetDisplayName("Shop");
  EXPECT_EQ(items.ActionByName("shop"), b);
  EXPECT_EQ(items.ActionByName("none"), nullptr);
}

TEST(ActionItemTest, PathInfoIsNormalised) {
  TKActionItems items(nullptr);
  TKActionItem* item = items.Add();
  item->SetPathInfo("shop\\cart");
  EXPECT_EQ(item->PathInfo(), "/shop/cart");
  item->SetPathInfo("/SHOP/CART");  // a change of case alone is not stored
  EXPECT_EQ(item->PathInfo(), "/shop/cart");
  item->SetPathInfo("");
  EXPECT_EQ(item->PathInfo(), "");
}

TEST(ActionItemTest, OnlyOneDefaultItem) {
  TKActionItems items(nullptr);
  TKActionItem* a = items.Add();
  TKActionItem* b = items.Add();
  a->SetDefault(true);
  b->SetDefault(true);
  EXPECT_FALSE(a->Default());
  EXPECT_TRUE(b->Default());
  EXPECT_TRUE(a->Enabled());
}

TEST(ActionDispatchTest, PrefixMatchInCollectionOrder) {
  Actions actions;
  actions.Add("/cgi", false)->SetDisplayName("cgi");
  actions.Add("/cgi/admin", true)->SetDisplayName("admin");
  EXPECT_TRUE(actions.Dispatch("/cgi/admin/x"));
  EXPECT_EQ(actions.calls, (std::vector<std::string>{"cgi", "admin"}));
}

TEST(ActionDispatchTest, FirstHandlingItemStopsTheWalk) {
  Actions actions;
  actions.Add("/cgi", true)->SetDisplayName("cgi");
  actions.Add("/cgi/admin", true)->SetDisplayName("admin");
  EXPECT_TRUE(actions.Dispatch("/cgi/admin/x"));
  EXPECT_EQ(actions.calls, (std::vector<std::string>{"cgi"}));
}

TEST(ActionDispatchTest, PrefixIgnoresCase) {
  Actions actions;
  actions.Add("/Shop", true);
  for (const char* path : {"/shop", "/SHOP/cart", "/shopping"}) {
    EXPECT_TRUE(actions.Dispatch(path)) << path;
  }
  EXPECT_FALSE(actions.Dispatch("/sho"));
  EXPECT_FALSE(actions.Dispatch("/x/shop"));
}

TEST(ActionDispatchTest, EmptyPathAndDisabledItemsNeverMatch) {
  Actions actions;
  actions.Add("", true);
  actions.Add("/a", true)->SetEnabled(false);
  EXPECT_FALSE(actions.Dispatch("/a"));
  EXPECT_TRUE(actions.calls.empty());
}

TEST(ActionDispatchTest, DefaultItemCatchesWhatNoItemHandled) {
  Actions actions;
  actions.Add("/a", false)->SetDisplayName("a");
  TKActionItem* fallback = actions.Add("/other", true);
  fallback->SetDisplayName("default");
  fallback->SetDefault(true);
  fallback->SetEnabled(false);  // a disabled default is still called as the default
  EXPECT_TRUE(actions.Dispatch("/a/page"));
  EXPECT_EQ(actions.calls, (std::vector<std::string>{"a", "default"}));
}

TEST(ActionDispatchTest, MatchingDefaultItemIsOfferedTwice) {
  Actions actions;
  TKActionItem* item = actions.Add("/a", false);
  item->SetDefault(true);
  EXPECT_FALSE(actions.Dispatch("/a"));
  EXPECT_EQ(actions.calls.size(), 2u);
}

TEST(ActionDispatchTest, NothingMatchingAndNoDefaultReturnsFalse) {
  Actions actions;
  actions.Add("/a", true);
  EXPECT_FALSE(actions.Dispatch("/b"));
  EXPECT_TRUE(actions.calls.empty());
  TKActionItem* silent = actions.items.Add();
  silent->SetPathInfo("/b");
  EXPECT_FALSE(actions.Dispatch("/b"));  // no handler assigned
}

TEST(ActionDispatchTest, HandlerErrorsReachTheCaller) {
  Actions actions;
  actions.items.Add()->SetPathInfo("/boom");
  actions.items.Items(0)->SetOnAction(
      [](TObject*, TKorviRequest*, TKorviResponse*, bool&) { throw Exception("boom"); });
  EXPECT_THROW(actions.Dispatch("/boom/x"), Exception);
}

TEST(ActionItemTest, AssignCopiesSettingsButNotNameOrHandler) {
  Actions source;
  TKActionItem* from = source.Add("/src", true);
  from->SetDefault(true);
  from->SetEnabled(false);
  TKActionItems target(nullptr);
  target.Add()->SetDisplayName("Mine");
  target.SetItems(0, *from);
  TKActionItem* to = target.Items(0);
  EXPECT_EQ(to->PathInfo(), "/src");
  EXPECT_TRUE(to->Default());
  EXPECT_FALSE(to->Enabled());
  EXPECT_EQ(to->GetDisplayName(), "Mine");
  EXPECT_FALSE(to->OnAction());

  TKActionItems copy(nullptr);
  copy.Assign(source.items);
  ASSERT_EQ(copy.Count(), 1);
  EXPECT_EQ(copy.Items(0)->PathInfo(), "/src");
  EXPECT_EQ(copy.Items(0)->GetDisplayName(), "KActionItem1");
}

TEST(ActionItemTest, DesignTimeColumns) {
  TKActionItems items(nullptr);
  TKActionItem* item = items.Add();
  item->SetPathInfo("/p");
  item->SetDefault(true);
  EXPECT_EQ(items.GetAttrCount(), 4);
  EXPECT_EQ(items.GetAttr(0), "Name");
  EXPECT_EQ(items.GetAttr(1), "PathInfo");
  EXPECT_EQ(items.GetAttr(2), "Enabled");
  EXPECT_EQ(items.GetAttr(3), "Default");
  EXPECT_EQ(items.GetAttr(4), "");
  EXPECT_EQ(items.GetItemAttr(0, 0), "KActionItem1");
  EXPECT_EQ(items.GetItemAttr(1, 0), "/p");
  EXPECT_EQ(items.GetItemAttr(2, 0), "True");
  EXPECT_EQ(items.GetItemAttr(3, 0), "*");
  EXPECT_EQ(items.GetItemAttr(5, 0), "");
  item->SetEnabled(false);
  item->SetDefault(false);
  EXPECT_EQ(items.GetItemAttr(2, 0), "False");
  EXPECT_EQ(items.GetItemAttr(3, 0), "");
}

}  // namespace
}  // namespace korvi
