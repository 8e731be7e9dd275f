// Finding the parameter markers of an SQL text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace korvi {

// One ":name" marker of an SQL text: the position of its ":" and its name.
struct TSQLMarker {
  size_t position;
  std::string name;
};

// Every ":name" marker of `sql`, in text order. A name is the run of letters,
// digits, "_", "$" and bytes from 128 up after the ":". Markers inside quoted
// texts ('...', "...", `...`, [...]), dollar-quoted texts ($$...$$,
// $tag$...$tag$) and comments (-- to the line end, /* ... */) are not
// parameters, and neither is the cast operator "::".
std::vector<TSQLMarker> ParamMarkersInSQL(std::string_view sql);

// The names of the ":name" markers in `sql`, in order of first appearance,
// each once (names compare without regard to case; the first spelling is
// kept).
std::vector<std::string> ParamNamesInSQL(std::string_view sql);

}  // namespace korvi
