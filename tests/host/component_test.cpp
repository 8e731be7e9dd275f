// TComponent: ownership and freeing order, lookup by name, removal
// notifications, designing and loading states.
#include "korvi/host/component.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvi {
namespace {

// A component that records what happens to it in a shared log.
class Probe : public TComponent {
 public:
  Probe(TComponent* owner, std::string name, std::vector<std::string>* log)
      : TComponent(owner), log_(log) {
    SetName(std::move(name));
  }
  ~Probe() override { log_->push_back("free " + Name()); }

  // The component this probe refers to; cleared when it goes away.
  TComponent* ref = nullptr;

 protected:
  void Notification(TComponent* component, TOperation operation) override {
    TComponent::Notification(component, operation);
    if (operation == TOperation::opRemove) {
      log_->push_back(Name() + " hears " + component->Name() + " go");
      if (component == ref) ref = nullptr;
    }
  }

 private:
  std::vector<std::string>* log_;
};

// Owned components are freed by their owner, last created first.
TEST(ComponentTest, OwnerFreesOwnedLastFirst) {
  std::vector<std::string> log;
  auto* owner = new Probe(nullptr, "owner", &log);
  new Probe(owner, "a", &log);
  auto* b = new Probe(owner, "b", &log);
  new Probe(b, "b1", &log);
  new Probe(owner, "c", &log);
  ASSERT_EQ(owner->ComponentCount(), 3);
  EXPECT_EQ(owner->Components(1), b);
  EXPECT_EQ(b->Owner(), owner);
  log.clear();
  delete owner;
  EXPECT_EQ(log, (std::vector<std::string>{"free owner", "free c", "free b", "free b1", "free a"}));
}

// Lookup ignores case; a freed component leaves its owner's list.
TEST(ComponentTest, FindComponentIgnoresCaseAndForgetsFreed) {
  std::vector<std::string> log;
  TComponent owner(nullptr);
  auto* server = new Probe(&owner, "KorviServer1", &log);
  EXPECT_EQ(owner.FindComponent("korviserver1"), server);
  EXPECT_EQ(owner.FindComponent("KORVISERVER1"), server);
  EXPECT_EQ(owner.FindComponent("KorviServer"), nullptr);
  EXPECT_EQ(owner.FindComponent(""), nullptr);
  delete server;
  EXPECT_EQ(owner.ComponentCount(), 0);
  EXPECT_EQ(owner.FindComponent("KorviServer1"), nullptr);
}

// A component going away tells its owner's components, and its
// free-notification partners owned elsewhere drop their references.
TEST(ComponentTest, RemovalNotifiesSiblingsAndPartners) {
  std::vector<std::string> log;
  Probe form(nullptr, "form", &log);
  Probe other_form(nullptr, "other", &log);
  auto* socket = new Probe(&form, "socket", &log);
  auto* sibling = new Probe(&form, "sibling", &log);
  auto* watcher = new Probe(&other_form, "watcher", &log);
  sibling->ref = socket;
  watcher->ref = socket;
  watcher->FreeNotification(socket);
  delete socket;
  EXPECT_EQ(sibling->ref, nullptr);
  EXPECT_EQ(watcher->ref, nullptr);
  // The partner link is gone both ways: freeing the watcher now tells nobody
  // about the freed socket, and nothing touches freed memory.
  log.clear();
  delete watcher;
  EXPECT_EQ(log, (std::vector<std::string>{"free watcher", "other hears watcher go"}));
}

// RemoveFreeNotification ends the link: the partner is not told any more.
TEST(ComponentTest, RemovedFreeNotificationIsSilent) {
  std::vector<std::string> log;
  Probe watcher(nullptr, "watcher", &log);
  auto* target = new Probe(nullptr, "target", &log);
  watcher.ref = target;
  watcher.FreeNotification(target);
  watcher.RemoveFreeNotification(target);
  delete target;
  EXPECT_EQ(watcher.ref, target);
}

// Ownership moves with InsertComponent; RemoveComponent hands the component
// back to the caller.
TEST(ComponentTest, InsertAndRemoveMoveOwnership) {
  std::vector<std::string> log;
  TComponent first(nullptr);
  TComponent second(nullptr);
  auto* moved = new Probe(&first, "moved", &log);
  second.InsertComponent(moved);
  EXPECT_EQ(first.ComponentCount(), 0);
  EXPECT_EQ(second.ComponentCount(), 1);
  EXPECT_EQ(moved->Owner(), &second);
  second.RemoveComponent(moved);
  EXPECT_EQ(moved->Owner(), nullptr);
  EXPECT_EQ(second.ComponentCount(), 0);
  delete moved;
  // Each removal was broadcast to the owner's components, the moved one too;
  // freeing it without an owner tells nobody.
  EXPECT_EQ(log, (std::vector<std::string>{"moved hears moved go", "moved hears moved go",
                                           "free moved"}));
}

// Designing reaches owned components, also those inserted later; loading
// begins and ends with BeginLoading and Loaded.
TEST(ComponentTest, DesigningAndLoadingStates) {
  TComponent form(nullptr);
  auto* early = new TComponent(&form);
  auto* grandchild = new TComponent(early);
  form.SetDesigning(true);
  auto* late = new TComponent(&form);
  EXPECT_TRUE(early->IsDesigning());
  EXPECT_TRUE(grandchild->IsDesigning());
  EXPECT_TRUE(late->IsDesigning());
  form.SetDesigning(false);
  EXPECT_FALSE(grandchild->IsDesigning());
  EXPECT_FALSE(late->IsDesigning());

  form.BeginLoading();
  EXPECT_TRUE(form.IsLoading());
  EXPECT_NE(form.ComponentState() & csLoading, 0u);
  form.Loaded();
  EXPECT_FALSE(form.IsLoading());
}

}  // namespace
}  // namespace korvi
