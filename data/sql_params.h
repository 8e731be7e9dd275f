// Finding the parameter markers of an SQL text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace korvi {

// The names of the ":name" markers in `sql`, in order of first appearance,
// each once (names compare without regard to case; the first spelling is
// kept). A name is the run of letters, digits, "_", "$" and bytes from 128 up
// after the ":". Markers inside quoted texts ('...', "...", `...`, [...]) and
// comments (-- to the line end, /* ... */) are not parameters.
std::vector<std::string> ParamNamesInSQL(std::string_view sql);

}  // namespace korvi
