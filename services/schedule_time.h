#pragma once
// Times of day of the scheduler as text: the user's locale time format (strftime "%X", for
// example 22:00:00 in a 24-hour locale), as written to the scheduler file and shown in its list.
//
// Threads: any (reads the process locale).

#include <string>

#include "core/date_time.h"

namespace velk {

// The time of day of `value` (its fraction of a day; whole seconds, milliseconds rounded).
std::string formatscheduletime(TDateTime value);

enum class TimeTextResult {
    Ok,
    OutOfRange,  // shaped as a time, but an hour, minute or second outside its range
    Malformed,
};

// Reads a time of day in the locale's format, or else as H:MM:SS or H:MM (a file written under
// another locale), into a fraction of a day in [0, 1).
TimeTextResult parsescheduletime(const std::string& text, TDateTime& value);

// The fraction of a day of a date-time, in [0, 1).
TDateTime timeofday(TDateTime value);

}  // namespace velk
