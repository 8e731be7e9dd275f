// Cursor, field and row behaviour of data sets, over rows supplied in code.
#include "korvi/data/memory_data_set.h"

#include <gtest/gtest.h>

#include <string>

#include "korvi/data/database_error.h"
#include "korvi/host/exceptions.h"

namespace korvi {
namespace {

// A data set with one field "Name" and the given rows.
void Fill(TMemoryDataSet& data, std::initializer_list<const char*> names) {
  data.AddField("Name");
  for (const char* name : names)
    data.AppendRecord({Variant(name)});
}

std::string WalkForwards(TDataSet& data) {
  std::string seen;
  for (data.First(); !data.Eof(); data.Next())
    seen += data.FieldByName("Name").AsString();
  return seen;
}

std::string WalkBackwards(TDataSet& data) {
  std::string seen;
  for (data.Last(); !data.Bof(); data.Prior())
    seen += data.FieldByName("Name").AsString();
  return seen;
}

// Walks in both directions visit every row once, in order, for several sizes.
TEST(DataSetWalk, BothDirectionsVisitEveryRow) {
  struct Case {
    std::initializer_list<const char*> rows;
    const char* forwards;
    const char* backwards;
  };
  const Case cases[] = {{{}, "", ""}, {{"a"}, "a", "a"}, {{"a", "b", "c"}, "abc", "cba"}};
  for (const Case& c : cases) {
    TMemoryDataSet data(nullptr);
    Fill(data, c.rows);
    data.Open();
    EXPECT_EQ(WalkForwards(data), c.forwards);
    EXPECT_EQ(WalkBackwards(data), c.backwards);
    EXPECT_EQ(data.RecordCount(), static_cast<int>(c.rows.size()));
  }
}

// First sets Bof, Last sets Eof; stepping past either end keeps the cursor on
// the end row and sets the flag; stepping back clears it.
TEST(DataSetWalk, FlagsAtBothEnds) {
  TMemoryDataSet data(nullptr);
  Fill(data, {"a", "b"});
  data.Open();
  EXPECT_TRUE(data.Bof());
  EXPECT_FALSE(data.Eof());
  data.Next();
  EXPECT_FALSE(data.Bof());
  EXPECT_FALSE(data.Eof());
  data.Next();
  EXPECT_TRUE(data.Eof());
  EXPECT_EQ(data.FieldByName("name").AsString(), "b");
  data.Next();
  EXPECT_EQ(data.FieldByName("name").AsString(), "b");
  data.Prior();
  EXPECT_FALSE(data.Eof());
  EXPECT_EQ(data.FieldByName("name").AsString(), "a");
  data.Prior();
  EXPECT_TRUE(data.Bof());
  EXPECT_EQ(data.FieldByName("name").AsString(), "a");

  data.Last();
  EXPECT_TRUE(data.Eof());
  EXPECT_FALSE(data.Bof());
  EXPECT_EQ(data.FieldByName("name").AsString(), "b");
}

// An empty open data set is at both ends and its fields read null.
TEST(DataSetWalk, EmptyDataSetReadsNull) {
  TMemoryDataSet data(nullptr);
  Fill(data, {});
  data.Open();
  EXPECT_TRUE(data.Eof());
  EXPECT_TRUE(data.Bof());
  EXPECT_TRUE(data.FieldByName("Name").IsNull());
  EXPECT_EQ(data.FieldByName("Name").AsString(), "");
}

// FindField answers none for a missing field; FieldByName raises with its name.
TEST(DataSetFields, LookupByNameWithoutRegardToCase) {
  TMemoryDataSet data(nullptr);
  TField* city = data.AddField("City");
  data.AddField("Zip");
  EXPECT_EQ(data.FindField("CITY"), city);
  EXPECT_EQ(data.FindField("Nothing"), nullptr);
  EXPECT_EQ(&data.FieldByName("city"), city);
  EXPECT_EQ(data.Fields(1)->FieldName(), "Zip");
  EXPECT_THROW(data.Fields(2), EListError);
  try {
    data.FieldByName("Nothing");
    FAIL() << "FieldByName raised nothing";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "Field 'Nothing' not found");
  }
}

// A closed data set refuses positioning and field reads, and reports both ends.
TEST(DataSetState, ClosedDataSetRaises) {
  TMemoryDataSet data(nullptr);
  Fill(data, {"a"});
  TField& name = data.FieldByName("Name");
  EXPECT_THROW(data.First(), EDatabaseError);
  EXPECT_THROW(data.Next(), EDatabaseError);
  EXPECT_THROW(data.RecordCount(), EDatabaseError);
  EXPECT_TRUE(data.Eof());
  EXPECT_TRUE(data.Bof());
  try {
    name.AsString();
    FAIL() << "reading a closed data set raised nothing";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "Cannot perform this operation on a closed dataset");
  }
  data.SetActive(true);
  EXPECT_EQ(name.AsString(), "a");
  data.SetActive(false);
  EXPECT_FALSE(data.Active());
  EXPECT_THROW(name.AsString(), EDatabaseError);
}

// Rows survive Close and Open; changes are refused while open; missing
// values read null and surplus values are refused.
TEST(MemoryDataSet, RowsAreKeptAndChangedOnlyWhileClosed) {
  TMemoryDataSet data(nullptr);
  data.AddField("Name");
  data.AddField("Age");
  data.AppendRecord({Variant("ann"), Variant(41)});
  data.AppendRecord({Variant("bob")});
  EXPECT_THROW(data.AppendRecord({Variant("x"), Variant(1), Variant(2)}), EDatabaseError);

  data.Open();
  EXPECT_EQ(data.FieldByName("Age").AsInteger(), 41);
  data.Next();
  EXPECT_TRUE(data.FieldByName("Age").IsNull());
  EXPECT_THROW(data.AppendRecord({Variant("cy")}), EDatabaseError);
  EXPECT_THROW(data.AddField("More"), EDatabaseError);
  EXPECT_THROW(data.EmptyDataSet(), EDatabaseError);

  data.Close();
  data.Open();
  EXPECT_EQ(data.RecordCount(), 2);
  EXPECT_EQ(data.FieldByName("Name").AsString(), "ann");

  data.Close();
  TField* more = data.AddField("More");
  data.EmptyDataSet();
  data.AppendRecord({Variant("cy"), Variant(7), Variant(true)});
  data.Open();
  EXPECT_EQ(data.RecordCount(), 1);
  EXPECT_TRUE(more->AsBoolean());
}

}  // namespace
}  // namespace korvi
