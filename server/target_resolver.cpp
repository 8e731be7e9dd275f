// Target resolution of request paths below the root or a mapped directory.
#include "korvi/server/target_resolver.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <memory>

#include <vector>

#include "korvi/host/files.h"
#include "korvi/host/string_list.h"
#include "korvi/host/sysutils.h"
#include "korvi/web/http_text.h"

namespace korvi {

namespace {

// The kind of `path`: faDirectory, 0 for a regular file, -1 when it does not
// exist, cannot be examined or is anything else (a pipe or a device would
// block or never end a transfer).
int PathKind(const std::string& path) {
  struct stat info;
  if (path.empty() || ::stat(path.c_str(), &info) != 0) return -1;
  if (S_ISDIR(info.st_mode)) return faDirectory;
  if (S_ISREG(info.st_mode)) return 0;
  return -1;
}

// The "/"-separated segments of `text`, empty ones left out.
std::vector<std::string> Segments(std::string_view text) {
  std::vector<std::string> result;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('/', start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) result.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return result;
}

// Normalises a decoded request path: backslashes count as "/", "." segments
// go, ".." removes the segment before it, repeated "/" collapse, and the
// result starts with "/" and keeps a trailing "/". False when a ".." would
// climb above the top or the path holds a zero byte.
bool NormalizeURL(std::string_view url, std::string& result) {
  if (url.find('\0') != std::string_view::npos) return false;
  const std::string slashed = DosPathToUnixPath(url);
  std::vector<std::string> kept;
  for (std::string& segment : Segments(slashed)) {
    if (segment == ".") continue;
    if (segment == "..") {
      if (kept.empty()) return false;
      kept.pop_back();
      continue;
    }
    kept.push_back(std::move(segment));
  }
  result.assign(1, '/');
  for (size_t i = 0; i < kept.size(); ++i) {
    if (i > 0) result += '/';
    result += kept[i];
  }
  const bool trailing = !slashed.empty() && slashed.back() == '/';
  const bool dotted =
      slashed.ends_with("/.") || slashed.ends_with("/..") || slashed == "." || slashed == "..";
  if (!kept.empty() && (trailing || dotted)) result += '/';
  return true;
}

// The entry of `directory` named `name` without regard to case, or empty.
std::string FindNameIgnoringCase(const std::string& directory, const std::string& name) {
  for (const TSearchRec& entry : FindFiles(directory, "*")) {
    if (SameText(entry.Name, name)) return entry.Name;
  }
  return {};
}

// `base` + `relative`, where every segment of `relative` that does not exist
// as written is replaced by an entry of the same name in another case. The
// segments after the first one that matches nothing stay as written. `kind`
// is the PathKind of the result.
std::string MatchCase(const std::string& base, const std::string& relative, int& kind) {
  std::string path = base;
  if (!relative.empty() && !path.empty() && path.back() != '/') path += '/';
  std::string as_written = path + relative;
  kind = PathKind(as_written);
  if (kind != -1) return as_written;
  const std::vector<std::string> segments = Segments(relative);
  for (size_t i = 0; i < segments.size(); ++i) {
    const std::string& segment = segments[i];
    std::string name = segment;
    if (PathKind(path + segment) == -1) name = FindNameIgnoringCase(path, segment);
    if (name.empty()) {
      for (size_t j = i; j < segments.size(); ++j)
        path += (j > i ? "/" : "") + segments[j];
      break;
    }
    path += name;
    if (i + 1 < segments.size()) path += '/';
  }
  if (!relative.empty() && relative.back() == '/' && path.back() != '/') path += '/';
  kind = PathKind(path);
  return path;
}

// True when a segment of `relative` begins with ".".
bool HasHiddenSegment(std::string_view relative) {
  for (size_t i = 0; i < relative.size(); ++i) {
    if (relative[i] == '.' && (i == 0 || relative[i - 1] == '/')) return true;
  }
  return false;
}

std::string WithoutTrailingSlash(std::string path) {
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// `path` with every symbolic link, "." and ".." resolved; empty when it does
// not exist.
std::string RealPath(const std::string& path) {
  const std::unique_ptr<char, decltype(&::free)> real(::realpath(path.c_str(), nullptr), &::free);
  return real ? std::string(real.get()) : std::string();
}

}  // namespace

bool IsWithinDirectory(const std::string& path, const std::string& base) {
  const std::string inner = RealPath(path);
  std::string outer = RealPath(base);
  if (inner.empty() || outer.empty()) return false;
  if (inner == outer) return true;
  if (outer.back() != '/') outer += '/';
  return inner.starts_with(outer);
}

std::string StripLast(std::string& path) {
  if (path.empty()) return {};
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    path.clear();
    return {};
  }
  std::string last = path.substr(slash);
  path.erase(slash);
  return last;
}

TTargetResolver::TTargetResolver(std::string root, const TStringList& url_map,
                                 std::string default_file, bool follow_links)
    : root_(std::move(root)),
      url_map_(url_map),
      default_file_(std::move(default_file)),
      follow_links_(follow_links) {}

bool TTargetResolver::MapBase(const std::string& url, std::string& base, std::string& rest) const {
  // Candidates: the URL cut before its last "/", then before the one before
  // that, down to its first segment; a URL of one segment is its own.
  size_t cut = url.rfind('/');
  if (cut == 0) cut = url.size();
  while (cut != std::string::npos && cut > 0) {
    const int line = url_map_.IndexOfName(url.substr(0, cut));
    // A mapping without a directory is ignored: it would put the remainder
    // at the top of the file system.
    const std::string directory = line < 0 ? "" : DosPathToUnixPath(url_map_.ValueFromIndex(line));
    if (!directory.empty()) {
      base = directory.front() == '/' || root_.empty() ? directory : root_ + directory;
      rest = url.substr(cut);
      return true;
    }
    cut = url.rfind('/', cut - 1);
  }
  if (root_.empty()) return false;
  base = root_;
  rest = url;
  return true;
}

bool TTargetResolver::MapURL(std::string_view url, std::string& path) const {
  std::string normalized;
  std::string base;
  std::string rest;
  const bool empty = url.empty();
  if (!NormalizeURL(url, normalized) || !MapBase(normalized, base, rest)) {
    path.clear();
    return false;
  }
  const std::string relative = rest.empty() || rest.front() != '/' ? rest : rest.substr(1);
  int kind = -1;
  path = MatchCase(base, empty ? default_file_ : relative, kind);
  return true;
}

TTarget TTargetResolver::FindTarget(std::string_view url, bool serve_static) const {
  TTarget target;
  std::string base;
  std::string rest;
  if (!NormalizeURL(url, target.URL) || !MapBase(target.URL, base, rest)) {
    target.Error = 404;
    return target;
  }
  const std::string relative = rest.empty() || rest.front() != '/' ? rest : rest.substr(1);
  int kind = -1;
  std::string path = MatchCase(base, relative, kind);

  // What does not exist is looked for upwards: the first existing file on
  // the way is the target (/page.htm/extra serves page.htm). The walk stays
  // within the base.
  const size_t floor = WithoutTrailingSlash(base).size();
  while (kind == -1) {
    StripLast(path);
    if (path.size() < floor) break;
    if (PathKind(path) == 0) kind = 0;
  }
  if (kind == -1) {
    target.Error = 404;
    return target;
  }

  target.Path = path;
  target.Attr = kind;
  target.Base = base;
  if (path.size() > base.size() && HasHiddenSegment(std::string_view(path).substr(base.size()))) {
    target.Attr |= faHidden;
  }
  if (kind == faDirectory) {
    if (target.Path.back() != '/') target.Path += '/';
    CheckDefault(target);
  } else if (!serve_static) {
    target.Error = 400;
  }
  if (!follow_links_ && !IsWithinDirectory(target.Path, base)) {
    target.Path.clear();
    target.Attr = -1;
    target.Error = 404;
  }
  return target;
}

bool TTargetResolver::CheckDefault(TTarget& target) const {
  if (default_file_.empty()) return false;
  int kind = -1;
  const std::string candidate = MatchCase(target.Path, default_file_, kind);
  if (kind != 0) return false;
  target.Attr = (target.Attr & faHidden) | (HasHiddenSegment(default_file_) ? faHidden : 0);
  target.Path = candidate;
  return true;
}

}  // namespace korvi
