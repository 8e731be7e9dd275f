// The map-file property in a configuration file: the editor opens the map it
// names, and a saved change stores the property the way the server's writer
// does (dropping ServerRoot); an edit that changes nothing writes nothing.
#include "korvi/design/ini_property.h"

#include <gtest/gtest.h>

#include <string>

#include "korvi/design/map_form.h"
#include "korvi/host/application.h"
#include "tests/support/temp_dir.h"

namespace korvi {
namespace {

TEST(IniPropertyTest, ChangedMapStoresThePropertyUnchangedWritesNothing) {
  test::TempDir dir;
  const std::string map = dir.Write("map.ini", "[MAP]\n/a=1\n");
  const std::string stored =
      "[Korvi]\nServerRoot=/srv\nServerPort=8080\nURLMapIniFile=" + map + "\n";
  const std::string config = dir.Write("serve.ini", stored);

  ZIniProperty property(config, "korvi");
  EXPECT_EQ(property.FileValue, map);
  property.Edit([](TMapForm& form) { EXPECT_EQ(form.Cells(1, form.FindRow("/A")), "1"); });
  EXPECT_EQ(test::ReadFile(config), stored);
  Application().OnMessageBox = [](const std::string&, const std::string&) {};
  property.Edit([](TMapForm& form) { EXPECT_FALSE(form.Add("/a", "2")); });
  Application().OnMessageBox = nullptr;
  EXPECT_EQ(test::ReadFile(config), stored);

  property.Edit([](TMapForm& form) { EXPECT_TRUE(form.Add("/b", "2")); });
  EXPECT_EQ(test::ReadFile(map), "[MAP]\n/a=1\n/b=2\n[VERSION]\nPIRNASK=0.1\n");
  EXPECT_EQ(test::ReadFile(config), "[Korvi]\nServerPort=8080\nURLMapIniFile=" + map + "\n");
}

}  // namespace
}  // namespace korvi
