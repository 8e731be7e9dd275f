// The HttpOnly and SameSite attributes of a cookie: their text and place
// after the other attributes, for every combination with secure.
#include "korvi/web/cookie.h"

#include <gtest/gtest.h>

#include <string>

namespace korvi {
namespace {

struct AttributeCase {
  bool secure;
  bool http_only;
  TSameSite same_site;
  const char* header;
};

TEST(KCookieTest, SecureHttpOnlyAndSameSiteInEveryCombination) {
  const AttributeCase cases[] = {
      {false, false, ssUnset, "SID=42; path=/"},
      {true, false, ssUnset, "SID=42; path=/; secure"},
      {false, true, ssUnset, "SID=42; path=/; HttpOnly"},
      {true, true, ssUnset, "SID=42; path=/; secure; HttpOnly"},
      {false, false, ssLax, "SID=42; path=/; SameSite=Lax"},
      {true, false, ssLax, "SID=42; path=/; secure; SameSite=Lax"},
      {false, true, ssLax, "SID=42; path=/; HttpOnly; SameSite=Lax"},
      {true, true, ssLax, "SID=42; path=/; secure; HttpOnly; SameSite=Lax"},
      {false, false, ssStrict, "SID=42; path=/; SameSite=Strict"},
      {true, false, ssStrict, "SID=42; path=/; secure; SameSite=Strict"},
      {false, true, ssStrict, "SID=42; path=/; HttpOnly; SameSite=Strict"},
      {true, true, ssStrict, "SID=42; path=/; secure; HttpOnly; SameSite=Strict"},
      // SameSite=None is always secure.
      {false, false, ssNone, "SID=42; path=/; secure; SameSite=None"},
      {true, false, ssNone, "SID=42; path=/; secure; SameSite=None"},
      {false, true, ssNone, "SID=42; path=/; secure; HttpOnly; SameSite=None"},
      {true, true, ssNone, "SID=42; path=/; secure; HttpOnly; SameSite=None"},
  };
  for (const AttributeCase& c : cases) {
    TKCookie cookie(nullptr);
    cookie.Name = "SID";
    cookie.Value = "42";
    cookie.Path = "/";
    cookie.Secure = c.secure;
    cookie.HttpOnly = c.http_only;
    cookie.SameSite = c.same_site;
    EXPECT_EQ(cookie.GetHeaderValue(), c.header);
  }
}

}  // namespace
}  // namespace korvi
