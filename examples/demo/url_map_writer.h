// WriteURLMap: writes a URL map file (the file TKorvi's URLMapIniFile names)
// by running korvi-map, the map editor that ships with the library, so the
// file is exactly what a user editing it by hand with korvi-map would get.
#pragma once

#include <string>
#include <vector>

namespace korvi {

// One line of the map: requests for URL paths under `Path` are answered from
// the directory `Directory`.
struct TURLMapping {
  std::string Path;
  std::string Directory;
};

// The program named `name` in the directory of the running program.
std::string ProgramBesideThisOne(const std::string& name);

// Replaces `map_file` with a map holding `mappings`, written by the korvi-map
// program `korvi_map`. Raises Exception when the program cannot be run or
// refuses a mapping.
void WriteURLMap(const std::string& korvi_map, const std::string& map_file,
                 const std::vector<TURLMapping>& mappings);

}  // namespace korvi
