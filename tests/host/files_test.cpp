// File-system queries: existence, size and time, path pieces, masks and
// directory searches.
#include "korvi/host/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <ctime>

#include "tests/support/temp_dir.h"

namespace korvi {
namespace {

TEST(Files, ExistenceSizeAndTime) {
  test::TempDir dir;
  const std::string file = dir.Write("a.txt", "12345");
  dir.MakeDir("sub");
  EXPECT_TRUE(FileExists(file));
  EXPECT_FALSE(FileExists(dir.File("sub")));
  EXPECT_FALSE(FileExists(dir.File("none")));
  EXPECT_FALSE(FileExists(""));
  EXPECT_TRUE(DirectoryExists(dir.File("sub")));
  EXPECT_FALSE(DirectoryExists(file));
  EXPECT_EQ(FileSize(file), 5);
  EXPECT_EQ(FileSize(dir.File("none")), -1);
  EXPECT_EQ(FileDateTime(dir.File("none")), -1.0);

  // 2001-09-09 01:46:40 UTC, read back in local time.
  struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  const std::time_t when = 1000000000;
  struct tm local {};
  localtime_r(&when, &local);
  const TDateTime expected = EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) +
                             EncodeTime(local.tm_hour, local.tm_min, local.tm_sec, 0);
  EXPECT_DOUBLE_EQ(FileDateTime(file), expected);
}

TEST(Files, CurrentDirectoryHasNoTrailingDelimiter) {
  const std::string current = GetCurrentDir();
  ASSERT_FALSE(current.empty());
  EXPECT_EQ(current[0], '/');
  EXPECT_TRUE(current == "/" || current.back() != '/');
  EXPECT_TRUE(DirectoryExists(current));
  EXPECT_EQ(ExpandFileName("map.ini"), IncludeTrailingPathDelimiter(current) + "map.ini");
  EXPECT_EQ(ExpandFileName("/etc/map.ini"), "/etc/map.ini");
  EXPECT_EQ(ExpandFileName(""), "");
}

TEST(Files, PathPieces) {
  EXPECT_EQ(IncludeTrailingPathDelimiter("/www"), "/www/");
  EXPECT_EQ(IncludeTrailingPathDelimiter("/www/"), "/www/");
  EXPECT_EQ(IncludeTrailingPathDelimiter(""), "");
  EXPECT_EQ(ExtractFileExt("dir/name.ext"), ".ext");
  EXPECT_EQ(ExtractFileExt("dir/archive.tar.gz"), ".gz");
  EXPECT_EQ(ExtractFileExt("dir.d/name"), "");
  EXPECT_EQ(ExtractFileExt("name."), ".");
  EXPECT_EQ(ExtractFileName("dir/name.ext"), "name.ext");
  EXPECT_EQ(ExtractFileName("name.ext"), "name.ext");
  EXPECT_EQ(ExtractFileName("dir/"), "");
  EXPECT_EQ(ExtractFilePath("dir/name.ext"), "dir/");
  EXPECT_EQ(ExtractFilePath("/a/b/c"), "/a/b/");
  EXPECT_EQ(ExtractFilePath("name"), "");
}

TEST(Files, MasksMatchWithoutCase) {
  struct Case {
    const char* name;
    const char* mask;
    bool matches;
  } cases[] = {
      {"index.htm", "*.*", true},
      {"README", "*.*", true},
      {".hidden", "*.*", true},
      {"Index.HTM", "*.htm", true},
      {"index.html", "*.htm", false},
      {"a.htm.bak", "*.htm", false},
      {"page1.htm", "page?.htm", true},
      {"page10.htm", "page?.htm", false},
      {"readme", "readme.*", true},
      {"readme.txt", "README.*", true},
      {"anything", "*", true},
      {"", "*", true},
      {"abc", "a*c", true},
      {"abcbc", "a*bc", true},
      {"abd", "a*c", false},
      {"x", "", false},
      {"a.b.c", "*.c", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MatchesMask(c.name, c.mask), c.matches) << c.name << " ~ " << c.mask;
  }
}

TEST(Files, FindFilesSortsAndDescribesEntries) {
  test::TempDir dir;
  dir.Write("b.htm", "bb");
  dir.Write("A.txt", "a");
  dir.Write(".secret", "s");
  dir.Write("c", "ccc");
  dir.MakeDir("Sub");
  ASSERT_EQ(::symlink("nowhere", dir.File("dangling").c_str()), 0);

  const std::vector<TSearchRec> all = FindFiles(dir.Path(), "*.*");
  std::vector<std::string> names;
  for (const TSearchRec& rec : all)
    names.push_back(rec.Name);
  EXPECT_EQ(names, (std::vector<std::string>{".secret", "A.txt", "b.htm", "c", "dangling", "Sub"}));
  EXPECT_TRUE(all[0].IsHidden);
  EXPECT_FALSE(all[1].IsHidden);
  EXPECT_EQ(all[2].Size, 2);
  EXPECT_FALSE(all[2].IsDirectory);
  EXPECT_TRUE(all[5].IsDirectory);
  EXPECT_EQ(all[5].Size, 0);
  EXPECT_GT(all[2].Time, 0);
  EXPECT_DOUBLE_EQ(all[2].Time, FileDateTime(dir.File("b.htm")));

  const std::vector<TSearchRec> pages = FindFiles(dir.Path(), "*.HTM");
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0].Name, "b.htm");
  EXPECT_TRUE(FindFiles(dir.File("missing"), "*.*").empty());
}

}  // namespace
}  // namespace korvi
