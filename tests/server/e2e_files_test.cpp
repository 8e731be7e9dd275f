// End to end: a real TKorvi over a temporary document tree, asked by curl
// and by raw loopback sockets where exact bytes matter. Covers the built-in
// answers: files, default files, listings, error pages, content types,
// large files, URL map mode and attempts to leave the root.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "korvi/host/files.h"
#include "korvi/host/sysutils.h"
#include "korvi/server/directory_listing.h"
#include "korvi/server/korvi.h"
#include "korvi/server/korvi_thread.h"
#include "korvi/server/output_text.h"
#include "korvi/socket/name_lookup.h"
#include "korvi/socket/ssl_ksocket.h"
#include "korvi/web/action_item.h"
#include "korvi/web/korvi_response.h"
#include "tests/server/response_sizes.h"
#include "tests/support/curl.h"
#include "tests/support/loopback_client.h"
#include "tests/support/pump.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_certificate.h"

namespace korvi {
namespace {

using test::Curl;
using test::LoopbackClient;
using test::MaskDate;
using test::PumpUntil;

// The status line with `status` and the "Server"/"Date" headers every
// built-in answer starts with.
std::string AnswerStart(const std::string& status = "200 OK") {
  std::string host;
  try {
    host = LocalHostName();
  } catch (const std::exception&) {
    // No host name: no "Server" header.
  }
  return "HTTP/1.0 " + status + "\r\n" + (host.empty() ? "" : "Server: " + host + "\r\n") +
         "Date: *\r\n";
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class FilesEndToEnd : public ::testing::Test {
 protected:
  FilesEndToEnd() {
    dir_.Write("www/index.htm", "<p>home</p>");
    dir_.Write("www/page.htm", "<p>page</p>");
    dir_.Write("www/sub/index.htm", "<p>sub home</p>");
    dir_.Write("www/.secret", "hidden");
    dir_.Write("outside.txt", "OUTSIDE");
    root_ = dir_.File("www");
    server_.SetRoot(root_);
    server_.SetPort(test::FreePort());
    sizes_.Attach(server_);
  }

  std::string Raw(const std::string& request) {
    LoopbackClient client(server_.ServerPort());
    client.Send(request);
    std::string answer = client.ReadAll();
    EXPECT_TRUE(client.PeerClosed()) << request;
    return answer;
  }

  // Waits until the worker threads of earlier requests have ended, so that
  // the configuration can change (it is read without locking).
  void Quiesce() {
    ASSERT_TRUE(PumpUntil([&] { return server_.ThreadCount() == 0; }));
  }

  std::string Get(const std::string& path, const std::string& method = "GET") {
    return Curl(server_.ServerPort(), path, method);
  }

  // The start of the error answer for `message`, whose status line carries
  // the same status text.
  static std::string ErrorAnswer(const std::string& message) {
    return AnswerStart(message) + "\r\n" +
           "<BODY TEXT=\"#000000\" BGCOLOR=\"#FFFFFF\" LINK=\"#FFFF80\" VLINK=\"#C0C0C0\" "
           "ALINK=\"#80FFFF\"><B><FONT SIZE=+3>ERROR : " +
           message;
  }

  // The head of a file answer for the file `relative` below the root.
  std::string FileHead(const std::string& relative, const std::string& type) {
    const std::string path = root_ + "/" + relative;
    return AnswerStart() + (type.empty() ? "" : "Content-type: " + type + "\r\n") +
           "Content-Length: " + IntToStr(FileSize(path)) + "\r\n" +
           "Last-Modified: " + FormatHeaderDate(FileAge(path)) + "\r\n\r\n";
  }

  // Wraps the data-sent handler of every worker to record how far each
  // event moves the transmission, after giving its socket a send buffer of
  // `send_buffer` bytes.
  void RecordMoves(int send_buffer) {
    server_.OnBeforeProcess = [this, send_buffer](TObject*, TKorviRequest*, TKorviResponse*,
                                                  TKorviThread* thread) {
      ::setsockopt(thread->Socket->Handle(), SOL_SOCKET, SO_SNDBUF, &send_buffer,
                   sizeof send_buffer);
      TDataSent send_next = thread->Socket->OnDataSent;
      thread->Socket->OnDataSent = [this, thread, send_next](TObject* sender, std::uint16_t error) {
        const std::int64_t before = thread->SendPos;
        send_next(sender, error);
        std::lock_guard<std::mutex> lock(mutex_);
        if (thread->SendPos > before) moves_.push_back(thread->SendPos - before);
      };
    };
  }

  // The moves recorded so far.
  std::vector<std::int64_t> Moves() {
    std::lock_guard<std::mutex> lock(mutex_);
    return moves_;
  }

  test::TempDir dir_;
  std::string root_;
  std::mutex mutex_;
  test::ResponseSizes sizes_;
  std::vector<std::int64_t> moves_;
  TKorvi server_{nullptr};  // last: destroyed, with its threads, first
};

// A file goes out as status line, headers, empty line and its bytes; HEAD
// gives the same head without the bytes.
TEST_F(FilesEndToEnd, FileAnswerAndHeadByteForByte) {
  server_.StartListening();
  const std::string head = FileHead("page.htm", "text/html");
  EXPECT_EQ(MaskDate(Raw("GET /page.htm HTTP/1.0\r\n\r\n")), head + "<p>page</p>");
  EXPECT_EQ(MaskDate(Raw("HEAD /page.htm HTTP/1.0\r\n\r\n")), head);
  EXPECT_EQ(MaskDate(Raw("GET / HTTP/1.0\r\nHost: x\r\n\r\n")),
            FileHead("index.htm", "text/html") + "<p>home</p>");
  // curl reads the same answer.
  EXPECT_EQ(MaskDate(Get("/page.htm")), head + "<p>page</p>");
}

// The root: its default file, else its listing, else (listing off) 403.
TEST_F(FilesEndToEnd, RootDefaultListingAndListingOff) {
  server_.StartListening();
  EXPECT_TRUE(Has(Get("/"), "<p>home</p>"));
  ASSERT_EQ(::remove((root_ + "/index.htm").c_str()), 0);
  const std::string listing = Get("/");
  EXPECT_EQ(
      MaskDate(listing).rfind(
          AnswerStart() + "Content-type: text/html; charset=utf-8\r\n\r\n" + ListingPageOpen, 0),
      0u)
      << listing;
  EXPECT_TRUE(Has(listing, "SERVER ROOT<hr>"));
  EXPECT_TRUE(Has(listing, "<a href=\"/page.htm\">page.htm</a>"));
  EXPECT_TRUE(Has(listing, "<a href=\"/sub\">sub</a>"));
  EXPECT_FALSE(Has(listing, "secret"));
  Quiesce();
  server_.DirectoryListing = false;
  EXPECT_EQ(MaskDate(Get("/")).rfind(ErrorAnswer("403 Forbidden"), 0), 0u);
}

// /sub resolves like /sub/; extra path after a file still serves the file.
TEST_F(FilesEndToEnd, DirectoryWithoutSlashAndExtraPath) {
  server_.StartListening();
  EXPECT_EQ(MaskDate(Get("/sub")), MaskDate(Get("/sub/")));
  EXPECT_TRUE(Has(Get("/sub"), "<p>sub home</p>"));
  EXPECT_EQ(MaskDate(Get("/page.htm/extra/x")), FileHead("page.htm", "text/html") + "<p>page</p>");
  EXPECT_TRUE(Has(Get("/SUB/INDEX.HTM"), "<p>sub home</p>"));
}

// Every error goes out as an error page whose status line carries the error.
TEST_F(FilesEndToEnd, ErrorPages) {
  server_.StartListening();
  struct Case {
    const char* method;
    const char* path;
    const char* message;
  };
  const Case cases[] = {
      {"GET", "/missing.htm", "404 Not Found"},       {"GET", "/page.htm?x=1", "400 Bad Request"},
      {"GET", "/?x=1", "501 Not Implemented"},        {"PUT", "/x", "501 Not Implemented"},
      {"DELETE", "/page.htm", "501 Not Implemented"}, {"GET", "/.secret", "403 Forbidden"},
  };
  for (const Case& c : cases) {
    const std::string answer = MaskDate(Get(c.path, c.method));
    EXPECT_EQ(answer.rfind(ErrorAnswer(c.message), 0), 0u) << c.method << " " << c.path << "\n"
                                                           << answer;
    EXPECT_TRUE(answer.ends_with("</BODY>\r\n")) << answer;
  }
}

// Nothing outside the root is reachable, however the ".." is written; a
// zero byte in the path (which would cut it short) finds nothing either.
TEST_F(FilesEndToEnd, PathTraversalFindsNothing) {
  server_.StartListening();
  for (const char* path :
       {"/../outside.txt", "/%2e%2e/outside.txt", "/sub/..%2f..%2foutside.txt", "/..%5coutside.txt",
        "/sub\\..\\..\\outside.txt", "/%2E%2E/%2e%2e/", "/page.htm%00.txt"}) {
    const std::string answer = MaskDate(Raw(std::string("GET ") + path + " HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(answer.rfind(ErrorAnswer("404 Not Found"), 0), 0u) << path << "\n" << answer;
    EXPECT_FALSE(Has(answer, "OUTSIDE")) << path;
  }
  // A ".." that stays inside the root is resolved.
  EXPECT_TRUE(Has(Raw("GET /sub/../page.htm HTTP/1.0\r\n\r\n"), "<p>page</p>"));
}

// With Active false only what an action answers goes out; the rest is 503.
TEST_F(FilesEndToEnd, InactiveServerAnswersOnlyThroughActions) {
  server_.SetActive(false);
  TKActionItem* action = server_.Actions()->Add();
  action->SetPathInfo("/act");
  action->SetOnAction([](TObject*, TKorviRequest*, TKorviResponse* response, bool& handled) {
    response->SetContent("acted");
    handled = true;
  });
  server_.StartListening();
  EXPECT_EQ(Raw("GET /act HTTP/1.0\r\n\r\n"),
            "HTTP/1.0 200 OK\r\nContent-type: text/html\r\nContent-Length: 5\r\n\r\nacted");
  EXPECT_TRUE(Get("/act/more").ends_with("\r\n\r\nacted"));
  EXPECT_EQ(MaskDate(Get("/page.htm")).rfind(ErrorAnswer("503 Service Unvailable"), 0), 0u);
}

// Types come from the built-in table or OnGetMimeType; names without an
// extension, and unknown extensions without the hook, get no type.
TEST_F(FilesEndToEnd, ContentTypes) {
  dir_.Write("www/README", "plain");
  dir_.Write("www/logo.png", "\x89PNG");
  dir_.Write("www/notes.TXT", "notes");
  server_.StartListening();
  EXPECT_EQ(MaskDate(Get("/README")), FileHead("README", "") + "plain");
  EXPECT_EQ(MaskDate(Get("/logo.png")), FileHead("logo.png", "") + "\x89PNG");
  EXPECT_EQ(MaskDate(Get("/notes.TXT")), FileHead("notes.TXT", "text/plain") + "notes");
  Quiesce();
  server_.OnGetMimeType = [](TObject*, const std::string& ext, std::string& type) {
    if (ext == "png") type = "image/png";
  };
  EXPECT_EQ(MaskDate(Get("/logo.png")), FileHead("logo.png", "image/png") + "\x89PNG");
  EXPECT_EQ(MaskDate(Get("/README")), FileHead("README", "") + "plain");
}

// UseSystemMimeTypes puts a mime.types file between OnGetMimeType and the
// built-in table: the hook still answers first, the file next, the
// built-in table for what neither knows.
TEST_F(FilesEndToEnd, SystemTypeTable) {
  dir_.Write("www/logo.png", "\x89PNG");
  dir_.Write("www/notes.txt", "notes");
  dir_.Write("www/data.csv", "a,b");
  EXPECT_FALSE(server_.UseSystemMimeTypes(dir_.File("missing.types")));
  EXPECT_EQ(server_.MimeTable(), nullptr);
  ASSERT_TRUE(
      server_.UseSystemMimeTypes(dir_.Write("mime.types", "image/png png\ntext/csv csv\n")));
  server_.OnGetMimeType = [](TObject*, const std::string& ext, std::string& type) {
    if (ext == "csv") type = "text/x-comma";
  };
  server_.StartListening();
  EXPECT_EQ(MaskDate(Get("/logo.png")), FileHead("logo.png", "image/png") + "\x89PNG");
  EXPECT_EQ(MaskDate(Get("/notes.txt")), FileHead("notes.txt", "text/plain") + "notes");
  EXPECT_EQ(MaskDate(Get("/data.csv")), FileHead("data.csv", "text/x-comma") + "a,b");
  // The system's own table, where the machine has one.
  Quiesce();
  EXPECT_EQ(server_.UseSystemMimeTypes(), FileExists(SystemMimeTypesFile));
}

// OnFileHeaders adds header lines after the server's own, for GET and HEAD
// alike, told which file is answered; line breaks in them become blanks.
TEST_F(FilesEndToEnd, ApplicationHeadersOnFileAnswers) {
  std::vector<std::string> paths;
  server_.OnFileHeaders = [&](TObject* sender, const std::string& path, TStringList& headers) {
    EXPECT_EQ(sender, &server_);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      paths.push_back(path);
    }
    headers.Add("Content-Disposition=attachment; filename=\"page.htm\"");
    headers.Add("X-Content-Type-Options=nosniff");
    headers.Add("Cache-Control=no-store\r\nSet-Cookie: x=1");
  };
  server_.StartListening();
  const std::string head = FileHead("page.htm", "text/html");
  const std::string added =
      "Content-Disposition: attachment; filename=\"page.htm\"\r\n"
      "X-Content-Type-Options: nosniff\r\nCache-Control: no-store  Set-Cookie: x=1\r\n\r\n";
  const std::string expected = head.substr(0, head.size() - 2) + added;
  EXPECT_EQ(MaskDate(Get("/page.htm")), expected + "<p>page</p>");
  EXPECT_EQ(MaskDate(Get("/page.htm", "HEAD")), expected);
  // Error pages and listings are no file answers.
  EXPECT_FALSE(Has(Get("/missing.htm"), "nosniff"));
  Quiesce();
  std::lock_guard<std::mutex> lock(mutex_);
  EXPECT_EQ(paths, std::vector<std::string>(2, root_ + "/page.htm"));
}

// Links out of the root are followed by default; with FollowLinks off they
// get the 404 page and listings leave them out, while links that stay
// inside keep working.
TEST_F(FilesEndToEnd, SymbolicLinksOutOfTheRoot) {
  dir_.MakeDir("elsewhere");
  dir_.Write("elsewhere/secret.txt", "SECRET");
  ASSERT_EQ(::symlink(dir_.File("outside.txt").c_str(), (root_ + "/out.txt").c_str()), 0);
  ASSERT_EQ(::symlink(dir_.File("elsewhere").c_str(), (root_ + "/away").c_str()), 0);
  ASSERT_EQ(::symlink("page.htm", (root_ + "/inside.htm").c_str()), 0);
  server_.SetFile("none.htm");
  server_.StartListening();
  EXPECT_TRUE(Get("/out.txt").ends_with("\r\n\r\nOUTSIDE"));
  EXPECT_TRUE(Get("/away/secret.txt").ends_with("\r\n\r\nSECRET"));
  EXPECT_TRUE(Has(Get("/"), ">out.txt</a>"));

  Quiesce();
  server_.FollowLinks = false;
  for (const std::string path : {"/out.txt", "/away/secret.txt", "/away/", "/AWAY/Secret.txt"}) {
    EXPECT_EQ(MaskDate(Get(path)).rfind(ErrorAnswer("404 Not Found"), 0), 0u) << path;
  }
  EXPECT_TRUE(Get("/inside.htm").ends_with("\r\n\r\n<p>page</p>"));
  const std::string listing = Get("/");
  EXPECT_FALSE(Has(listing, "out.txt")) << listing;
  EXPECT_FALSE(Has(listing, "away")) << listing;
  EXPECT_TRUE(Has(listing, ">inside.htm</a>")) << listing;
}

// Over TLS a large file goes out after the header text in chunks of 8192
// bytes, one per data-sent event of the socket; OnResponse announces the
// header text plus the file, and OnResponseDone reports as many bytes sent.
TEST_F(FilesEndToEnd, LargeFileInChunksOverTls) {
  std::string content(20000, '\0');
  for (size_t i = 0; i < content.size(); ++i)
    content[i] = static_cast<char>('a' + i % 26);
  dir_.Write("www/big.txt", content);
  const test::TestCertificate certificate;
  server_.TlsEnabled = true;
  server_.TlsCertificateFile = certificate.CertificateFile();
  server_.TlsKeyFile = certificate.KeyFile();
  RecordMoves(1024 * 1024);
  server_.StartListening();
  const std::string head = FileHead("big.txt", "text/plain");
  const test::ChildResult run = test::RunPumping(
      {"curl", "-sS", "-i", "--max-time", "10", "--cacert", certificate.CertificateFile(),
       "https://127.0.0.1:" + IntToStr(server_.ServerPort()) + "/big.txt"});
  const std::string& answer = run.output;
  EXPECT_EQ(MaskDate(answer), head + content);
  Quiesce();
  EXPECT_EQ(Moves(), (std::vector<std::int64_t>{8192, 8192, 3616}));
  const std::vector<std::int64_t> whole = {static_cast<std::int64_t>(answer.size())};
  EXPECT_EQ(sizes_.Announced(), whole);
  EXPECT_EQ(sizes_.Sent(), whole);
}

// A file of several MB over a plain connection, through a send buffer it
// fills again and again: whole or a range of it (with the HTTP11 profile),
// to a reader as fast as the sender or one with a small receive buffer, it
// arrives byte for byte, in moves larger than one 8192-byte chunk, and
// OnResponseDone reports the bytes OnResponse announced.
TEST_F(FilesEndToEnd, SeveralMegabytesInPiecesAsLargeAsTheSocketTakes) {
  std::string content(5 * 1024 * 1024 + 123, '\0');
  for (size_t i = 0; i < content.size(); ++i)
    content[i] = static_cast<char>(i % 251);
  dir_.Write("www/big.bin", content);
  RecordMoves(64 * 1024);
  const struct {
    const char* request;
    int receive_buffer;
    std::string body;
  } cases[] = {
      {"GET /big.bin HTTP/1.0\r\n\r\n", 0, content},
      {"GET /big.bin HTTP/1.0\r\n\r\n", 4096, content},
      {"GET /big.bin HTTP/1.1\r\nHost: h\r\nRange: bytes=1000-4000999\r\nConnection: close\r\n\r\n",
       0, content.substr(1000, 4000000)},
  };
  server_.StartListening();
  size_t answers = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.request) + " " + IntToStr(c.receive_buffer));
    server_.HTTP11 = std::string_view(c.request).ends_with("close\r\n\r\n");
    LoopbackClient client(server_.ServerPort(), c.receive_buffer);
    client.Send(c.request);
    const std::string answer = client.ReadAll(30000);
    const size_t head = answer.find("\r\n\r\n") + 4;
    EXPECT_TRUE(answer.compare(head, std::string::npos, c.body) == 0) << answer.size();
    Quiesce();
    const std::vector<std::int64_t> moves = Moves();
    std::int64_t moved = 0;
    for (const std::int64_t move : moves)
      moved += move;
    EXPECT_EQ(moved, static_cast<std::int64_t>(c.body.size()));
    ASSERT_FALSE(moves.empty());
    EXPECT_GT(*std::max_element(moves.begin(), moves.end()), 8192);
    ++answers;
    const std::vector<std::int64_t> announced = sizes_.Announced();
    ASSERT_EQ(announced.size(), answers);
    EXPECT_EQ(announced.back(), static_cast<std::int64_t>(answer.size()));
    EXPECT_EQ(sizes_.Sent(), announced);
    std::lock_guard<std::mutex> lock(mutex_);
    moves_.clear();
  }
}

// A directory with blanks, a subdirectory, a hidden file and a mask.
TEST_F(FilesEndToEnd, ListingOfADirectory) {
  dir_.Write("www/My Docs/Read Me.TXT", std::string(1234, 'r'));
  dir_.Write("www/My Docs/page.htm", "p");
  dir_.Write("www/My Docs/.hidden.txt", "h");
  dir_.MakeDir("www/My Docs/Old");
  server_.DirectoryMask = "*.txt";
  server_.StartListening();
  const std::string listing = Get("/My%20Docs/");
  EXPECT_TRUE(Has(listing, "Content of Server Directory : </font>/my docs/<hr>")) << listing;
  EXPECT_TRUE(Has(listing, "<a href=\"/\">PARENT DIRECTORY</a> <hr>"));
  EXPECT_TRUE(Has(listing,
                  "<a href=\"/my%20docs/read%20me.txt\">read me.txt</a></td>"
                  "<td align=right>1234</td>"));
  EXPECT_FALSE(Has(listing, "page.htm"));
  EXPECT_FALSE(Has(listing, "hidden"));
  EXPECT_FALSE(Has(listing, "Old"));
  // The lower-cased link of the listing reaches the file.
  EXPECT_TRUE(Has(Get("/my%20docs/read%20me.txt"), std::string(1234, 'r')));

  Quiesce();
  server_.DirectoryMask = "";
  const std::string all = Get("/My%20Docs");
  EXPECT_TRUE(Has(all, "<a href=\"/My%20Docs/Old\">Old</a></td><td align=right><b>- SUB -</b>"));
  EXPECT_TRUE(Has(all, "page.htm"));
  EXPECT_FALSE(Has(all, "hidden"));
  EXPECT_TRUE(Has(Get("/My%20Docs/Old/"), "Directory is empty "));
  EXPECT_EQ(MaskDate(Get("/My%20Docs/.hidden.txt")).rfind(ErrorAnswer("403 Forbidden"), 0), 0u);
}

// In URL map mode only mapped paths reach files, each within its directory.
TEST_F(FilesEndToEnd, UrlMapMode) {
  dir_.Write("manuals/a/b.htm", "<p>manual</p>");
  const std::string map =
      dir_.Write("site.ini", "[VERSION]\nPIRNASK=0.1\n[MAP]\n/docs=" + dir_.File("manuals") + "\n");
  server_.SetIniFile(map);
  ASSERT_EQ(server_.ServerRoot(), "");
  server_.StartListening();
  EXPECT_TRUE(Has(Get("/docs/a/b.htm"), "<p>manual</p>"));
  EXPECT_TRUE(Has(Get("/DOCS/A/B.HTM"), "<p>manual</p>"));
  EXPECT_EQ(MaskDate(Get("/page.htm")).rfind(ErrorAnswer("404 Not Found"), 0), 0u);
  EXPECT_EQ(MaskDate(Get("/")).rfind(ErrorAnswer("404 Not Found"), 0), 0u);
  const std::string climbing = MaskDate(Raw("GET /docs/../outside.txt HTTP/1.0\r\n\r\n"));
  EXPECT_EQ(climbing.rfind(ErrorAnswer("404 Not Found"), 0), 0u) << climbing;
}

}  // namespace
}  // namespace korvi
