/// \file
/// EDatabaseError: the exception the data layer raises for misuse of a data
/// set (a closed data set, a missing field or parameter) and for failures the
/// database engine reports (its own message text).
#pragma once

#include "korvi/host/exceptions.h"

namespace korvi {

/// A data set, field, parameter or database operation failed.
class EDatabaseError : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace korvi
