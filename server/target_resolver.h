// Target resolution: maps a decoded request path onto a file or directory
// below the document root, or below a mapped directory of the URL map.
//
// The exact path is tried first; when it does not exist, each segment is
// matched without regard to case. No request reaches anything outside the
// root or the mapped directory: ".." segments (also when written with
// backslashes) that would climb out, and URLs that no mapping covers in URL
// map mode, find no target. Names beginning with "." are hidden.
//
// Symbolic links are followed wherever they lead, unless the resolver is
// told not to: then a target whose real path (links resolved) leaves the
// root or the mapped directory it was found in is not found either.
#pragma once

#include <string>
#include <string_view>

namespace korvi {

class TStringList;

// Attribute bits of a resolved target (TargetAttr); -1 means no target.
constexpr int faHidden = 0x02;     // a name on the path begins with "."
constexpr int faDirectory = 0x10;  // a directory (a regular file has neither bit)

// The outcome of resolving one request path.
struct TTarget {
  std::string Path;  // TargetPath: the file, or the directory ending in "/"
  int Attr = -1;     // TargetAttr: faDirectory and faHidden bits; -1 when not found
  int Error = 0;     // error page to write: 404 (no target), 400 (query on a file); 0 none
  std::string URL;   // the request path with "." and ".." segments resolved
  std::string Base;  // the root or mapped directory the target was found in
};

// True when the real path of `path` (symbolic links resolved) is the real
// path of the directory `base` or lies below it; false when either does not
// exist.
bool IsWithinDirectory(const std::string& path, const std::string& base);

// Cuts `path` at its last "/": returns the cut-off part with that "/", and
// `path` keeps what stood before it. Without a "/", `path` becomes empty
// and the result is empty.
std::string StripLast(std::string& path);

class TTargetResolver {
 public:
  // `root`: the document root ending in "/" (empty in URL map mode);
  // `url_map`: URL path=directory lines (kept by reference);
  // `default_file`: the file served for a directory; `follow_links` false:
  // a target whose real path leaves its base directory is not found.
  TTargetResolver(std::string root, const TStringList& url_map, std::string default_file,
                  bool follow_links = true);

  // Resolves the decoded request path `url`. A directory target ends in "/"
  // and is replaced by its default file when that exists; a file target
  // with `serve_static` false (the request carried a query) gets Error 400;
  // no target (or, without following links, one that leaves its base
  // directory) gets Error 404.
  TTarget FindTarget(std::string_view url, bool serve_static) const;
  // Makes the default file of the directory target.Path the target when it
  // exists and is not a directory; true then, else `target` is unchanged.
  bool CheckDefault(TTarget& target) const;
  // The file-system path that `url` names, found as FindTarget finds it
  // (through the URL map, segments matched without regard to case) but
  // without requiring that it exists; an empty `url` names the default file
  // of the root. False, with `path` empty, when the URL would climb out of
  // the root or its mapped directory, or no mapping covers it in URL map
  // mode.
  bool MapURL(std::string_view url, std::string& path) const;

 private:
  bool MapBase(const std::string& url, std::string& base, std::string& rest) const;

  std::string root_;
  const TStringList& url_map_;
  std::string default_file_;
  bool follow_links_;
};

}  // namespace korvi
