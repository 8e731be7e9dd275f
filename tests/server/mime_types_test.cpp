// Content types of served files: extension rules, the built-in table, the
// application hook and the mime.types reader.
#include "korvi/server/mime_types.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace korvi {
namespace {

TEST(MimeTypes, BuiltInTableByFileName) {
  struct Case {
    const char* path;
    const char* type;
  };
  const Case cases[] = {
      {"/www/a.gif", "image/gif"},   {"/www/a.JPG", "image/jpeg"},
      {"/www/a.jpeg", "image/jpeg"}, {"/www/index.htm", "text/html"},
      {"/www/A.Html", "text/html"},  {"/www/notes.txt", "text/plain"},
      {"/www/logo.png", ""},         {"/www/style.css", ""},
      {"/www/README", ""},           {"/www/archive.tar.gif", "image/gif"},
      {"/www/trailing.", ""},        {"/srv/site.v2/README", ""},
      {"/srv/site.htm/plain", ""},   {"relative.txt", "text/plain"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FileMimeType(c.path, nullptr, nullptr), c.type) << c.path;
  }
}

TEST(MimeTypes, ExtensionIsLowerCasedAndBounded) {
  EXPECT_EQ(MimeExtension("/a/B.TxT"), "txt");
  EXPECT_EQ(MimeExtension("/a.b/c"), "");
  EXPECT_EQ(MimeExtension("x." + std::string(300, 'Q')), std::string(255, 'q'));
}

// The hook sees the extension without its dot and its answer wins; an empty
// answer leaves the built-in table in charge; names without "." never ask.
TEST(MimeTypes, HookAnswersFirst) {
  TObject sender;
  std::vector<std::string> asked;
  const TGetMimeType hook = [&](TObject* s, const std::string& ext, std::string& type) {
    EXPECT_EQ(s, &sender);
    EXPECT_TRUE(type.empty());
    asked.push_back(ext);
    if (ext == "png" || ext == "htm") type = "image/x-" + ext;
  };
  EXPECT_EQ(FileMimeType("/w/a.PNG", hook, &sender), "image/x-png");
  EXPECT_EQ(FileMimeType("/w/a.htm", hook, &sender), "image/x-htm");
  EXPECT_EQ(FileMimeType("/w/a.txt", hook, &sender), "text/plain");
  EXPECT_EQ(FileMimeType("/w.d/noext", hook, &sender), "");
  EXPECT_EQ(asked, (std::vector<std::string>{"png", "htm", "txt"}));
}

TEST(MimeTypes, MimeTableReadsSystemFormat) {
  test::TempDir dir;
  const std::string path = dir.Write("mime.types",
                                     "# comment line\n"
                                     "text/css\t\t\t\tcss\n"
                                     "image/png png PNG2 # trailing comment\n"
                                     "application/x-empty\n"
                                     "\n"
                                     "text/x-second css\n");
  TMimeTable table;
  ASSERT_TRUE(table.LoadFromFile(path));
  EXPECT_EQ(table.TypeOf("css"), "text/css");
  EXPECT_EQ(table.TypeOf("png"), "image/png");
  EXPECT_EQ(table.TypeOf("png2"), "image/png");
  EXPECT_EQ(table.TypeOf("comment"), "");
  EXPECT_EQ(table.TypeOf("htm"), "");
  EXPECT_EQ(table.Count(), 3);

  EXPECT_FALSE(table.LoadFromFile(dir.File("missing.types")));
  EXPECT_EQ(table.Count(), 0);
}

}  // namespace
}  // namespace korvi
