// Fuzz target for ini files and URL map files: the input's first line is a
// request path, the rest an ini text. The text is read as an ini file and
// loaded as the server's URL map; the path is then resolved through the
// map, once in URL map mode and once below a document root. Checks: a
// target, when one is found, lies inside the document root or inside the
// directory of a mapping, never above it.
#include "korvi/server/target_resolver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "fuzz_check.h"
#include "korvi/host/ini_file.h"
#include "korvi/host/string_list.h"
#include "korvi/server/korvi.h"
#include "korvi/web/http_text.h"

using korvi::fuzz::Check;

namespace {

// A scratch directory with a small tree: the document root "site/" and the
// map file written for each input. The process works inside it, so relative
// map directories stay inside it too.
struct TScratch {
  TScratch() {
    char pattern[] = "/tmp/korvi-fuzz-map-XXXXXX";
    dir = mkdtemp(pattern);
    for (const char* sub : {"/site", "/site/docs", "/site/docs/deep", "/other"}) {
      std::string path = dir + sub;
      mkdir(path.c_str(), 0700);
    }
    for (const char* file : {"/site/index.htm", "/site/docs/a.txt", "/other/b.htm"}) {
      const int fd = open((dir + file).c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
      if (fd >= 0) close(fd);
    }
    if (chdir(dir.c_str()) != 0) std::abort();
    map_file = dir + "/map.ini";
    server = std::make_unique<korvi::TKorvi>(nullptr);
  }
  std::string dir;
  std::string map_file;
  std::unique_ptr<korvi::TKorvi> server;
};

TScratch& Scratch() {
  static TScratch* const scratch = new TScratch;
  return *scratch;
}

// True when `path` begins with the directory `base` (with or without its
// trailing "/").
bool Inside(const std::string& path, std::string base) {
  if (base.size() > 1 && base.back() == '/') base.pop_back();
  return path.compare(0, base.size(), base) == 0 &&
         (path.size() == base.size() || path[base.size()] == '/' || base == "/");
}

void Resolve(const std::string& root, const korvi::TStringList& map, const std::string& url) {
  for (const bool serve_static : {true, false}) {
    const korvi::TTargetResolver resolver(root, map, "index.htm");
    const korvi::TTarget target = resolver.FindTarget(url, serve_static);
    if (target.Attr == -1) continue;
    bool inside = !root.empty() && Inside(target.Path, root);
    for (int i = 0; i < map.Count() && !inside; ++i) {
      const std::string directory = korvi::DosPathToUnixPath(map.ValueFromIndex(i));
      if (directory.empty()) continue;
      inside = Inside(target.Path,
                      directory.front() == '/' || root.empty() ? directory : root + directory);
    }
    Check(inside, "a target lies inside the root or a mapped directory");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TScratch& scratch = Scratch();
  korvi::fuzz::TFuzzInput input(data, size);
  const std::string url = input.Line();
  const std::string_view text = input.Rest();
  const int fd = open(scratch.map_file.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return 0;
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  if (!written) return 0;

  const korvi::TIniFile ini(scratch.map_file);
  korvi::TStringList lines;
  ini.ReadSectionValues("MAP", lines);
  ini.ReadString("VERSION", "PIRNASK", "");
  ini.SectionExists("MAP");

  scratch.server->SetIniFile(scratch.map_file);
  const std::shared_ptr<const korvi::TStringList> map = scratch.server->URLMap();
  Check(map->Count() <= lines.Count(), "the URL map holds no more lines than the section");
  Resolve("", *map, url);
  Resolve(scratch.dir + "/site/", *map, url);
  return 0;
}
