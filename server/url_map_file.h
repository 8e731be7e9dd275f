/// \file
/// The URL map file: an ini file whose [MAP] section holds lines
/// "URL path=directory". The server reads them into its URL map; a line it
/// cannot use is dropped, and DroppedMapLines tells which and why, so that a
/// program can report them.
#pragma once

#include <string>
#include <vector>

namespace korvi {

/// Section of the URL map file that holds the mappings.
inline constexpr const char* kURLMapSection = "MAP";
/// Key of the heading line of the map editor's display (" URL Path"); the
/// ini reader may have trimmed its blank. Never a mapping, never reported.
inline constexpr const char* kURLMapHeadingKey = "URL Path";

/// A line of the [MAP] section that maps nothing.
struct TDroppedMapLine {
  int Line = 0;  ///< its number in the file, from 1
  std::string
      Reason;  ///< "no \"=\"", "empty key", "empty directory" or "key without a leading \"/\""
};

/// The lines of the first [MAP] section of the file `path` that map nothing
/// (remarks aside), in file order; none when the file cannot be read.
std::vector<TDroppedMapLine> DroppedMapLines(const std::string& path);

}  // namespace korvi
