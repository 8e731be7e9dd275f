// Multipart forms: the part lists a body gives, byte-exact file ranges
// (binary content, empty files, long lines, lines cut at 250 bytes) and
// the request object's form, file-name and file accessors.
#include "korvi/web/multipart_form.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "korvi/host/streams.h"
#include "korvi/host/string_list.h"
#include "tests/web/received_request.h"

namespace korvi {
namespace {

using test::ReceivedRequest;

const std::string kDelimiter = "-----------------------------7d41b838504d8";

// One part: its header lines, the empty line and the content.
std::string Part(const std::string& disposition, const std::string& content,
                 const std::string& content_type = "") {
  std::string part =
      kDelimiter + "\r\n" + "Content-Disposition: form-data; " + disposition + "\r\n";
  if (!content_type.empty()) part += "Content-Type: " + content_type + "\r\n";
  return part + "\r\n" + content + "\r\n";
}

std::string Closing() {
  return kDelimiter + "--\r\n";
}

struct ParsedForm {
  TStringList fields, ranges, names;
  explicit ParsedForm(const std::string& body) { ParseMultiPartForm(body, fields, ranges, names); }
  // The bytes of part `name` as GetFileField copies them.
  std::string Bytes(const std::string& body, const std::string& name) const {
    TStringStream stream(body);
    auto part = CopyFormPart(stream, ranges.Values(name));
    if (!part) return "<none>";
    return std::string(part->Memory(), static_cast<std::size_t>(part->Size()));
  }
};

TEST(MultipartFormTest, TextFieldAndFileGiveOneEntryPerListInBodyOrder) {
  std::string body = Part("name=\"a\"", "x") +
                     Part("name=\"f\"; filename=\"c:\\docs\\n.txt\"", "abc", "text/plain") +
                     Closing();
  ParsedForm form(body);
  ASSERT_EQ(form.fields.Count(), 2);
  EXPECT_EQ(form.fields[0], "a=x");
  EXPECT_EQ(form.fields[1], "f=abc");
  EXPECT_EQ(form.names[0], "a=");
  EXPECT_EQ(form.names[1], "f=c:\\docs\\n.txt");
  EXPECT_EQ(form.Bytes(body, "f"), "abc");
  EXPECT_EQ(form.Bytes(body, "a"), "x");
}

TEST(MultipartFormTest, MultiLineValuesKeepCrLfAndDropLeadingEmptyLines) {
  std::string body =
      Part("name=\"t\"", "one\r\ntwo") + Part("name=\"u\"", "\r\n\r\nlate") + Closing();
  ParsedForm form(body);
  EXPECT_EQ(form.fields.Values("t"), "one\r\ntwo");
  EXPECT_EQ(form.fields.Values("u"), "late");
  EXPECT_EQ(form.Bytes(body, "u"), "\r\n\r\nlate");
}

TEST(MultipartFormTest, EmptyFileGivesAnEmptyRange) {
  std::string body = Part("name=\"f\"; filename=\"empty.bin\"", "", "application/octet-stream") +
                     Part("name=\"g\"", "after") + Closing();
  ParsedForm form(body);
  EXPECT_EQ(form.Bytes(body, "f"), "");
  EXPECT_EQ(form.Bytes(body, "g"), "after");
}

TEST(MultipartFormTest, LongLineIsCutInFormFieldsButExactAsBytes) {
  std::string value(300, 'v');
  for (std::size_t i = 0; i < value.size(); ++i)
    value[i] = static_cast<char>('a' + i % 26);
  std::string body = Part("name=\"long\"", value) + Closing();
  ParsedForm form(body);
  EXPECT_EQ(form.fields.Values("long"), value.substr(0, 250) + "\r\n" + value.substr(250));
  EXPECT_EQ(form.Bytes(body, "long"), value);
}

TEST(MultipartFormTest, BinaryContentComesBackExactly) {
  std::string binary;
  for (int i = 0; i < 5000; ++i)
    binary.push_back(static_cast<char>((i * 7 + i / 13) % 256));
  binary += "\r\n\r\n\0\0\r";
  std::string body =
      Part("name=\"bin\"; filename=\"b.dat\"", binary, "application/octet-stream") + Closing();
  ParsedForm form(body);
  std::string bytes = form.Bytes(body, "bin");
  ASSERT_EQ(bytes.size(), binary.size());
  EXPECT_TRUE(bytes == binary);
}

TEST(MultipartFormTest, CarriageReturnAtTheEndOfA250BytePieceKeepsTheLastByte) {
  // The CR in front of the delimiter is the 250th byte of a piece, so the
  // piece holds no CR LF and its line feed starts the next piece.
  for (std::size_t length : {248u, 249u, 250u, 499u, 251u}) {
    std::string content(length, 'q');
    std::string body = Part("name=\"p\"", content) + Closing();
    ParsedForm form(body);
    EXPECT_TRUE(form.Bytes(body, "p") == content) << length;
  }
}

TEST(MultipartFormTest, ClosingDelimiterWithoutLineEndStillEndsThePart) {
  std::string body = Part("name=\"p\"", "payload") + kDelimiter + "--";
  ParsedForm form(body);
  EXPECT_EQ(form.Bytes(body, "p"), "payload");
}

TEST(MultipartFormTest, NameAttributeRules) {
  std::string body = Part("name=\"\"", "anon") + Part("filename=\"f.txt\"; name=\"real\"", "x") +
                     Part("NAME=\"Upper\"", "y") + Part("name=\"open", "z") + Closing();
  ParsedForm form(body);
  ASSERT_EQ(form.fields.Count(), 4);
  EXPECT_EQ(form.fields[0], "=anon");
  // "name" also matches the end of "filename", which comes first here.
  EXPECT_EQ(form.fields[1], "f.txt=x");
  EXPECT_EQ(form.fields[2], "Upper=y");
  EXPECT_EQ(form.fields[3], "=z");
}

TEST(MultipartFormTest, BytesAfterTheClosingDelimiterMakeAnUnnamedEntry) {
  std::string body = Part("name=\"a\"", "x") + Closing() + "epilogue\r\n";
  ParsedForm form(body);
  EXPECT_EQ(form.fields.Count(), 2);
  EXPECT_EQ(form.names.Count(), 2);
  EXPECT_EQ(form.ranges.Count(), 2);
  EXPECT_EQ(form.fields.Names(1), "");
}

TEST(MultipartFormTest, PartsKeepTheirBytes) {
  const std::string disposition =
      "Content-Disposition: form-data; name=\"f\"; filename=\"f.bin\"\r\n";
  const std::string long_line(250, 'x');
  struct Case {
    const char* label;
    std::string headers, content;
  } cases[] = {
      {"extra header line", disposition + "Content-Transfer-Encoding: binary\r\n", "data"},
      {"extra header after the type",
       disposition + "Content-Type: text/plain\r\nContent-Transfer-Encoding: 8bit\r\n", "data"},
      {"type before disposition", "Content-Type: text/plain\r\n" + disposition, "data"},
      {"delimiter inside a line", disposition, "one " + kDelimiter + " two\r\nthree"},
      {"line starting with the delimiter", disposition, kDelimiter + "x\r\n" + kDelimiter + "---"},
      {"delimiter after 250 bytes of a line", disposition, long_line + kDelimiter + "\r\nend"},
      {"delimiter after a bare line feed", disposition, "a\n" + kDelimiter + "\r\n"},
  };
  for (const Case& c : cases) {
    std::string body = kDelimiter + "\r\n" + c.headers + "\r\n" + c.content + "\r\n" +
                       Part("name=\"g\"", "after") + Closing();
    ParsedForm form(body);
    EXPECT_TRUE(form.Bytes(body, "f") == c.content) << c.label;
    EXPECT_EQ(form.names.Values("f"), "f.bin") << c.label;
    EXPECT_EQ(form.fields.Values("g"), "after") << c.label;
    EXPECT_EQ(form.fields.Count(), 2) << c.label;
  }
}

TEST(MultipartFormTest, UnreadableRangesGiveNoStream) {
  TStringStream body("0123456789");
  EXPECT_EQ(CopyFormPart(body, ""), nullptr);
  EXPECT_EQ(CopyFormPart(body, "1;4"), nullptr);
  EXPECT_EQ(CopyFormPart(body, "x,4"), nullptr);
  EXPECT_EQ(CopyFormPart(body, "-1,4"), nullptr);
  EXPECT_EQ(CopyFormPart(body, "2,11"), nullptr);
  auto part = CopyFormPart(body, "2,5");
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(std::string(part->Memory(), 3), "234");
  EXPECT_EQ(part->Position(), 3);
}

TEST(MultipartRequestTest, FormAccessorsParseOnceAndReadTheBody) {
  std::string body = Part("name=\"a\"", "x") +
                     Part("name=\"f\"; filename=\"c:\\docs\\n.txt\"", "abc", "text/plain") +
                     Closing();
  ReceivedRequest received(
      "POST", "/up", "HTTP/1.0",
      {{"Content-Type", "multipart/form-data; boundary=" + kDelimiter.substr(2)},
       {"Content-Length", std::to_string(body.size())}},
      body);
  TKorviRequest& request = received.Request();
  EXPECT_FALSE(request.MultiPartProcessed());
  EXPECT_EQ(request.GetFormField("A", "default"), "x");
  EXPECT_EQ(request.GetFormField("missing", "default"), "");
  ASSERT_TRUE(request.MultiPartProcessed());
  const TStringList* lists = request.FormFields();
  EXPECT_EQ(request.GetFileName("f"), "c:\\docs\\n.txt");
  EXPECT_EQ(request.GetFileName("a"), "");
  auto file = request.GetFileField("F");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Size(), 3);
  EXPECT_EQ(std::string(file->Memory(), 3), "abc");
  EXPECT_EQ(request.GetFileField("nope"), nullptr);
  EXPECT_EQ(request.FormFields(), lists);
  EXPECT_EQ(request.GetFieldByName("a"), "x");
}

TEST(MultipartRequestTest, NonMultipartBodyUsesTheUrlEncodedPath) {
  ReceivedRequest received(
      "POST", "/", "HTTP/1.0",
      {{"Content-Type", "application/x-www-form-urlencoded"}, {"Content-Length", "3"}}, "a=1");
  TKorviRequest& request = received.Request();
  EXPECT_EQ(request.GetFormField("a", "d"), "1");
  EXPECT_EQ(request.GetFormField("b", "d"), "d");
  EXPECT_EQ(request.GetFileName("a"), "");
  EXPECT_EQ(request.GetFileField("a"), nullptr);
  EXPECT_FALSE(request.MultiPartProcessed());
}

// --- Randomized bodies -------------------------------------------------

// Random bytes from `rng`, `length` of them; `alphabet` empty means any byte.
std::string RandomBytes(std::mt19937& rng, std::size_t length, const std::string& alphabet = "") {
  std::string bytes(length, '\0');
  for (char& c : bytes) {
    if (alphabet.empty()) {
      c = static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng));
    } else {
      c = alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(rng)];
    }
  }
  return bytes;
}

// Whatever the body, the three lists run in step, every range lies inside
// the body and every copied part and text is bounded by it.
void ExpectBounded(const std::string& body) {
  ParsedForm form(body);
  ASSERT_EQ(form.ranges.Count(), form.fields.Count());
  ASSERT_EQ(form.names.Count(), form.fields.Count());
  ASSERT_LE(static_cast<std::size_t>(form.fields.Count()), body.size());
  TStringStream stream(body);
  for (int i = 0; i < form.ranges.Count(); ++i) {
    const std::string range = form.ranges.ValueFromIndex(i);
    const std::size_t comma = range.find(',');
    ASSERT_NE(comma, std::string::npos) << range;
    const long long start = std::stoll(range.substr(0, comma));
    const long long end = std::stoll(range.substr(comma + 1));
    EXPECT_LE(0, start) << range;
    EXPECT_LE(start, end) << range;
    EXPECT_LE(end, static_cast<long long>(body.size())) << range;
    auto part = CopyFormPart(stream, range);
    ASSERT_NE(part, nullptr) << range;
    EXPECT_EQ(part->Size(), end - start);
    EXPECT_LE(form.fields[i].size(), body.size() + 1);
  }
}

// Broken bodies: random delimiters (empty, binary, longer than a line),
// parts without headers, cut anywhere, with the delimiter inside the data,
// lone CRs and LFs, and plain noise.
TEST(MultipartFormFuzzTest, BrokenBodiesStayWithinTheBody) {
  std::mt19937 rng(7340033);
  const std::string pieces[] = {"\r\n",
                                "\r",
                                "\n",
                                "--",
                                "Content-Type: x\r\n",
                                "Content-Disposition: form-data; name=\"",
                                "filename=\"",
                                "\""};
  for (int i = 0; i < 400; ++i) {
    const std::size_t delimiter_length = std::uniform_int_distribution<std::size_t>(0, 300)(rng);
    const std::string delimiter = RandomBytes(rng, delimiter_length, i % 3 == 0 ? "" : "-abc\r\n");
    std::string body = delimiter + "\r\n";
    const int parts = std::uniform_int_distribution<int>(0, 5)(rng);
    for (int p = 0; p < parts; ++p) {
      if (rng() % 4 != 0) body += "Content-Disposition: form-data; name=\"n\"; filename=\"f\"\r\n";
      if (rng() % 2 == 0) body += "Content-Type: application/octet-stream\r\n";
      if (rng() % 3 != 0) body += "\r\n";
      body += RandomBytes(rng, std::uniform_int_distribution<std::size_t>(0, 600)(rng),
                          rng() % 2 == 0 ? "" : "ab\r\n-");
      if (rng() % 3 == 0) body += delimiter;  // the delimiter inside the data
      body += pieces[std::uniform_int_distribution<std::size_t>(0, std::size(pieces) - 1)(rng)];
      body += "\r\n" + delimiter + "\r\n";
    }
    body.resize(std::uniform_int_distribution<std::size_t>(0, body.size())(rng));
    ExpectBounded(body);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// Well-formed bodies with random binary files (lines of any length, CR and
// LF bytes inside) give every file back byte for byte.
TEST(MultipartFormFuzzTest, WellFormedBinaryFilesComeBackExactly) {
  std::mt19937 rng(131071);
  for (int i = 0; i < 150; ++i) {
    const std::string delimiter =
        "--" + RandomBytes(rng, std::uniform_int_distribution<std::size_t>(10, 60)(rng),
                           "abcdefghijklmnopqrstuvwxyz0123456789");
    std::vector<std::string> files;
    std::string body;
    const int parts = std::uniform_int_distribution<int>(1, 4)(rng);
    for (int p = 0; p < parts; ++p) {
      files.push_back(RandomBytes(rng, std::uniform_int_distribution<std::size_t>(0, 2000)(rng),
                                  p % 2 == 0 ? "" : "x\r\n"));
      body += delimiter + "\r\nContent-Disposition: form-data; name=\"f" + std::to_string(p) +
              "\"; filename=\"f.bin\"\r\nContent-Type: application/octet-stream\r\n\r\n" +
              files.back() + "\r\n";
    }
    body += delimiter + "--\r\n";
    ParsedForm form(body);
    for (int p = 0; p < parts; ++p) {
      EXPECT_EQ(form.Bytes(body, "f" + std::to_string(p)), files[static_cast<std::size_t>(p)])
          << "body " << i << " part " << p;
    }
    if (::testing::Test::HasFailure()) return;
  }
}

}  // namespace
}  // namespace korvi
