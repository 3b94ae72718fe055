#include "core/date_time.h"

#include <cmath>
#include <ctime>
#include <optional>

namespace velk {

namespace {

constexpr std::int64_t msPerDay = 86'400'000;

// Days from 1970-01-01 for a proleptic Gregorian date (Howard Hinnant's algorithm).
constexpr std::int64_t daysfromcivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilfromdays(std::int64_t z, int& year, int& month, int& day)
{
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(y + (month <= 2));
}

// Day 0 of the day count (1899-12-30) relative to 1970-01-01.
constexpr std::int64_t epochOffsetDays = daysfromcivil(1899, 12, 30);

std::int64_t floordiv(std::int64_t a, std::int64_t b)
{
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

bool localfieldsmatch(std::time_t t, const CalendarTime& f)
{
    std::tm tm{};
    if (!localtime_r(&t, &tm))
        return false;
    return tm.tm_year == f.year - 1900 && tm.tm_mon == f.month - 1 && tm.tm_mday == f.day &&
           tm.tm_hour == f.hour && tm.tm_min == f.minute && tm.tm_sec == f.second;
}

}  // namespace

std::tm tmofcalendar(const CalendarTime& f, int isdst)
{
    std::tm tm{};
    tm.tm_year = f.year - 1900;
    tm.tm_mon = f.month - 1;
    tm.tm_mday = f.day;
    tm.tm_hour = f.hour;
    tm.tm_min = f.minute;
    tm.tm_sec = f.second;
    tm.tm_wday = f.dayofweek % 7;
    tm.tm_isdst = isdst;
    return tm;
}

bool CalendarTime::samefields(const CalendarTime& o) const
{
    return year == o.year && month == o.month && day == o.day && hour == o.hour && minute == o.minute &&
           second == o.second && millisecond == o.millisecond;
}

TDateTime encodedatetime(const CalendarTime& f)
{
    const std::int64_t days =
        daysfromcivil(f.year, static_cast<unsigned>(f.month), static_cast<unsigned>(f.day)) - epochOffsetDays;
    const std::int64_t ms = ((static_cast<std::int64_t>(f.hour) * 60 + f.minute) * 60 + f.second) * 1000 + f.millisecond;
    return static_cast<double>(days) + static_cast<double>(ms) / static_cast<double>(msPerDay);
}

TDateTime encodedatetime(int year, int month, int day, int hour, int minute, int second, int millisecond)
{
    CalendarTime f;
    f.year = year;
    f.month = month;
    f.day = day;
    f.hour = hour;
    f.minute = minute;
    f.second = second;
    f.millisecond = millisecond;
    return encodedatetime(f);
}

std::int64_t datetimetomilliseconds(TDateTime value)
{
    if (!std::isfinite(value))
        return 0;
    // Days and fraction separately, so large day counts keep millisecond precision.
    const double days = std::floor(value);
    const std::int64_t fraction = std::llround((value - days) * static_cast<double>(msPerDay));
    return static_cast<std::int64_t>(days) * msPerDay + fraction;
}

TDateTime millisecondstodatetime(std::int64_t milliseconds)
{
    const std::int64_t days = floordiv(milliseconds, msPerDay);
    const std::int64_t rest = milliseconds - days * msPerDay;
    return static_cast<double>(days) + static_cast<double>(rest) / static_cast<double>(msPerDay);
}

CalendarTime decodedatetime(TDateTime value)
{
    const std::int64_t ms = datetimetomilliseconds(value);
    const std::int64_t days = floordiv(ms, msPerDay);
    std::int64_t rest = ms - days * msPerDay;
    CalendarTime f;
    civilfromdays(days + epochOffsetDays, f.year, f.month, f.day);
    f.millisecond = static_cast<int>(rest % 1000);
    rest /= 1000;
    f.second = static_cast<int>(rest % 60);
    rest /= 60;
    f.minute = static_cast<int>(rest % 60);
    f.hour = static_cast<int>(rest / 60);
    // 1899-12-30 was a Saturday (6).
    f.dayofweek = static_cast<int>(((days % 7) + 7 + 5) % 7) + 1;
    return f;
}

std::int64_t millisecondsbetween(TDateTime a, TDateTime b)
{
    const std::int64_t d = datetimetomilliseconds(a) - datetimetomilliseconds(b);
    return d < 0 ? -d : d;
}

std::int64_t secondsbetween(TDateTime a, TDateTime b)
{
    return millisecondsbetween(a, b) / 1000;
}

CalendarTime tolocalcalendar(SystemTime instant)
{
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(instant.time_since_epoch()).count();
    const std::time_t secs = static_cast<std::time_t>(floordiv(ms, 1000));
    std::tm tm{};
    localtime_r(&secs, &tm);
    CalendarTime f;
    f.year = tm.tm_year + 1900;
    f.month = tm.tm_mon + 1;
    f.day = tm.tm_mday;
    f.hour = tm.tm_hour;
    f.minute = tm.tm_min;
    f.second = tm.tm_sec;
    f.millisecond = static_cast<int>(ms - static_cast<std::int64_t>(secs) * 1000);
    f.dayofweek = tm.tm_wday == 0 ? 7 : tm.tm_wday;
    return f;
}

TDateTime tolocaldatetime(SystemTime instant)
{
    return encodedatetime(tolocalcalendar(instant));
}

SystemTime fromlocalcalendar(const CalendarTime& f, LocalTimeChoice choice)
{
    using namespace std::chrono;
    std::optional<std::time_t> first;
    std::optional<std::time_t> second;
    for (int isdst : {0, 1}) {
        std::tm tm = tmofcalendar(f, isdst);
        const std::time_t t = std::mktime(&tm);
        if (t == static_cast<std::time_t>(-1) || !localfieldsmatch(t, f))
            continue;
        if (!first)
            first = t;
        else if (*first != t)
            second = t;
    }
    std::time_t result;
    if (first) {
        result = *first;
        if (second) {
            const bool earlier = *first < *second;
            result = (choice == LocalTimeChoice::Earliest) == earlier ? *first : *second;
        }
    } else {
        // The local time falls into a spring-forward gap: find the first instant whose local wall
        // time is at or after the wanted one. Local time is monotonic around a single gap.
        std::tm tm = tmofcalendar(f, -1);
        const std::time_t guess = std::mktime(&tm);
        CalendarTime wanted = f;
        wanted.millisecond = 0;
        const std::int64_t target = datetimetomilliseconds(encodedatetime(wanted));
        std::time_t lo = guess - 4 * 3600;
        std::time_t hi = guess + 4 * 3600;
        while (lo < hi) {
            const std::time_t mid = lo + (hi - lo) / 2;
            if (datetimetomilliseconds(tolocaldatetime(SystemTime(std::chrono::seconds(mid)))) >= target)
                hi = mid;
            else
                lo = mid + 1;
        }
        return system_clock::time_point(seconds(lo));
    }
    return system_clock::time_point(seconds(result)) + milliseconds(f.millisecond);
}

SystemTime fromlocaldatetime(TDateTime value, LocalTimeChoice choice)
{
    return fromlocalcalendar(decodedatetime(value), choice);
}

}  // namespace velk
