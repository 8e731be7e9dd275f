// CsAccess: the one lock of the process that every session store and every
// session holds while it reads or changes its state.
#pragma once

#include <mutex>

namespace korvi {

// The process-wide session lock. It is recursive, so application code may
// hold it around several session calls (a read followed by a write) to make
// them one step. It is made on first use, from whichever thread comes first,
// and never destroyed, so stores and sessions freed while the program exits
// can still take it.
std::recursive_mutex& CsAccess();

}  // namespace korvi
