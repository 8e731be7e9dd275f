// File-system queries: existence, size and time of paths, path pieces,
// wildcard masks and sorted directory searches.
#include "korvi/host/files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "korvi/host/sysutils.h"

namespace korvi {

namespace {

bool StatPath(const std::string& path, struct stat& info) {
  return !path.empty() && ::stat(path.c_str(), &info) == 0;
}

// The local day count of a modification time.
TDateTime LocalDateTime(const struct timespec& when) {
  return UnixToLocalDateTime(when.tv_sec, static_cast<int>(when.tv_nsec / 1000000));
}

// Wildcard match without regard to ASCII case: "*" any run, "?" one byte.
bool Wildcard(std::string_view name, std::string_view mask) {
  std::size_t n = 0, m = 0;
  std::size_t star = std::string_view::npos, resume = 0;
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == '*') {
      star = m++;
      resume = n;
    } else if (m < mask.size() && (mask[m] == '?' || UpCase(mask[m]) == UpCase(name[n]))) {
      ++m;
      ++n;
    } else if (star != std::string_view::npos) {
      m = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*')
    ++m;
  return m == mask.size();
}

}  // namespace

bool FileExists(const std::string& path) {
  struct stat info {};
  return StatPath(path, info) && !S_ISDIR(info.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat info {};
  return StatPath(path, info) && S_ISDIR(info.st_mode);
}

std::int64_t FileSize(const std::string& path) {
  struct stat info {};
  if (!StatPath(path, info) || S_ISDIR(info.st_mode)) return -1;
  return info.st_size;
}

TDateTime FileDateTime(const std::string& path) {
  struct stat info {};
  if (!StatPath(path, info)) return -1.0;
  return LocalDateTime(info.st_mtim);
}

std::int64_t FileAge(const std::string& path) {
  struct stat info {};
  if (!StatPath(path, info)) return -1;
  return static_cast<std::int64_t>(info.st_mtim.tv_sec);
}

std::string GetCurrentDir() {
  std::string buffer(256, '\0');
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return {};
    buffer.resize(buffer.size() * 2);
  }
  buffer.resize(std::char_traits<char>::length(buffer.c_str()));
  if (buffer.size() > 1 && buffer.back() == PathDelim) buffer.pop_back();
  return buffer;
}

std::string IncludeTrailingPathDelimiter(std::string_view path) {
  std::string out(path);
  if (!out.empty() && out.back() != PathDelim) out += PathDelim;
  return out;
}

std::string ExpandFileName(std::string_view path) {
  if (path.empty() || path.front() == PathDelim) return std::string(path);
  return IncludeTrailingPathDelimiter(GetCurrentDir()) + std::string(path);
}

std::string ExtractFileExt(std::string_view path) {
  const std::size_t at = path.find_last_of("./");
  if (at == std::string_view::npos || path[at] != '.') return {};
  return std::string(path.substr(at));
}

std::string ExtractFileName(std::string_view path) {
  const std::size_t slash = path.rfind(PathDelim);
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string ExtractFilePath(std::string_view path) {
  const std::size_t slash = path.rfind(PathDelim);
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

bool MatchesMask(std::string_view name, std::string_view mask) {
  if (Wildcard(name, mask)) return true;
  // A mask ending in ".*" also matches names without any extension, so that
  // "*.*" matches every name and "readme.*" matches "readme".
  return mask.size() >= 2 && mask.substr(mask.size() - 2) == ".*" &&
         name.find('.') == std::string_view::npos &&
         Wildcard(name, mask.substr(0, mask.size() - 2));
}

std::vector<TSearchRec> FindFiles(const std::string& directory, std::string_view mask) {
  std::vector<TSearchRec> found;
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(directory.c_str()), ::closedir);
  if (!dir) return found;
  const std::string base = IncludeTrailingPathDelimiter(directory);
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || !MatchesMask(name, mask)) continue;
    struct stat info {};
    // A link that leads nowhere is listed as what it is itself.
    if (::stat((base + name).c_str(), &info) != 0 && ::lstat((base + name).c_str(), &info) != 0) {
      continue;
    }
    const bool is_dir = S_ISDIR(info.st_mode);
    found.push_back({name, is_dir ? 0 : static_cast<std::int64_t>(info.st_size),
                     LocalDateTime(info.st_mtim), is_dir, name[0] == '.'});
  }
  std::sort(found.begin(), found.end(), [](const TSearchRec& a, const TSearchRec& b) {
    const int order = CompareText(a.Name, b.Name);
    return order != 0 ? order < 0 : a.Name < b.Name;
  });
  return found;
}

}  // namespace korvi
