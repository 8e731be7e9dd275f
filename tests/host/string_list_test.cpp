// TStringList: indexing, name=value access, text forms, sorting, owned
// objects and file round trips.
#include "korvi/host/string_list.h"

#include <gtest/gtest.h>

#include "korvi/host/exceptions.h"
#include "korvi/host/streams.h"
#include "tests/support/expect_message.h"
#include "tests/support/string_lines.h"
#include "tests/support/temp_dir.h"

namespace korvi {
namespace {

using test::Lines;
using V = test::LineVector;

TEST(StringList, IndexingOutsideTheListRaises) {
  TStringList list{"a", "b"};
  EXPECT_THROW(list.Strings(2), EListError);
  EXPECT_THROW(list.Put(-1, "x"), EListError);
  EXPECT_THROW(list.Delete(2), EListError);
  EXPECT_THROW(list.Insert(3, "x"), EListError);
  EXPECT_THROW(list.Objects(5), EListError);
  test::ExpectThrowMessage<EListError>([&] { list.Strings(7); }, "List index out of bounds (7)");
  list.Insert(2, "c");
  list.Insert(0, "z");
  list.Delete(1);
  EXPECT_EQ(Lines(list), (V{"z", "b", "c"}));
}

TEST(StringList, NamesCompareWithoutCaseAndTheFirstLineWins) {
  TStringList list{"plain line", "Host=one", "host=two", "empty=", "=nameless", "a=b=c"};
  EXPECT_EQ(list.Values("HOST"), "one");
  EXPECT_EQ(list.IndexOfName("hOsT"), 1);
  EXPECT_EQ(list.Values("empty"), "");
  EXPECT_EQ(list.Values(""), "nameless");
  EXPECT_EQ(list.Values("a"), "b=c");
  EXPECT_EQ(list.Values("missing"), "");
  // A line without "=" has neither name nor value and matches no name.
  EXPECT_EQ(list.Names(0), "");
  EXPECT_EQ(list.ValueFromIndex(0), "");
  EXPECT_EQ(list.IndexOfName("plain line"), -1);
  EXPECT_EQ(list.Names(5), "a");
  EXPECT_EQ(list.IndexOf("PLAIN LINE"), 0);
  EXPECT_EQ(list.IndexOf("plain"), -1);
}

TEST(StringList, SetValueReplacesAppendsAndDeletes) {
  TStringList list{"A=1", "b=2", "a=3"};
  list.SetValue("a", "x");
  EXPECT_EQ(Lines(list), (V{"a=x", "b=2", "a=3"}));
  list.SetValue("c", "4");
  EXPECT_EQ(Lines(list), (V{"a=x", "b=2", "a=3", "c=4"}));
  list.SetValue("A", "");
  EXPECT_EQ(Lines(list), (V{"b=2", "a=3", "c=4"}));
  list.SetValue("none", "");
  EXPECT_EQ(list.Count(), 3);
}

TEST(StringList, TextEndsEveryLineWithCrLf) {
  TStringList list{"a", "", "b"};
  EXPECT_EQ(list.Text(), "a\r\n\r\nb\r\n");
  EXPECT_EQ(TStringList().Text(), "");
}

TEST(StringList, SetTextSplitsAtEveryLineEnd) {
  const std::pair<const char*, V> cases[] = {
      {"a\r\nb\nc\rd", {"a", "b", "c", "d"}},
      {"a\r\n", {"a"}},
      {"a\n\n", {"a", ""}},
      {"\r\n", {""}},
      {"", {}},
      {"a\n\rb", {"a", "", "b"}},
      {"a\r\r\nb", {"a", "", "b"}},
  };
  for (const auto& [text, lines] : cases) {
    TStringList list{"old"};
    list.SetText(text);
    EXPECT_EQ(Lines(list), lines) << text;
  }
  TStringList list;
  list.SetText(std::string("x\0y\nz", 5));
  EXPECT_EQ(Lines(list), (V{std::string("x\0y", 3), "z"}));
}

TEST(StringList, SortIsStableAndCaseInsensitive) {
  TStringList list{"b=1", "B=2", "a", "_x", "A", "/img", "/Docs"};
  list.Sort();
  EXPECT_EQ(Lines(list), (V{"/Docs", "/img", "a", "A", "b=1", "B=2", "_x"}));
}

TEST(StringList, CommaTextQuotesWhereNeeded) {
  TStringList list{"plain", "two words", "a,b", "say \"hi\"", ""};
  EXPECT_EQ(list.CommaText(), "plain,\"two words\",\"a,b\",\"say \"\"hi\"\"\",\"\"");
}

class Tracked : public TObject {
 public:
  explicit Tracked(int& alive) : alive_(alive) { ++alive_; }
  ~Tracked() override { --alive_; }

 private:
  int& alive_;
};

// An owning list frees the objects of deleted, replaced and remaining lines;
// a list that does not own them leaves them alone.
TEST(StringList, OwnedObjectsAreFreedExactlyOnce) {
  int alive = 0;
  {
    TStringList list(true);
    list.AddObject("a", new Tracked(alive));
    list.AddObject("b", new Tracked(alive));
    list.AddObject("c", new Tracked(alive));
    list.InsertObject(0, "d", new Tracked(alive));
    EXPECT_EQ(alive, 4);
    list.Delete(0);
    EXPECT_EQ(alive, 3);
    TObject* same = list.Objects(0);
    list.PutObject(0, same);
    EXPECT_EQ(alive, 3);
    list.PutObject(0, new Tracked(alive));
    EXPECT_EQ(alive, 3);
    list.Put(1, "renamed");
    EXPECT_EQ(alive, 3);
  }
  EXPECT_EQ(alive, 0);

  Tracked kept(alive);
  {
    TStringList list;
    list.AddObject("k", &kept);
    list.Clear();
  }
  EXPECT_EQ(alive, 1);
}

TEST(StringList, AssignAndAddStringsCopyLinesAndObjects) {
  TObject marker;
  TStringList source;
  source.AddObject("x=1", &marker);
  source.Add("y=2");
  TStringList copy{"old"};
  copy.Assign(source);
  EXPECT_EQ(Lines(copy), (V{"x=1", "y=2"}));
  EXPECT_EQ(copy.Objects(0), &marker);
  copy.Assign(copy);
  EXPECT_EQ(copy.Count(), 2);
  copy.AddStrings(copy);
  EXPECT_EQ(Lines(copy), (V{"x=1", "y=2", "x=1", "y=2"}));
  EXPECT_EQ(copy.Objects(2), &marker);
}

TEST(StringList, FileAndStreamRoundTrips) {
  test::TempDir dir;
  const std::string path = dir.Write("lines.txt", "one\ntwo\r\nthree");
  TStringList list;
  list.LoadFromFile(path);
  EXPECT_EQ(Lines(list), (V{"one", "two", "three"}));
  list.Add("four");
  list.SaveToFile(path);
  EXPECT_EQ(test::ReadFile(path), "one\r\ntwo\r\nthree\r\nfour\r\n");
  EXPECT_THROW(list.LoadFromFile(dir.File("missing.txt")), EFOpenError);

  // Loading from a stream reads from its position on.
  TStringStream stream("skip\nkeep\n");
  stream.SetPosition(5);
  list.LoadFromStream(stream);
  EXPECT_EQ(Lines(list), (V{"keep"}));
  list.SaveToStream(stream);
  EXPECT_EQ(stream.DataString(), "skip\nkeep\nkeep\r\n");
}

}  // namespace
}  // namespace korvi
