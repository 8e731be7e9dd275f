// Date-time values as ISO 8601 texts, the form in which the data layer
// stores them in SQLite ("yyyy-mm-dd", "hh:nn:ss", "yyyy-mm-dd hh:nn:ss",
// with ".zzz" when there are milliseconds), which SQLite's own date and time
// functions read and write.
#pragma once

#include <string>
#include <string_view>

#include "korvi/data/param.h"
#include "korvi/host/datetime.h"

namespace korvi {

// What an ISO text of a value holds.
enum class TIsoPart { ipDate, ipTime, ipDateTime };

// The part a parameter of declared type `type` holds: the date of ftDate, the
// time of ftTime, both for any other type.
TIsoPart IsoPartOf(TFieldType type);

// The ISO text of `value`: its date, its time of day, or both.
std::string DateTimeToIso(TDateTime value, TIsoPart part);
// Reads "yyyy-mm-dd", "hh:nn[:ss[.fff]]" or the two joined by a blank or a
// "T"; false (and `value` untouched) for anything else or an invalid date.
bool TryIsoToDateTime(std::string_view text, TDateTime& value);

}  // namespace korvi
