// Strict request syntax: the request line's form and version, and the
// header lines' names, values, Host and message framing headers.
#include "korvi/web/request_syntax.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvi {
namespace {

TEST(RequestSyntaxTest, RequestLineFormAndVersion) {
  const struct {
    std::string line;
    int status;
  } cases[] = {
      {"GET / HTTP/1.1", 0},
      {"GET /a?b=c HTTP/1.0", 0},
      {"OPTIONS * HTTP/1.9", 0},
      {"GET /\xC3\xA9 HTTP/1.1", 0},
      {"GET / HTTP/2.0", 505},
      {"GET / HTTP/3.1", 505},
      {"GET / HTTP/0.9", 505},
      {"GET /", 400},
      {"GET", 400},
      {"", 400},
      {"GET / HTTP/1.1 ", 400},
      {"GET  / HTTP/1.1", 400},
      {"GET / HTTP/1.1\r", 400},
      {"GET /a\tb HTTP/1.1", 400},
      {"GET /a\x01 HTTP/1.1", 400},
      {"GET / http/1.1", 400},
      {"GET / HTTP/1", 400},
      {"GET / HTTP/1.10", 400},
      {"GET / HTTP/10.0", 400},
      {"G(T / HTTP/1.1", 400},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CheckRequestLine(c.line), c.status) << c.line;
}

TEST(RequestSyntaxTest, HeaderLines) {
  const struct {
    std::vector<std::string> lines;
    int status;
  } cases[] = {
      {{"Host: a", "X-Token!#$%&'*+-.^_`|~09az: v\tw \x80"}, 0},
      {{"host:a", "Content-Length: 5", "content-length: 5, 005"}, 0},
      {{"Host: a", "Transfer-Encoding: chunked"}, 0},
      {{"Host: a", "Transfer-Encoding: Chunked ;x=1 ,"}, 0},
      {{"Host: a", "X: a", " b"}, 400},
      {{"Host: a", "X: a", "\tb"}, 400},
      {{"Host: a", "X a"}, 400},
      {{"Host: a", ""}, 400},
      {{"Host: a", ": v"}, 400},
      {{"Host: a", "X : v"}, 400},
      {{"Host: a", "X(y): v"}, 400},
      {{"Host: a", "X\xC3\xA9: v"}, 400},
      {{"Host: a", "X: a\rb"}, 400},
      {{"Host: a", std::string("X: a\0b", 6)}, 400},
      {{"Host: a", "X: a\x7F"}, 400},
      {{"Host: a", "X: a\x1B"}, 400},
      {{}, 400},
      {{"Host: a", "HOST: b"}, 400},
      {{"Host: a", "Content-Length: 5", "Content-Length: 6"}, 400},
      {{"Host: a", "Content-Length: 5, 6"}, 400},
      {{"Host: a", "Content-Length: "}, 400},
      {{"Host: a", "Content-Length: -5"}, 400},
      {{"Host: a", "Content-Length: 99999999999999999999"}, 400},
      {{"Host: a", "Transfer-Encoding: chunked", "Content-Length: 5"}, 400},
      {{"Host: a", "Content-Length: 5", "Transfer-Encoding: chunked"}, 400},
      {{"Host: a", "Transfer-Encoding: gzip"}, 400},
      {{"Host: a", "Transfer-Encoding: chunked, gzip"}, 400},
      {{"Host: a", "Transfer-Encoding: "}, 400},
      {{"Host: a", "Transfer-Encoding: gzip", "Transfer-Encoding: chunked"}, 501},
      {{"Host: a", "Transfer-Encoding: gzip, chunked"}, 501},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const std::string& line : c.lines)
      shown += "[" + line + "]";
    EXPECT_EQ(CheckHeaderLines(c.lines, true), c.status) << shown;
  }
}

TEST(RequestSyntaxTest, HostIsRequiredFromHTTP11On) {
  const std::vector<std::string> no_host = {"Accept: */*"};
  const std::vector<std::string> one_host = {"Host: a"};
  const std::vector<std::string> two_hosts = {"Host: a", "Host: a"};
  EXPECT_EQ(CheckRequestSyntax("GET / HTTP/1.0", no_host), 0);
  EXPECT_EQ(CheckRequestSyntax("GET / HTTP/1.0", two_hosts), 400);
  EXPECT_EQ(CheckRequestSyntax("GET / HTTP/1.1", no_host), 400);
  EXPECT_EQ(CheckRequestSyntax("GET / HTTP/1.1", one_host), 0);
  EXPECT_EQ(CheckRequestSyntax("GET / HTTP/1.2", no_host), 400);
  EXPECT_EQ(CheckRequestSyntax("GET / HTTP/1.1", two_hosts), 400);
  EXPECT_EQ(CheckRequestSyntax("GET / HTTP/2.0", one_host), 505);
  EXPECT_EQ(CheckRequestSyntax("GET /", one_host), 400);
}

}  // namespace
}  // namespace korvi
