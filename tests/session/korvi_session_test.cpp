// One session's storage: values and objects under names in any case, the
// freeing of replaced and left-behind objects, and the default expiration.
#include "korvi/session/korvi_session.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace korvi {
namespace {

// An object that reports its destruction through a shared counter.
class Tracked : public TObject {
 public:
  explicit Tracked(int& freed, int tag = 0) : freed_(freed), tag(tag) {}
  ~Tracked() override { ++freed_; }
  int& freed_;
  const int tag;
};

TEST(KorviSessionTest, VariantsUnderNamesInAnyCase) {
  TKorviSession session;
  session.SetVariant("Count", 3);
  EXPECT_EQ(session.GetVariant("COUNT").AsInteger(), 3);
  EXPECT_EQ(session.GetVariant("count").AsInteger(), 3);
  session.SetVariant("COUNT", "four");
  EXPECT_EQ(session.GetVariant("Count").AsString(), "four");
  EXPECT_TRUE(session.GetVariant("Other").IsNull());
}

TEST(KorviSessionTest, ObjectsUnderNamesInAnyCaseAndReplacedOnesAreFreed) {
  int freed = 0;
  TKorviSession session;
  EXPECT_EQ(session.GetObject("Cart"), nullptr);
  auto first = std::make_shared<Tracked>(freed, 1);
  Tracked* first_address = first.get();
  session.SetObject("Cart", std::move(first));
  EXPECT_EQ(session.GetObject("CART").get(), first_address);

  session.SetObject("cart", session.GetObject("Cart"));  // the same object again
  EXPECT_EQ(freed, 0);
  session.SetObject("CART", std::make_shared<Tracked>(freed, 2));
  EXPECT_EQ(freed, 1);
  EXPECT_EQ(std::dynamic_pointer_cast<Tracked>(session.GetObject("cart"))->tag, 2);
  session.SetObject("Cart", nullptr);
  EXPECT_EQ(freed, 2);
  EXPECT_EQ(session.GetObject("Cart"), nullptr);
}

// Objects go with their session, except one a caller still holds, which
// lives until that caller lets go.
TEST(KorviSessionTest, ObjectsAreFreedWithTheSessionOrTheirLastHolder) {
  int freed = 0;
  std::shared_ptr<TObject> held;
  {
    TKorviSession session;
    session.SetObject("a", std::make_unique<Tracked>(freed));
    session.SetObject("b", std::make_unique<Tracked>(freed));
    held = session.GetObject("b");
  }
  EXPECT_EQ(freed, 1);
  held.reset();
  EXPECT_EQ(freed, 2);
}

TEST(KorviSessionTest, ExpiresAQuarterOfAnHourFromItsCreation) {
  const TDateTime before = Now();
  TKorviSession session;
  const TDateTime after = Now();
  EXPECT_GE(session.GetExpiration(), before + 1.0 / 96);
  EXPECT_LE(session.GetExpiration(), after + 1.0 / 96);
  session.SetExpiration(12.5);
  EXPECT_EQ(session.GetExpiration(), 12.5);
}

}  // namespace
}  // namespace korvi
