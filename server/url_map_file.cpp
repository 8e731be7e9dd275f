// Finding the lines of a URL map file that map nothing.
#include "korvi/server/url_map_file.h"

#include "korvi/host/exceptions.h"
#include "korvi/host/ini_file.h"
#include "korvi/host/string_list.h"
#include "korvi/host/sysutils.h"

namespace korvi {

namespace {

// Why the [MAP] line `line` maps nothing; empty when it maps something or
// is a remark or the heading.
std::string DropReason(const std::string& line) {
  if (IsIniRemark(line)) return {};
  std::string key;
  std::string directory;
  if (!SplitIniEntry(line, key, directory)) return "no \"=\"";
  if (key == kURLMapHeadingKey) return {};
  if (key.empty()) return "empty key";
  if (directory.empty()) return "empty directory";
  if (key.front() != '/') return "key without a leading \"/\"";
  return {};
}

}  // namespace

std::vector<TDroppedMapLine> DroppedMapLines(const std::string& path) {
  std::vector<TDroppedMapLine> dropped;
  TStringList lines;
  try {
    lines.LoadFromFile(path);
  } catch (const EFOpenError&) {
    return dropped;
  }
  enum { kBefore, kInside, kAfter } place = kBefore;
  for (int i = 0; i < lines.Count() && place != kAfter; ++i) {
    std::string section;
    if (IniSectionHeader(lines[i], section)) {
      if (place == kInside) place = kAfter;
      if (place == kBefore && SameText(section, kURLMapSection)) place = kInside;
    } else if (place == kInside) {
      const std::string reason = DropReason(lines[i]);
      if (!reason.empty()) dropped.push_back({i + 1, reason});
    }
  }
  return dropped;
}

}  // namespace korvi
