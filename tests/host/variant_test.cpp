// Variant: conversions between kinds, failures and comparison.
#include "korvi/host/variant.h"

#include <gtest/gtest.h>

#include "korvi/host/datetime.h"
#include "korvi/host/exceptions.h"
#include "tests/support/expect_message.h"

namespace korvi {
namespace {

TEST(Variant, AsStringOfEveryKind) {
  EXPECT_EQ(Variant().AsString(), "");
  EXPECT_EQ(Variant(-12).AsString(), "-12");
  EXPECT_EQ(Variant(1.5).AsString(), "1.5");
  EXPECT_EQ(Variant(0.1).AsString(), "0.1");
  EXPECT_EQ(Variant(100.0).AsString(), "100");
  EXPECT_EQ(Variant("text").AsString(), "text");
  EXPECT_EQ(Variant(true).AsString(), "True");
  EXPECT_EQ(Variant(false).AsString(), "False");
  const TDateTime t = EncodeDate(2026, 12, 8) + EncodeTime(4, 5, 9, 0);
  EXPECT_EQ(Variant::FromDateTime(t).AsString(), DateTimeToStr(t));
  EXPECT_EQ(Variant::FromCurrency(12.34567).AsString(), "12.3457");
  EXPECT_EQ(Variant::FromCurrency(-3.1).AsString(), "-3.1");
  EXPECT_EQ(Variant::FromCurrency(5).AsString(), "5");
  EXPECT_EQ(Variant::FromCurrency(0.00004).AsString(), "0");
}

TEST(Variant, NumericConversions) {
  EXPECT_EQ(Variant("42").AsInteger(), 42);
  EXPECT_EQ(Variant("$10").AsInteger(), 16);
  EXPECT_EQ(Variant("2.5").AsInteger(), 2);
  EXPECT_EQ(Variant(3.5).AsInteger(), 4);
  EXPECT_EQ(Variant(-1.6).AsInteger(), -2);
  EXPECT_EQ(Variant(true).AsInteger(), 1);
  EXPECT_EQ(Variant(std::int64_t{1} << 40).AsInteger(), std::int64_t{1} << 40);
  EXPECT_DOUBLE_EQ(Variant("-2.5e1").AsFloat(), -25);
  EXPECT_DOUBLE_EQ(Variant(7).AsFloat(), 7);
  EXPECT_DOUBLE_EQ(Variant::FromCurrency(1.23456).AsFloat(), 1.2346);
  EXPECT_DOUBLE_EQ(Variant::FromDateTime(1.25).AsFloat(), 1.25);
}

TEST(Variant, FailedConversionsNameBothTypes) {
  test::ExpectThrowMessage<EVariantError>([] { Variant("abc").AsInteger(); },
                                          "Could not convert variant of type (String) into type "
                                          "(Integer)");
  test::ExpectThrowMessage<EVariantError>([] { Variant().AsFloat(); },
                                          "Could not convert variant of type (Null) into type "
                                          "(Double)");
  EXPECT_THROW(Variant().AsInteger(), EVariantError);
  EXPECT_THROW(Variant().AsDateTime(), EVariantError);
  EXPECT_THROW(Variant("1e400").AsFloat(), EVariantError);
  EXPECT_THROW(Variant(1e30).AsInteger(), EVariantError);
  EXPECT_THROW(Variant("maybe").AsBoolean(), EVariantError);
  EXPECT_THROW(Variant("not a date").AsDateTime(), EVariantError);
}

TEST(Variant, BooleansFromTextsAndNumbers) {
  EXPECT_TRUE(Variant("TRUE").AsBoolean());
  EXPECT_TRUE(Variant("true").AsBoolean());
  EXPECT_FALSE(Variant("False").AsBoolean());
  EXPECT_TRUE(Variant("-1").AsBoolean());
  EXPECT_FALSE(Variant("0").AsBoolean());
  EXPECT_TRUE(Variant("0.5").AsBoolean());
  EXPECT_TRUE(Variant(2).AsBoolean());
  EXPECT_FALSE(Variant(0.0).AsBoolean());
  EXPECT_FALSE(Variant().AsBoolean());
}

TEST(Variant, DateTimesFromTextsAndNumbers) {
  const TDateTime t = EncodeDate(2026, 12, 8) + EncodeTime(4, 5, 9, 0);
  EXPECT_DOUBLE_EQ(Variant(DateTimeToStr(t)).AsDateTime(), t);
  EXPECT_DOUBLE_EQ(Variant("2026-12-08").AsDateTime(), EncodeDate(2026, 12, 8));
  EXPECT_DOUBLE_EQ(Variant(34644).AsDateTime(), EncodeDate(1994, 11, 6));
  EXPECT_EQ(Variant::FromDateTime(t).VarType(), TVarType::varDate);
}

TEST(Variant, EqualityAcrossKinds) {
  EXPECT_EQ(Variant(), Variant());
  EXPECT_FALSE(Variant() == Variant(0));
  EXPECT_FALSE(Variant("") == Variant());
  EXPECT_EQ(Variant(2), Variant(2.0));
  EXPECT_EQ(Variant(1), Variant(true));
  EXPECT_EQ(Variant("15"), Variant(15));
  EXPECT_FALSE(Variant("abc") == Variant("ABC"));
  EXPECT_FALSE(Variant(1.5) == Variant(2));
  EXPECT_EQ(Variant::FromCurrency(2.5), Variant(2.5));
}

}  // namespace
}  // namespace korvi
