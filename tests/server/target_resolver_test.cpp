// Target resolution over real document trees: root mode, URL map mode,
// default files, walking upwards, case-insensitive segments, hidden names
// and attempts to leave the root.
#include "korvi/server/target_resolver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "korvi/host/string_list.h"
#include "tests/support/temp_dir.h"

namespace korvi {
namespace {

class TargetResolverTest : public ::testing::Test {
 protected:
  TargetResolverTest() {
    dir.Write("www/index.htm", "home");
    dir.Write("www/page.htm", "page");
    dir.Write("www/A B/c.htm", "c");
    dir.Write("www/Docs/Guide.HTM", "guide");
    dir.MakeDir("www/empty");
    dir.Write("www/.secret", "s");
    dir.Write("www/.git/config", "g");
    dir.Write("www/.hid/index.htm", "hidden home");
    dir.Write("outside.txt", "must stay unreachable");
    dir.Write("manuals/a/b.htm", "manual");
    root = dir.File("www/");
  }

  TTarget Resolve(const std::string& url, bool serve_static = true) {
    return TTargetResolver(root, map, "index.htm").FindTarget(url, serve_static);
  }

  test::TempDir dir;
  std::string root;
  TStringList map;
};

TEST_F(TargetResolverTest, FilesAndDirectoriesBelowTheRoot) {
  TTarget page = Resolve("/page.htm");
  EXPECT_EQ(page.Path, root + "page.htm");
  EXPECT_EQ(page.Attr, 0);
  EXPECT_EQ(page.Error, 0);

  EXPECT_EQ(Resolve("/A B/c.htm").Path, root + "A B/c.htm");

  // A directory, with or without its "/", becomes its default file.
  EXPECT_EQ(Resolve("/").Path, root + "index.htm");
  EXPECT_EQ(Resolve("").Path, root + "index.htm");
  TTarget empty = Resolve("/empty");
  EXPECT_EQ(empty.Path, root + "empty/");
  EXPECT_EQ(empty.Attr, faDirectory);
  EXPECT_EQ(Resolve("/empty/").Path, root + "empty/");
}

TEST_F(TargetResolverTest, WalksUpToAnExistingFile) {
  EXPECT_EQ(Resolve("/page.htm/extra/x").Path, root + "page.htm");
  EXPECT_EQ(Resolve("/page.htm/").Path, root + "page.htm");
  // Directories on the way do not stop the walk; nothing found is 404.
  TTarget missing = Resolve("/empty/missing.htm");
  EXPECT_EQ(missing.Error, 404);
  EXPECT_EQ(missing.Attr, -1);
  EXPECT_EQ(Resolve("/missing.htm").Error, 404);
}

TEST_F(TargetResolverTest, MatchesSegmentsWithoutRegardToCase) {
  EXPECT_EQ(Resolve("/docs/guide.htm").Path, root + "Docs/Guide.HTM");
  EXPECT_EQ(Resolve("/DOCS/GUIDE.htm/more").Path, root + "Docs/Guide.HTM");
  EXPECT_EQ(Resolve("/a b/C.HTM").Path, root + "A B/c.htm");
  EXPECT_EQ(Resolve("/PAGE.HTM").Path, root + "page.htm");
  EXPECT_EQ(Resolve("/docs").Path, root + "Docs/");
  EXPECT_EQ(Resolve("/docs/other.htm").Error, 404);
}

// A query on a plain file that no action took is refused; on a directory
// resolving to its default file it is not.
TEST_F(TargetResolverTest, QueryOnPlainFileIs400) {
  TTarget file = Resolve("/page.htm", false);
  EXPECT_EQ(file.Error, 400);
  EXPECT_EQ(file.Path, root + "page.htm");
  TTarget home = Resolve("/", false);
  EXPECT_EQ(home.Error, 0);
  EXPECT_EQ(home.Path, root + "index.htm");
}

TEST_F(TargetResolverTest, HiddenNamesAreMarked) {
  EXPECT_EQ(Resolve("/.secret").Attr, faHidden);
  EXPECT_EQ(Resolve("/.git/config").Attr, faHidden);
  EXPECT_EQ(Resolve("/.git/").Attr, faDirectory | faHidden);
  // The default file of a hidden directory stays hidden.
  TTarget hid = Resolve("/.hid/");
  EXPECT_EQ(hid.Path, root + ".hid/index.htm");
  EXPECT_EQ(hid.Attr, faHidden);
  EXPECT_EQ(Resolve("/page.htm").Attr & faHidden, 0);
}

TEST_F(TargetResolverTest, NeverLeavesTheRoot) {
  for (const char* url : {"/../outside.txt", "/empty/../../outside.txt", "/..\\outside.txt",
                          "\\..\\outside.txt", "/a/../../outside.txt", "/.."}) {
    TTarget target = Resolve(url);
    EXPECT_EQ(target.Error, 404) << url;
    EXPECT_EQ(target.Path, "") << url;
  }
  EXPECT_EQ(Resolve(std::string("/page.htm\0.txt", 14)).Error, 404);
  // Climbing that stays inside is resolved.
  TTarget inside = Resolve("/empty/../page.htm");
  EXPECT_EQ(inside.Path, root + "page.htm");
  EXPECT_EQ(inside.URL, "/page.htm");
  EXPECT_EQ(Resolve("/Docs/./Guide.HTM").URL, "/Docs/Guide.HTM");
  EXPECT_EQ(Resolve("//Docs//").URL, "/Docs/");
}

// Pipes and devices are not served: they would block the connection.
TEST_F(TargetResolverTest, SpecialFilesAreNotTargets) {
  ASSERT_EQ(::mkfifo(dir.File("www/pipe.htm").c_str(), 0600), 0);
  EXPECT_EQ(Resolve("/pipe.htm").Error, 404);
}

TEST_F(TargetResolverTest, UrlMapMode) {
  root.clear();
  map.Add("/docs=" + dir.File("manuals"));
  map.Add("/Win=" + dir.File("manuals\\a\\"));
  map.Add("/blank=");
  EXPECT_EQ(Resolve("/docs/a/b.htm").Path, dir.File("manuals/a/b.htm"));
  EXPECT_EQ(Resolve("/DOCS/A/B.HTM").Path, dir.File("manuals/a/b.htm"));
  EXPECT_EQ(Resolve("/docs").Path, dir.File("manuals/"));
  EXPECT_EQ(Resolve("/win/b.htm").Path, dir.File("manuals/a/b.htm"));
  EXPECT_EQ(Resolve("/win/b.htm/x/y").Path, dir.File("manuals/a/b.htm"));
  // Unmapped, empty mappings and climbing out of a mapping find nothing.
  EXPECT_EQ(Resolve("/other/a/b.htm").Error, 404);
  EXPECT_EQ(Resolve("/").Error, 404);
  EXPECT_EQ(Resolve("/blank" + dir.File("outside.txt")).Error, 404);
  EXPECT_EQ(Resolve("/docs/../../outside.txt").Error, 404);
  EXPECT_EQ(Resolve("/docs/a/../../outside.txt").Error, 404);
}

// The longest mapped prefix wins; relative directories lie under the root.
TEST_F(TargetResolverTest, MappingsBesideARoot) {
  map.Add("/docs=" + dir.File("manuals"));
  map.Add("/docs/a=" + dir.File("www/Docs"));
  map.Add("/pics=A B");
  EXPECT_EQ(Resolve("/docs/a/Guide.htm").Path, root + "Docs/Guide.HTM");
  EXPECT_EQ(Resolve("/docs/a").Path, dir.File("manuals/a/"));
  EXPECT_EQ(Resolve("/pics/c.htm").Path, root + "A B/c.htm");
  EXPECT_EQ(Resolve("/page.htm").Path, root + "page.htm");
}

// Without following links, a target must stay within the directory it was
// found in: a link in a mapped directory that leads back into the root is
// out, and so is a default file that leads out. Followed, all are found.
TEST_F(TargetResolverTest, LinksLeavingTheirBase) {
  map.Add("/docs=" + dir.File("manuals"));
  ASSERT_EQ(::symlink(dir.File("www/page.htm").c_str(), dir.File("manuals/page.htm").c_str()), 0);
  ASSERT_EQ(::symlink("../a/b.htm", dir.File("manuals/a/up.htm").c_str()), 0);
  ASSERT_EQ(::symlink("b.htm", dir.File("manuals/a/index.htm").c_str()), 0);
  ASSERT_EQ(::symlink(dir.File("outside.txt").c_str(), dir.File("www/empty/index.htm").c_str()), 0);
  struct Case {
    std::string url;
    bool inside;
  } cases[] = {
      {"/docs/page.htm", false}, {"/empty/", false},       {"/docs/a/index.htm", true},
      {"/docs/a/", true},        {"/docs/a/up.htm", true}, {"/page.htm", true},
  };
  for (const Case& c : cases) {
    for (const bool follow : {true, false}) {
      const TTarget target =
          TTargetResolver(root, map, "index.htm", follow).FindTarget(c.url, true);
      const bool found = follow || c.inside;
      EXPECT_EQ(target.Error, found ? 0 : 404) << c.url << " follow " << follow;
      EXPECT_EQ(target.Attr == -1, !found) << c.url << " follow " << follow;
    }
  }
}

// MapURL names paths as FindTarget finds them, existing or not, and none
// outside the root or a mapped directory.
TEST_F(TargetResolverTest, MapUrlStaysWithinTheRootAndTheMap) {
  map.Add("/pics=A B");
  map.Add("/docs=" + dir.File("manuals"));
  const std::string manuals = dir.File("manuals/");
  struct Case {
    bool root_mode;
    std::string url, path;
  } cases[] = {
      {true, "", root + "index.htm"},
      {true, "/PAGE.HTM", root + "page.htm"},
      {true, "/new/file.htm", root + "new/file.htm"},
      {true, "/pics/C.HTM", root + "A B/c.htm"},
      {true, "/pics/../page.htm", root + "page.htm"},
      {true, "/../outside.txt", ""},
      {true, "/pics/../../outside.txt", ""},
      {true, std::string("/page.htm\0x", 11), ""},
      {false, "/docs/A/b.htm", manuals + "a/b.htm"},
      {false, "/docs/a/../../outside.txt", ""},
      {false, "/other/page.htm", ""},
      {false, "", ""},
  };
  for (const Case& c : cases) {
    std::string path = "before";
    const bool mapped =
        TTargetResolver(c.root_mode ? root : "", map, "index.htm").MapURL(c.url, path);
    EXPECT_EQ(mapped, !c.path.empty()) << c.url;
    EXPECT_EQ(path, c.path) << c.url;
  }
}

TEST(StripLast, CutsTheLastSegment) {
  std::string path = "/www/a/b.htm";
  EXPECT_EQ(StripLast(path), "/b.htm");
  EXPECT_EQ(path, "/www/a");
  path = "/www/";
  EXPECT_EQ(StripLast(path), "/");
  EXPECT_EQ(path, "/www");
  path = "name";
  EXPECT_EQ(StripLast(path), "");
  EXPECT_EQ(path, "");
  EXPECT_EQ(StripLast(path), "");
}

}  // namespace
}  // namespace korvi
