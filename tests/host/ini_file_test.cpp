// TIniFile: reading sections and entries, writing and erasing with an
// immediate atomic save, and files that are missing or unreadable.
#include "korvi/host/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "korvi/host/exceptions.h"
#include "korvi/host/files.h"
#include "tests/support/string_lines.h"
#include "tests/support/temp_dir.h"

namespace korvi {
namespace {

using test::Lines;
using V = test::LineVector;

const char* const kMapFile =
    "; site map\r\n"
    "[VERSION]\r\n"
    "PIRNASK=0.1\r\n"
    "\r\n"
    "[Map]\r\n"
    "/docs=C:\\Manuals\\\r\n"
    "; a comment=not an entry\r\n"
    "  /img = pictures  \r\n"
    "no separator\r\n"
    "/DOCS=second\r\n"
    "/empty=\r\n";

TEST(IniFile, ReadsSectionsWithoutRegardToCase) {
  test::TempDir dir;
  TIniFile ini(dir.Write("site.ini", kMapFile));
  TStringList map{"stale"};
  ini.ReadSectionValues("MAP", map);
  EXPECT_EQ(Lines(map), (V{"/docs=C:\\Manuals\\", "/img=pictures", "/DOCS=second", "/empty="}));
  EXPECT_EQ(map.Values("/docs"), "C:\\Manuals\\");
  EXPECT_EQ(ini.ReadString("version", "pirnask", "none"), "0.1");
  EXPECT_EQ(ini.ReadString("map", "/img", "none"), "pictures");
  EXPECT_EQ(ini.ReadString("map", "/missing", "none"), "none");
  EXPECT_EQ(ini.ReadString("nosection", "x", "fallback"), "fallback");
  EXPECT_TRUE(ini.SectionExists("version"));
  EXPECT_FALSE(ini.SectionExists("MAP2"));
  ini.ReadSectionValues("absent", map);
  EXPECT_EQ(map.Count(), 0);
}

TEST(IniFile, LfLineEndsReadTheSame) {
  test::TempDir dir;
  TIniFile ini(dir.Write("lf.ini", "[MAP]\n/a=one\n/b=two\n"));
  TStringList map;
  ini.ReadSectionValues("MAP", map);
  EXPECT_EQ(Lines(map), (V{"/a=one", "/b=two"}));
}

TEST(IniFile, MissingFileIsEmptyUntilWritten) {
  test::TempDir dir;
  const std::string path = dir.File("new.ini");
  TIniFile ini(path);
  EXPECT_FALSE(ini.SectionExists("MAP"));
  EXPECT_FALSE(FileExists(path));
  ini.WriteString("VERSION", "PIRNASK", "0.1");
  ini.WriteString("MAP", "/docs", "manuals");
  EXPECT_EQ(test::ReadFile(path), "[VERSION]\nPIRNASK=0.1\n[MAP]\n/docs=manuals\n");
}

// A write replaces the first entry of the key (any case) or appends one
// before the blank lines that end the section; comments, blank lines and the
// text before the first section survive, and the file is saved at once.
TEST(IniFile, WriteStringReplacesOrAppendsAndSavesAtOnce) {
  test::TempDir dir;
  const std::string path = dir.Write("site.ini", kMapFile);
  TIniFile ini(path);
  ini.WriteString("map", "/docs", "manuals");
  ini.WriteString("VERSION", "Build", "7");
  EXPECT_EQ(test::ReadFile(path),
            "; site map\n"
            "[VERSION]\n"
            "PIRNASK=0.1\n"
            "Build=7\n"
            "\n"
            "[Map]\n"
            "/docs=manuals\n"
            "; a comment=not an entry\n"
            "  /img = pictures  \n"
            "no separator\n"
            "/DOCS=second\n"
            "/empty=\n");
  TIniFile reread(path);
  EXPECT_EQ(reread.ReadString("MAP", "/DOCS", ""), "manuals");
}

TEST(IniFile, EraseSectionRemovesItsLines) {
  test::TempDir dir;
  const std::string path = dir.Write("site.ini", "[MAP]\n/a=1\n[VERSION]\nPIRNASK=0.1\n");
  TIniFile ini(path);
  ini.EraseSection("map");
  EXPECT_FALSE(ini.SectionExists("MAP"));
  EXPECT_EQ(test::ReadFile(path), "[VERSION]\nPIRNASK=0.1\n");
  ini.WriteString("MAP", "/b", "2");
  EXPECT_EQ(test::ReadFile(path), "[VERSION]\nPIRNASK=0.1\n[MAP]\n/b=2\n");
  // Erasing what is not there writes nothing.
  TIniFile fresh(dir.File("untouched.ini"));
  fresh.EraseSection("MAP");
  EXPECT_FALSE(FileExists(dir.File("untouched.ini")));
}

// Replacing a section's entries keeps the section in its place with its
// comments and blank lines; the entries stand where the first one stood, or
// at the end of a section that had none.
TEST(IniFile, ReplaceSectionValuesKeepsPlaceAndComments) {
  test::TempDir dir;
  const std::string path =
      dir.Write("site.ini", "[Map]\n; mappings\n/docs=old\n; between\n/img=x\n\n[Other]\nk=v\n");
  TIniFile ini(path);
  ini.ReplaceSectionValues("MAP", TStringList{"/a=1", "/b=c=d"});
  ini.ReplaceSectionValues("Notes", TStringList{"n=1"});
  EXPECT_EQ(test::ReadFile(path),
            "[Map]\n; mappings\n/a=1\n/b=c=d\n; between\n\n[Other]\nk=v\n[Notes]\nn=1\n");
  ini.ReplaceSectionValues("map", TStringList{});
  ini.ReplaceSectionValues("Other", TStringList{"k=w"});
  EXPECT_EQ(test::ReadFile(path), "[Map]\n; mappings\n; between\n\n[Other]\nk=w\n[Notes]\nn=1\n");
  EXPECT_THROW(ini.ReplaceSectionValues("Map", TStringList{"/ok=1", "=no name"}), Exception);
  EXPECT_EQ(test::ReadFile(path), "[Map]\n; mappings\n; between\n\n[Other]\nk=w\n[Notes]\nn=1\n");
}

// Created to save on UpdateFile, the object keeps every change in memory
// until one save writes them all; DeleteKey removes every entry of its key.
TEST(IniFile, SavingOnUpdateFileWritesAllChangesOnce) {
  test::TempDir dir;
  const char* const before = "[Korvi]\nServerRoot=/srv\nserverroot=/again\nServerPort=80\n";
  const std::string path = dir.Write("serve.ini", before);
  TIniFile ini(path, TIniSaving::OnUpdateFile);
  ini.DeleteKey("korvi", "ServerRoot");
  ini.WriteString("Korvi", "URLMapIniFile", "map.ini");
  ini.ReplaceSectionValues("MAP", TStringList{"/a=1"});
  ini.EraseSection("absent");
  ini.DeleteKey("absent", "x");
  EXPECT_EQ(test::ReadFile(path), before);
  EXPECT_EQ(ini.ReadString("Korvi", "ServerRoot", "gone"), "gone");
  ini.UpdateFile();
  EXPECT_EQ(test::ReadFile(path), "[Korvi]\nServerPort=80\nURLMapIniFile=map.ini\n[MAP]\n/a=1\n");
}

// Entries that would read back as other lines, sections or keys are refused
// and leave the file as it was.
TEST(IniFile, RefusesEntriesThatWouldCorruptTheFile) {
  test::TempDir dir;
  const std::string path = dir.Write("site.ini", "[MAP]\n/a=1\n");
  TIniFile ini(path);
  EXPECT_THROW(ini.WriteString("MAP", "/x", "dir\n[EVIL]"), Exception);
  EXPECT_THROW(ini.WriteString("MAP", "/x=y", "dir"), Exception);
  EXPECT_THROW(ini.WriteString("MAP]\n[X", "/x", "dir"), Exception);
  EXPECT_THROW(ini.WriteString("MAP", " ", "dir"), Exception);
  EXPECT_EQ(test::ReadFile(path), "[MAP]\n/a=1\n");
}

// Saving replaces the file through a rename: a replaced file keeps its
// permission bits, and when the rename fails the error is raised and no
// temporary file is left behind.
TEST(IniFile, SavesAtomicallyAndKeepsPermissions) {
  test::TempDir dir;
  const std::string path = dir.Write("conf/site.ini", "[MAP]\n/a=1\n");
  ::chmod(path.c_str(), 0640);
  TIniFile ini(path);
  ini.WriteString("MAP", "/b", "2");
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  EXPECT_EQ(FindFiles(dir.File("conf"), "*").size(), 1u);

  // A directory that has taken the file's place cannot be renamed over.
  ASSERT_EQ(::unlink(path.c_str()), 0);
  dir.Write("conf/site.ini/inside", "x");
  EXPECT_THROW(ini.WriteString("MAP", "/c", "3"), EFOpenError);
  EXPECT_EQ(FindFiles(dir.File("conf"), "*").size(), 1u);
  EXPECT_EQ(test::ReadFile(dir.File("conf/site.ini/inside")), "x");
}

// A file that exists but cannot be read is never overwritten by writes.
TEST(IniFile, UnreadableFileIsNotOverwritten) {
  test::TempDir dir;
  const std::string path = dir.MakeDir("actually_a_directory");
  TIniFile ini(path);
  EXPECT_FALSE(ini.SectionExists("MAP"));
  EXPECT_FALSE(ini.ReadError().empty());
  EXPECT_TRUE(TIniFile(dir.File("missing.ini")).ReadError().empty());
  EXPECT_THROW(ini.WriteString("MAP", "/a", "1"), EFOpenError);
  EXPECT_THROW(ini.UpdateFile(), EFOpenError);
  EXPECT_TRUE(DirectoryExists(path));
}

}  // namespace
}  // namespace korvi
