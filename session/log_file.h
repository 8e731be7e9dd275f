/// \file
/// WriteToLogFile: a small helper for application code that appends text to
/// "LOGFILE.TXT" in the current directory. The library never calls it.
#pragma once

#include <string>

namespace korvi {

/// Appends the bytes of `text` (no line ending added) to "LOGFILE.TXT",
/// creating the file when needed, in one write, so the texts of concurrent
/// callers never interleave. Every failure is ignored.
void WriteToLogFile(const std::string& text);

}  // namespace korvi
