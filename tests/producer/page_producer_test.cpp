// Page producers: the tag pass (the quirks of "<", tags over two lines,
// quoted and encoded parameters, tag kinds, no handler), the template
// sources and their setters, and errors passing to the caller.
#include "korvi/producer/page_producer.h"

#include <gtest/gtest.h>

#include <string>

#include "korvi/host/exceptions.h"
#include "tests/support/expect_message.h"
#include "tests/support/temp_dir.h"

namespace korvi {
namespace {

using test::ExpectThrowMessage;

// A page producer whose handler shows each tag as [name/kind/p1|p2...].
class ShowingProducer : public TKorviPageProducer {
 public:
  ShowingProducer() : TKorviPageProducer(nullptr) {
    OnHTMLTag = [this](TObject* sender, TTag tag, const std::string& name, TStringList& params,
                       std::string& replace) {
      EXPECT_EQ(sender, this);
      replace = "[" + name + "/" + std::to_string(tag) + "/";
      for (int i = 0; i < params.Count(); ++i)
        replace += (i > 0 ? "|" : "") + params[i];
      replace += "]";
    };
  }
};

TEST(PageProducerTest, TagPassReplacesTagsAndCopiesEverythingElse) {
  const struct {
    const char* templ;
    const char* page;
  } cases[] = {
      {"a <#NAME x=1 \"y=a b\"> c", "a [NAME/0/x=1|y=a b] c"},
      {"<#t y=a+b 'z=a%20b' w=%41>", "[t/0/y=a b|z=a b|w=A]"},
      {"<# image src=x>", "[image/2/src=x]"},
      {"<\t#\r\nLink>", "[Link/1/]"},
      {"<#t a=1\r\n  b=2>end", "[t/0/a=1|b=2]end"},
      {"<#1a>", "[1/0/a]"},
      {"<#>x", "[>/0/]x"},
      {"<#t a=\">\" b>", "[t/0/a=\"]\" b>"},
      {"x <#t a=1 b", "x [t/0/a=1|b]"},
      {"<#", "[/0/]"},
      // A "<" that opens no tag loses the blanks after it; the token after
      // it is copied as text even when it is another "<".
      {"if a<b then", "if a<b then"},
      {"a < b", "a <b"},
      {"<<#x>", "<<#x>"},
      {"a <", "a <"},
      {"  lead\r\n\ttrail \r\n", "  lead\r\n\ttrail \r\n"},
  };
  for (const auto& c : cases) {
    ShowingProducer producer;
    EXPECT_EQ(producer.ContentFromString(c.templ), c.page) << c.templ;
  }
}

TEST(PageProducerTest, TagKindsMatchWholeNamesWithoutRegardToCase) {
  const struct {
    const char* name;
    TTag kind;
  } cases[] = {
      {"LINK", tgLink},         {"image", tgImage},   {"Table", tgTable},
      {"IMAGEMAP", tgImageMap}, {"object", tgObject}, {"EmBeD", tgEmbed},
      {"IMG", tgCustom},        {"IMAGE1", tgCustom}, {"", tgCustom},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TagKindOf(c.name), c.kind) << c.name;
}

TEST(PageProducerTest, WithoutHandlerTagsDisappearAndTheCustomProducerKeepsTheirNames) {
  const std::string templ = "a <#NAME x=1 \"y=a b\"> c<#t>";
  TKorviPageProducer page(nullptr);
  EXPECT_EQ(page.ContentFromString(templ), "a  c");
  TKorviCustomPageProducer custom(nullptr);
  EXPECT_EQ(custom.ContentFromString(templ), "a <#NAME> c<#t>");
}

TEST(PageProducerTest, ContentReadsTheFileOrTheInlineLines) {
  test::TempDir dir;
  const std::string file = dir.Write("page.htm", "file <#t>\n");
  ShowingProducer producer;
  EXPECT_EQ(producer.Content(), "");  // both empty: an empty page

  producer.HTMLDoc().Add("one <#t>");
  producer.HTMLDoc().Add("two");
  EXPECT_EQ(producer.Content(), "one [t/0/]\r\ntwo\r\n");

  producer.SetHTMLFile(file);
  EXPECT_EQ(producer.HTMLDoc().Count(), 0);
  EXPECT_EQ(producer.Content(), "file [t/0/]\n");

  // A change of letter case only is no new name and keeps the lines.
  producer.HTMLDoc().Add("kept");
  producer.SetHTMLFile(dir.File("PAGE.HTM"));
  EXPECT_EQ(producer.HTMLFile(), file);
  EXPECT_EQ(producer.HTMLDoc().Count(), 1);

  TStringList lines{"doc"};
  producer.SetHTMLDoc(lines);
  EXPECT_EQ(producer.HTMLFile(), "");
  EXPECT_EQ(producer.Content(), "doc\r\n");

  producer.SetHTMLFile(dir.File("missing.htm"));
  ExpectThrowMessage<EFOpenError>(
      [&] { producer.Content(); },
      "Cannot open file \"" + dir.File("missing.htm") + "\". No such file or directory");
}

// Handler exceptions, bad escapes in parameters and over-long lines end the
// page; no partial page is returned.
TEST(PageProducerTest, ErrorsPassToTheCaller) {
  TKorviPageProducer producer(nullptr);
  producer.OnHTMLTag = [](TObject*, TTag, const std::string& name, TStringList&, std::string&) {
    if (name == "fail") throw Exception("handler failed");
  };
  ExpectThrowMessage<Exception>([&] { producer.ContentFromString("a <#ok> <#fail> b"); },
                                "handler failed");
  ExpectThrowMessage<EConvertError>([&] { producer.ContentFromString("<#t a=50%zz>"); },
                                    "'$zz' is not a valid integer value");
  ExpectThrowMessage<EParserError>(
      [&] { producer.ContentFromString("ok\n" + std::string(5000, 'x')); },
      "Error: line to long on line 2");
}

}  // namespace
}  // namespace korvi
