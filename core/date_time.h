#pragma once
// Date-times as the recorder stores them: 64-bit floats counting days since 1899-12-30, local
// time, with the time of day as the fraction. Conversions to and from calendar fields are exact to
// the millisecond; conversions to and from instants go through the system's time-zone rules,
// including daylight-saving transitions.

#include <chrono>
#include <cstdint>
#include <ctime>

namespace velk {

using TDateTime = double;
using SystemTime = std::chrono::system_clock::time_point;

// Local calendar fields. `dayofweek` is 1 Monday .. 7 Sunday (filled by decodedatetime).
struct CalendarTime {
    int year = 1899;
    int month = 12;
    int day = 30;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
    int dayofweek = 6;

    bool samefields(const CalendarTime& other) const;
};

// Calendar fields as a struct tm (tm_isdst as given; tm_wday from `dayofweek`), for strftime and
// mktime.
std::tm tmofcalendar(const CalendarTime& fields, int isdst = -1);

// Calendar fields to day count. Fields must be a valid date and time (no normalisation).
TDateTime encodedatetime(const CalendarTime& fields);
TDateTime encodedatetime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                         int millisecond = 0);
// Day count to calendar fields, rounded to the nearest millisecond.
CalendarTime decodedatetime(TDateTime value);

// Milliseconds since 1899-12-30 00:00 for a day count, rounded to the nearest millisecond.
std::int64_t datetimetomilliseconds(TDateTime value);
TDateTime millisecondstodatetime(std::int64_t milliseconds);

// Whole seconds between two date-times: the absolute millisecond difference divided by 1000,
// truncated.
std::int64_t secondsbetween(TDateTime a, TDateTime b);
std::int64_t millisecondsbetween(TDateTime a, TDateTime b);

// An instant as local calendar time (the process's time zone, TZ).
CalendarTime tolocalcalendar(SystemTime instant);
TDateTime tolocaldatetime(SystemTime instant);

// How a local time that names no instant or two instants is resolved.
enum class LocalTimeChoice {
    Earliest,  // of two instants (fall-back hour) the earlier; a time in a spring-forward gap
               // resolves to the first instant after the gap
    Latest,    // of two instants the later; a gap resolves as with Earliest
};

// A local calendar time as an instant. Exact for times that exist once; see LocalTimeChoice for
// the repeated hour of a fall-back day and the missing hour of a spring-forward day.
SystemTime fromlocalcalendar(const CalendarTime& fields, LocalTimeChoice choice = LocalTimeChoice::Earliest);
SystemTime fromlocaldatetime(TDateTime value, LocalTimeChoice choice = LocalTimeChoice::Earliest);

}  // namespace velk
