// The URL map editor's rules over real files: what Add, Replace and Delete
// store or refuse, the sorted list with its heading and placeholder, and what
// closing writes (or leaves alone).
#include "korvi/design/map_form.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "korvi/host/application.h"
#include "korvi/host/files.h"
#include "tests/support/string_lines.h"
#include "tests/support/temp_dir.h"

namespace korvi {
namespace {

using test::Lines;
using V = test::LineVector;

const std::string kHeading(TMapForm::HeadingLine);

// Collects the editor's message boxes instead of printing them.
class MapFormTest : public ::testing::Test {
 protected:
  MapFormTest() {
    Application().OnMessageBox = [this](const std::string& text, const std::string& caption) {
      messages_.push_back(caption + ": " + text);
    };
  }
  ~MapFormTest() override { Application().OnMessageBox = nullptr; }

  std::uint64_t Inode(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
  }

  test::TempDir dir_;
  std::vector<std::string> messages_;
};

// Refused edits show their message and change neither the list nor the file.
TEST_F(MapFormTest, RefusalsChangeNothing) {
  const char* const kFile = "[MAP]\n/docs=manuals\n/img=pictures\n";
  struct Case {
    const char* what;
    std::function<bool(TMapForm&)> edit;
    std::string_view message;
  };
  const Case cases[] = {
      {"add of a path another case of which exists",
       [](TMapForm& f) { return f.Add("/Docs", "other"); }, TMapForm::ExistsMessage},
      {"add without slashes of an existing path",
       [](TMapForm& f) { return f.Add("IMG/", "other"); }, TMapForm::ExistsMessage},
      {"add without a path", [](TMapForm& f) { return f.Add("", "dir"); }, TMapForm::EmptyMessage},
      {"add of a blank directory", [](TMapForm& f) { return f.Add("/new", "  "); },
       TMapForm::EmptyMessage},
      {"add of a path holding =", [](TMapForm& f) { return f.Add("/a=b", "dir"); },
       TMapForm::InvalidMessage},
      {"add of a directory holding a line break",
       [](TMapForm& f) { return f.Add("/a", "dir\n[EVIL]"); }, TMapForm::InvalidMessage},
      {"replace with an empty path",
       [](TMapForm& f) { return f.Replace(f.FindRow("/docs"), "", "dir"); },
       TMapForm::EmptyMessage},
      {"replace with an empty directory",
       [](TMapForm& f) { return f.Replace(f.FindRow("/docs"), "/docs", ""); },
       TMapForm::EmptyMessage},
      {"replace with the path of another row",
       [](TMapForm& f) { return f.Replace(f.FindRow("/docs"), "img", "dir"); },
       TMapForm::ExistsMessage},
  };
  for (const Case& c : cases) {
    messages_.clear();
    const std::string path = dir_.Write("map.ini", kFile);
    TMapForm form(path);
    form.FormShow();
    EXPECT_FALSE(c.edit(form)) << c.what;
    EXPECT_EQ(messages_, V{"Pirnask URL Map: " + std::string(c.message)}) << c.what;
    EXPECT_EQ(Lines(form.MapList()), (V{kHeading, "/docs=manuals", "/img=pictures"})) << c.what;
    form.FormClose();
    EXPECT_EQ(test::ReadFile(path), kFile) << c.what;
  }
}

// Accepted edits give the sorted list (heading first) and, on closing, the
// whole file: [VERSION] PIRNASK=0.1 and the mappings, comments and other
// sections kept.
TEST_F(MapFormTest, ChangesAreSortedAndSavedWhole) {
  struct Case {
    const char* what;
    const char* file;  // nullptr: no file yet
    std::function<void(TMapForm&)> edit;
    V list;
    std::string saved;
  };
  const Case cases[] = {
      {"add puts a slash in front and creates the file",
       nullptr,
       [](TMapForm& f) { EXPECT_TRUE(f.Add("docs", "c:\\web\\docs")); },
       {kHeading, "/docs=c:\\web\\docs"},
       "[VERSION]\nPIRNASK=0.1\n[MAP]\n/docs=c:\\web\\docs\n"},
      {"rows sort without regard to case; trailing slashes go",
       "[MAP]\n/zeta=z\n",
       [](TMapForm& f) {
         EXPECT_TRUE(f.Add("/beta/", "b"));
         EXPECT_TRUE(f.Add("Alpha", " a "));
       },
       {kHeading, "/Alpha=a", "/beta=b", "/zeta=z"},
       "[MAP]\n/Alpha=a\n/beta=b\n/zeta=z\n[VERSION]\nPIRNASK=0.1\n"},
      {"replace changes its own row, also to another case of its path",
       "[MAP]\n/docs=manuals\n/img=pictures\n",
       [](TMapForm& f) {
         EXPECT_TRUE(f.Replace(f.FindRow("/IMG"), "/a", "art"));
         EXPECT_TRUE(f.Replace(f.FindRow("docs"), "/DOCS", "books"));
       },
       {kHeading, "/a=art", "/DOCS=books"},
       "[MAP]\n/a=art\n/DOCS=books\n[VERSION]\nPIRNASK=0.1\n"},
      {"deleting the only mapping leaves the placeholder and an empty section",
       "[VERSION]\nPIRNASK=0.1\n[MAP]\n/docs=manuals\n",
       [](TMapForm& f) {
         EXPECT_TRUE(f.Delete(f.FindRow("/docs")));
         EXPECT_EQ(f.RowCount(), 2);
         EXPECT_EQ(f.Cells(0, 1), "");
         EXPECT_FALSE(f.Delete(2));
       },
       {kHeading, "="},
       "[VERSION]\nPIRNASK=0.1\n[MAP]\n"},
      {"paths written by hand without the slash or with a trailing one are found as typed",
       "[MAP]\ndocs=old\n/img/=p\n/z=1\n",
       [](TMapForm& f) {
         EXPECT_TRUE(f.Delete(f.FindRow("DOCS")));
         EXPECT_TRUE(f.Delete(f.FindRow("/img/")));
         EXPECT_EQ(f.FindRow("/img/"), -1);
       },
       {kHeading, "/z=1"},
       "[MAP]\n/z=1\n[VERSION]\nPIRNASK=0.1\n"},
      {"an add after that takes the placeholder's line",
       "[MAP]\n/docs=manuals\n",
       [](TMapForm& f) {
         EXPECT_TRUE(f.Delete(1));
         EXPECT_TRUE(f.Add("/new", "fresh"));
       },
       {kHeading, "/new=fresh"},
       "[MAP]\n/new=fresh\n[VERSION]\nPIRNASK=0.1\n"},
      {"comments and other sections stay; a stored heading or nameless line is no mapping",
       "; top\n[Other]\nk=v\n\n[Map]\n; paths\n URL Path= Directory (Full Server or Relative)\n"
       "=\n/b=2\n\n[VERSION]\nPIRNASK=0.0\n",
       [](TMapForm& f) { EXPECT_TRUE(f.Add("/a", "1")); },
       {kHeading, "/a=1", "/b=2"},
       "; top\n[Other]\nk=v\n\n[Map]\n; paths\n/a=1\n/b=2\n\n[VERSION]\nPIRNASK=0.1\n"},
  };
  for (const Case& c : cases) {
    const std::string path = dir_.File("map.ini");
    std::remove(path.c_str());
    if (c.file != nullptr) dir_.Write("map.ini", c.file);
    TMapForm form(path);
    EXPECT_TRUE(form.ShowModal([&](TMapForm& f) {
      c.edit(f);
      EXPECT_EQ(Lines(f.MapList()), c.list) << c.what;
    })) << c.what;
    EXPECT_EQ(test::ReadFile(path), c.saved) << c.what;
    EXPECT_FALSE(form.Modified()) << c.what;
  }
  EXPECT_TRUE(messages_.empty());
}

// A map left unchanged is not written: a file without mappings keeps its
// bytes, one with mappings is not replaced, a missing one is not created.
TEST_F(MapFormTest, UnchangedMapIsNotWritten) {
  const std::string empty = dir_.Write("empty.ini", "; nothing yet\n[MAP]\n");
  const std::string full = dir_.Write("full.ini", "[MAP]\n/b=2\n/a=1\n");
  const std::string missing = dir_.File("missing.ini");
  const std::uint64_t full_inode = Inode(full);
  for (const std::string& path : {empty, full, missing}) {
    TMapForm form(path);
    EXPECT_FALSE(form.ShowModal([](TMapForm& f) { f.Add("/a", ""); })) << path;
  }
  EXPECT_EQ(test::ReadFile(empty), "; nothing yet\n[MAP]\n");
  EXPECT_EQ(Inode(full), full_inode);
  EXPECT_EQ(test::ReadFile(full), "[MAP]\n/b=2\n/a=1\n");
  EXPECT_FALSE(FileExists(missing));
}

// A map file that exists but cannot be read is not edited: the editor says
// so and turns to Pirnask.ini in the current directory.
TEST_F(MapFormTest, UnreadableFileFallsBackToPirnaskIni) {
  TMapForm form(dir_.MakeDir("a_directory.ini"));
  form.FormShow();
  EXPECT_EQ(form.FileName(), "Pirnask.ini");
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_NE(messages_[0].find("a_directory.ini"), std::string::npos) << messages_[0];
  EXPECT_NE(messages_[0].find("editing " + ExpandFileName("Pirnask.ini") + " instead."),
            std::string::npos)
      << messages_[0];
}

}  // namespace
}  // namespace korvi
