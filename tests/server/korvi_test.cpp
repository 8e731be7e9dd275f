// The server component: defaults and property writers, the URL map file,
// listening (port search, Active, port changes), loading stored properties,
// and numbered query copies.
#include "korvi/server/korvi.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>

#include "korvi/data/query.h"
#include "korvi/host/exceptions.h"
#include "korvi/host/files.h"
#include "korvi/server/property_source.h"
#include "korvi/socket/ssl_ksocket.h"
#include "tests/support/loopback_client.h"
#include "tests/support/pump.h"
#include "tests/support/temp_dir.h"

namespace korvi {
namespace {

using test::LoopbackClient;
using test::PumpUntil;

// A plain listening socket on all interfaces, standing in for another program.
class PortSquatter {
 public:
  explicit PortSquatter(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd_, 5) != 0) {
      throw std::runtime_error("cannot occupy the port");
    }
  }
  ~PortSquatter() { ::close(fd_); }

 private:
  int fd_;
};

// True when a connection to `port` on 127.0.0.1 is refused.
bool Refused(int port) {
  try {
    LoopbackClient client(port);
    return false;
  } catch (const std::runtime_error&) {
    return true;
  }
}

// The answer to `request` on a new connection.
std::string Exchange(int port, const std::string& request) {
  LoopbackClient client(port);
  client.Send(request);
  return client.ReadAll();
}

TEST(KorviProperties, DefaultsOfAFreshServer) {
  TKorvi server(nullptr);
  EXPECT_EQ(server.ServerRoot(), GetCurrentDir() + "/");
  EXPECT_EQ(server.URLMapIniFile(), "");
  EXPECT_EQ(server.DefaultFile(), "index.htm");
  EXPECT_EQ(server.ServerPort(), 80);
  EXPECT_EQ(server.Timeout, 100);
  EXPECT_EQ(server.MaxThread(), 100);
  EXPECT_TRUE(server.DirectoryListing);
  EXPECT_EQ(server.DirectoryMask, "*.*");
  EXPECT_TRUE(server.Active());
  EXPECT_EQ(server.ThreadCount(), 0);
  EXPECT_EQ(server.ListenSocket(), nullptr);
  EXPECT_TRUE(server.FirstLoad());
  EXPECT_TRUE(server.FollowLinks);
  EXPECT_FALSE(server.ProductLine.Get().has_value());
  EXPECT_FALSE(server.OnFileHeaders.Get());
  EXPECT_FALSE(server.ServesTls());
  EXPECT_EQ(server.MimeTable(), nullptr);
}

// The setters named after their getters set what the classic names set.
TEST(KorviProperties, SettersNamedAfterTheirGetters) {
  test::TempDir dir;
  const std::string ini = dir.Write("site.ini", "[MAP]\n/docs=manuals\n");
  TKorvi server(nullptr);
  server.SetDefaultFile("home.htm");
  server.SetMaxThread(7);
  server.SetServerPort(8123);
  server.SetURLMapIniFile(ini);
  EXPECT_EQ(server.DefaultFile(), "home.htm");
  EXPECT_EQ(server.MaxThread(), 7);
  EXPECT_EQ(server.ServerPort(), 8123);
  EXPECT_EQ(server.URLMapIniFile(), ini);
  EXPECT_EQ(server.ServerRoot(), "");
  EXPECT_EQ(server.URLMap()->Values("/docs"), "manuals");
}

// Root and map file exclude each other, and URLMap follows the map file:
// section "MAP" without the editor's heading, backslashes read as "/".
TEST(KorviProperties, RootAndUrlMapExcludeEachOther) {
  test::TempDir dir;
  const std::string ini =
      dir.Write("site.ini",
                "[VERSION]\nPIRNASK=0.1\n[MAP]\n URL Path= Directory (Full Server or Relative)\n"
                "/docs=C:\\Manuals\\\n/img=pictures\n");
  TKorvi server(nullptr);
  server.SetIniFile(ini);
  EXPECT_EQ(server.ServerRoot(), "");
  ASSERT_EQ(server.URLMap()->Count(), 2);
  EXPECT_EQ((*server.URLMap())[0], "/docs=C:/Manuals/");
  EXPECT_EQ(server.URLMap()->Values("/IMG"), "pictures");

  server.SetRoot("/srv/www");
  EXPECT_EQ(server.ServerRoot(), "/srv/www/");
  EXPECT_EQ(server.URLMapIniFile(), "");
  EXPECT_EQ(server.URLMap()->Count(), 0);

  server.SetIniFile("");
  EXPECT_EQ(server.ServerRoot(), "/srv/www/");
  server.SetIniFile(dir.File("missing.ini"));
  EXPECT_EQ(server.URLMap()->Count(), 0);
}

// Worker threads resolve requests through the URL map while the main thread
// replaces it again and again: every request sees one whole map, the old or
// the new one, never one being rebuilt.
TEST(KorviProperties, WorkersReadAWholeUrlMapWhileItIsReplaced) {
  test::TempDir dir;
  dir.Write("a/x.txt", "from a");
  dir.Write("b/x.txt", "from b");
  const std::string maps[] = {dir.Write("a.ini", "[MAP]\n/m=" + dir.File("a") + "\n"),
                              dir.Write("b.ini", "[MAP]\n/m=" + dir.File("b") + "\n")};
  TKorvi server(nullptr);
  server.SetIniFile(maps[0]);
  server.SetPort(test::FreePort());
  server.StartListening();
  constexpr int kRequests = 60;
  std::atomic<int> answered{0};
  std::atomic<int> wrong{0};
  std::thread clients([&] {
    for (int i = 0; i < kRequests; ++i, ++answered) {
      std::string answer;
      try {
        LoopbackClient client(server.ServerPort());
        client.Send("GET /m/x.txt HTTP/1.0\r\n\r\n");
        client.ReadBlocking(answer, SIZE_MAX, 10000);
      } catch (const std::runtime_error&) {
        // Counted as a wrong answer below.
      }
      if (!answer.ends_with("\r\n\r\nfrom a") && !answer.ends_with("\r\n\r\nfrom b")) ++wrong;
    }
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (int swaps = 0; answered < kRequests && std::chrono::steady_clock::now() < deadline;
       ++swaps) {
    server.SetIniFile(maps[swaps % 2]);
    PumpUntil([] { return false; }, 2);
  }
  clients.join();
  EXPECT_EQ(answered, kRequests);
  EXPECT_EQ(wrong, 0);
  EXPECT_TRUE(PumpUntil([&] { return server.ThreadCount() == 0; }));
}

// A busy ServerPort moves the listener to the next free port.
TEST(KorviListening, PortSearchSkipsBusyPorts) {
  const int busy = test::FreePort();
  PortSquatter squatter(busy);
  test::TempDir root;
  root.Write("index.htm", "home");
  TKorvi server(nullptr);
  server.SetRoot(root.Path());
  server.SetPort(busy);
  server.StartListening();
  EXPECT_GT(server.ServerPort(), busy);
  EXPECT_LE(server.ServerPort(), LastSearchPort);
  EXPECT_FALSE(server.FirstLoad());
  EXPECT_NE(Exchange(server.ServerPort(), "GET / HTTP/1.0\r\n\r\n").find("home"),
            std::string::npos);
  server.StartListening();  // only the first start listens
}

// Port 0 lets the system pick; ServerPort tells which one.
TEST(KorviListening, PortZeroReportsThePortTaken) {
  TKorvi server(nullptr);
  server.SetPort(0);
  server.StartListening();
  EXPECT_GT(server.ServerPort(), 0);
  EXPECT_FALSE(Refused(server.ServerPort()));
}

// Active closes and re-opens the listener; a second SetActive(true) and a
// SetPort to the same value change nothing.
TEST(KorviListening, ActiveTogglesTheListener) {
  test::TempDir root;
  root.Write("index.htm", "home");
  TKorvi server(nullptr);
  server.SetRoot(root.Path());
  server.SetPort(test::FreePort());
  server.StartListening();
  const int port = server.ServerPort();
  server.SetActive(false);
  EXPECT_FALSE(server.Active());
  EXPECT_TRUE(Refused(port));
  server.SetActive(true);
  server.SetActive(true);
  server.SetPort(port);
  EXPECT_NE(Exchange(port, "GET / HTTP/1.0\r\n\r\n").find("home"), std::string::npos);
}

// A port change moves a running listener; a busy port is reported with the
// server's own message.
TEST(KorviListening, SetPortMovesTheListener) {
  TKorvi server(nullptr);
  server.SetPort(test::FreePort());
  server.StartListening();
  const int old_port = server.ServerPort();
  const int new_port = test::FreePort();
  server.SetPort(new_port);
  EXPECT_TRUE(Refused(old_port));
  EXPECT_FALSE(Refused(new_port));

  const int busy = test::FreePort();
  PortSquatter squatter(busy);
  try {
    server.SetPort(busy);
    FAIL() << "no error for a busy port";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(),
              "Unable to activate listening on port [" + std::to_string(busy) + "]");
  }
  EXPECT_EQ(server.ServerPort(), busy);
}

// Loading applies stored values in declaration order and starts listening
// even when Active is false (requests then get the 503 page); switching
// Active on afterwards serves without listening twice.
// Where request bodies go is stored like the other settings.
TEST(KorviLoading, ReadStateAppliesTheBodySettings) {
  TKorvi server(nullptr);
  EXPECT_EQ(server.MaxBodyInMemory, 1024 * 1024);
  EXPECT_EQ(server.BodySpoolDirectory, "");
  server.ReadState(TPropertySource(
      TStringList{"ServerPort=0", "MaxBodyInMemory=4096", "BodySpoolDirectory=/var/spool/korvi"}));
  EXPECT_EQ(server.MaxBodyInMemory, 4096);
  EXPECT_EQ(server.BodySpoolDirectory, "/var/spool/korvi");
  EXPECT_TRUE(TKorvi::IsStoredProperty("bodyspooldirectory"));
}

// Link following and the product line are stored too; an empty stored
// product line is one of its own (no line), not the default.
TEST(KorviLoading, ReadStateAppliesLinksAndProductLine) {
  for (const std::string line : {"<i>Tea shop</i>", ""}) {
    TKorvi server(nullptr);
    server.ReadState(
        TPropertySource(TStringList{"ServerPort=0", "FollowLinks=False", "ProductLine=" + line}));
    EXPECT_FALSE(server.FollowLinks);
    EXPECT_EQ(server.ProductLine, line);
  }
  EXPECT_TRUE(TKorvi::IsStoredProperty("FollowLinks"));
  EXPECT_TRUE(TKorvi::IsStoredProperty("productline"));
}

// The HTTP/1.1 profile and the scheduling settings are off by default and
// stored like the other settings.
TEST(KorviLoading, ReadStateAppliesTheProfileSettings) {
  TKorvi server(nullptr);
  EXPECT_FALSE(server.HTTP11);
  EXPECT_EQ(server.KeepAliveTimeout, 5);
  EXPECT_EQ(server.MaxKeepAliveRequests, 1000);
  EXPECT_FALSE(server.BatchScheduling);
  EXPECT_FALSE(server.SteerKeptConnections);
  server.ReadState(TPropertySource(TStringList{"ServerPort=0", "HTTP11=True", "KeepAliveTimeout=9",
                                               "MaxKeepAliveRequests=7", "BatchScheduling=True",
                                               "SteerKeptConnections=True"}));
  EXPECT_TRUE(server.HTTP11);
  EXPECT_EQ(server.KeepAliveTimeout, 9);
  EXPECT_EQ(server.MaxKeepAliveRequests, 7);
  EXPECT_TRUE(server.BatchScheduling);
  EXPECT_TRUE(server.SteerKeptConnections);
  for (const char* name : {"http11", "KeepAliveTimeout", "MAXKEEPALIVEREQUESTS", "batchscheduling"})
    EXPECT_TRUE(TKorvi::IsStoredProperty(name)) << name;
}

TEST(KorviLoading, ReadStateAppliesStoredValuesAndListens) {
  test::TempDir dir;
  dir.Write("www/home.htm", "welcome");
  const int port = test::FreePort();
  const std::string ini =
      dir.Write("server.ini",
                "[Korvi1]\nActive=False\nDefaultFile=home.htm\nDirectoryListing=0\n"
                "MaxThread=7\nServerPort=" +
                    std::to_string(port) + "\nServerRoot=" + dir.File("www") + "\nTimeout=30\n");
  TKorvi server(nullptr);
  server.ReadState(TPropertySource::FromIniSection(ini, "korvi1"));
  EXPECT_FALSE(server.Active());
  EXPECT_EQ(server.DefaultFile(), "home.htm");
  EXPECT_FALSE(server.DirectoryListing);
  EXPECT_EQ(server.MaxThread(), 7);
  EXPECT_EQ(server.ServerPort(), port);
  EXPECT_EQ(server.ServerRoot(), dir.File("www") + "/");
  EXPECT_EQ(server.Timeout, 30);
  EXPECT_FALSE(server.IsLoading());
  EXPECT_NE(Exchange(port, "GET / HTTP/1.0\r\n\r\n").find("ERROR : 503"), std::string::npos);

  // The listener of the inactive server moves with the port.
  const int new_port = test::FreePort();
  server.SetPort(new_port);
  EXPECT_TRUE(Refused(port));
  server.SetActive(true);
  EXPECT_NE(Exchange(new_port, "GET / HTTP/1.0\r\n\r\n").find("welcome"), std::string::npos);
}

// The connection properties load after the older ones; ListenAddress binds
// the listener to one address.
TEST(KorviLoading, ConnectionPropertiesAreStored) {
  TKorvi server(nullptr);
  test::TempDir root;
  server.SetRoot(root.Path());
  const int port = test::FreePort();
  server.ReadState(TPropertySource(TStringList{"ServerPort=" + std::to_string(port),
                                               "ListenAddress=127.0.0.1", "MaxConnections=12",
                                               "MaxConnectionsPerAddress=3", "StopGracePeriod=4"}));
  EXPECT_EQ(server.ListenAddress, "127.0.0.1");
  EXPECT_EQ(server.MaxConnections, 12);
  EXPECT_EQ(server.MaxConnectionsPerAddress, 3);
  EXPECT_EQ(server.StopGracePeriod, 4);
  for (const char* name :
       {"listenaddress", "MaxConnections", "MAXCONNECTIONSPERADDRESS", "StopGracePeriod"}) {
    EXPECT_TRUE(TKorvi::IsStoredProperty(name)) << name;
  }
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  ASSERT_EQ(
      getsockname(server.ListenSocket()->Handle(), reinterpret_cast<sockaddr*>(&bound), &length),
      0);
  EXPECT_EQ(ntohl(bound.sin_addr.s_addr), INADDR_LOOPBACK);
}

TEST(KorviLoading, InvalidStoredValuesAreReported) {
  TKorvi server(nullptr);
  try {
    server.ReadState(TPropertySource(TStringList{"ServerPort=80x"}));
    FAIL() << "no error for a malformed port";
  } catch (const EConvertError& error) {
    EXPECT_EQ(error.Message(), "Invalid value for property ServerPort: '80x'");
  }
  EXPECT_THROW(server.ReadState(TPropertySource(TStringList{"Active=maybe"})), EConvertError);
  EXPECT_FALSE(server.IsLoading());
  EXPECT_EQ(server.ListenSocket(), nullptr);
}

// Copies of a query are numbered per server and opened like their source;
// a failing copy gives nothing.
TEST(KorviQueries, DupQueryNumbersTheCopies) {
  test::TempDir dir;
  TQuery source(nullptr);
  source.SetName("q");
  source.SetDatabaseName(dir.File("db.sqlite"));
  source.SetSQL("SELECT :v AS v");
  source.ParamByName("v").SetAsInteger(42);
  source.Open();
  TKorvi server(nullptr);
  TQuery* first = server.DupQuery(&source);
  TQuery* second = server.DupQuery(&source);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(first->Name(), "q1");
  EXPECT_EQ(second->Name(), "q2");
  EXPECT_TRUE(second->Active());
  EXPECT_EQ(second->Params().Count(), 1);
  server.FreeQuery(first);
  server.FreeQuery(second);
  EXPECT_EQ(server.DupQuery(nullptr), nullptr);
}

}  // namespace
}  // namespace korvi
