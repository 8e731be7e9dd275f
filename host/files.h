/// \file
/// File-system queries on Linux paths ("/" separated).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "korvi/host/datetime.h"

namespace korvi {

/// The separator of path parts.
constexpr char PathDelim = '/';

/// One directory entry as a directory search returns it.
struct TSearchRec {
  std::string Name;   ///< entry name, without directory
  std::int64_t Size;  ///< bytes (0 for directories)
  TDateTime Time;     ///< last write time, local
  /// True for a directory.
  bool IsDirectory;
  bool IsHidden;  ///< the name begins with "."
};

bool FileExists(const std::string& path);       ///< an existing non-directory
bool DirectoryExists(const std::string& path);  ///< an existing directory
/// Size in bytes, or -1 when the file does not exist.
std::int64_t FileSize(const std::string& path);
/// Last write time (local), or -1.0 when the path does not exist.
TDateTime FileDateTime(const std::string& path);
/// Last write time in seconds since the Unix epoch, or -1 when the path does
/// not exist.
std::int64_t FileAge(const std::string& path);
/// The process's current directory, without a trailing "/".
std::string GetCurrentDir();
/// `path` with a trailing "/" added when missing (an empty path stays empty).
std::string IncludeTrailingPathDelimiter(std::string_view path);
/// `path` made absolute against the current directory; an absolute or empty
/// path comes back as it is.
std::string ExpandFileName(std::string_view path);
///@{
/// "dir/name.ext" -> ".ext" (empty when the name has no "."),
/// -> "name.ext", -> "dir/".
std::string ExtractFileExt(std::string_view path);
std::string ExtractFileName(std::string_view path);
std::string ExtractFilePath(std::string_view path);
///@}
/// True when `name` matches `mask` with "*" and "?" wildcards, without regard
/// to case; as on the original file system, "*.*" matches every name.
bool MatchesMask(std::string_view name, std::string_view mask);
/// The entries of `directory` whose names match `mask` ("." and ".." left
/// out), sorted by name; an unreadable directory gives none.
std::vector<TSearchRec> FindFiles(const std::string& directory, std::string_view mask);

}  // namespace korvi
