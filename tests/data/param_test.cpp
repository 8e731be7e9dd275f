// Parameters: typed setters, declared types and the rebuilt list.
#include "korvi/data/param.h"

#include <gtest/gtest.h>

#include "korvi/data/database_error.h"
#include "korvi/host/exceptions.h"

namespace korvi {
namespace {

// Every typed setter stores its value and declares its type.
TEST(Param, TypedSettersDeclareTheirType) {
  struct Case {
    void (*set)(TParam&);
    TFieldType type;
    Variant value;
  };
  const Case cases[] = {
      {[](TParam& p) { p.SetAsString("Ann"); }, ftString, Variant("Ann")},
      {[](TParam& p) { p.SetAsSmallInt(-7); }, ftSmallint, Variant(-7)},
      {[](TParam& p) { p.SetAsInteger(2000000000); }, ftInteger, Variant(2000000000)},
      {[](TParam& p) { p.SetAsWord(65535); }, ftWord, Variant(65535)},
      {[](TParam& p) { p.SetAsBoolean(true); }, ftBoolean, Variant(true)},
      {[](TParam& p) { p.SetAsFloat(2.5); }, ftFloat, Variant(2.5)},
      {[](TParam& p) { p.SetAsCurrency(1.23456); }, ftCurrency, Variant::FromCurrency(1.2346)},
      {[](TParam& p) { p.SetAsBCD(-0.00005); }, ftBCD, Variant::FromCurrency(-0.0001)},
      {[](TParam& p) { p.SetAsDate(45351); }, ftDate, Variant::FromDateTime(45351)},
      {[](TParam& p) { p.SetAsTime(0.25); }, ftTime, Variant::FromDateTime(0.25)},
      {[](TParam& p) { p.SetAsDateTime(45351.5); }, ftDateTime, Variant::FromDateTime(45351.5)},
      {[](TParam& p) { p.SetAsBlob(std::string("a\0b", 3)); }, ftBlob,
       Variant(std::string("a\0b", 3))},
      {[](TParam& p) { p.SetValue(Variant::FromDateTime(45351.75)); }, ftCursor,
       Variant::FromDateTime(45351.75)},
  };
  for (const Case& c : cases) {
    TParam param("p");
    param.SetDataType(ftCursor);
    c.set(param);
    EXPECT_EQ(param.DataType(), c.type) << c.value.AsString();
    EXPECT_EQ(param.Value().VarType(), c.value.VarType()) << c.value.AsString();
    EXPECT_TRUE(param.Value() == c.value) << param.AsString() << " vs " << c.value.AsString();
  }
}

// A text keeps a declared text type; other declared types become ftString.
TEST(Param, TextKeepsDeclaredTextType) {
  TParam memo("m");
  memo.SetDataType(ftMemo);
  memo.SetAsString("long text");
  EXPECT_EQ(memo.DataType(), ftMemo);
  TParam number("n");
  number.SetDataType(ftInteger);
  number.SetAsString("");
  EXPECT_EQ(number.DataType(), ftString);
  EXPECT_FALSE(number.IsNull());
  number.Clear();
  EXPECT_TRUE(number.IsNull());
}

// Rebuilding keeps the type and value of parameters whose names stay.
TEST(Params, RebuildKeepsSurvivingParameters) {
  TParams params;
  params.Rebuild({"id", "name"});
  params.ParamByName("ID").SetAsInteger(5);
  params.ParamByName("name").SetAsString("Ann");
  params.Rebuild({"Name", "city"});
  ASSERT_EQ(params.Count(), 2);
  EXPECT_EQ(params[0].Name(), "Name");
  EXPECT_EQ(params[0].DataType(), ftString);
  EXPECT_EQ(params[0].AsString(), "Ann");
  EXPECT_EQ(params[1].Name(), "city");
  EXPECT_EQ(params[1].DataType(), ftUnknown);
  EXPECT_TRUE(params[1].IsNull());
  EXPECT_EQ(params.FindParam("id"), nullptr);
  EXPECT_THROW(params.Items(2), EListError);
  EXPECT_THROW(params.Items(-1), EListError);
  try {
    params.ParamByName("id");
    FAIL() << "ParamByName raised nothing";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "Parameter 'id' not found");
  }
}

}  // namespace
}  // namespace korvi
