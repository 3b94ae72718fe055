#include "config/schedule_time.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace velk {

namespace {

constexpr std::int64_t msperday = 86'400'000;

bool onlyblanks(const char* s)
{
    for (; *s; ++s)
        if (*s != ' ' && *s != '\t')
            return false;
    return true;
}

// strptime with `format`, accepted only when it consumes the whole text.
bool scan(const std::string& text, const char* format, std::tm& tm)
{
    tm = std::tm{};
    const char* end = ::strptime(text.c_str(), format, &tm);
    return end != nullptr && onlyblanks(end);
}

}  // namespace

TDateTime timeofday(TDateTime value)
{
    if (!std::isfinite(value))
        return 0;
    const TDateTime fraction = value - std::floor(value);
    return fraction >= 1.0 ? 0.0 : fraction;
}

std::string formatscheduletime(TDateTime value)
{
    std::int64_t ms = std::llround(timeofday(value) * static_cast<double>(msperday));
    if (ms >= msperday)
        ms = msperday - 1;
    const std::int64_t seconds = ms / 1000;
    std::tm tm{};
    tm.tm_hour = static_cast<int>(seconds / 3600);
    tm.tm_min = static_cast<int>(seconds / 60 % 60);
    tm.tm_sec = static_cast<int>(seconds % 60);
    tm.tm_mday = 30;
    tm.tm_mon = 11;
    tm.tm_year = -1;
    char text[64];
    if (std::strftime(text, sizeof text, "%X", &tm) == 0)
        return {};
    return text;
}

TimeTextResult parsescheduletime(const std::string& text, TDateTime& value)
{
    std::tm tm{};
    if (text.size() > 64)
        return TimeTextResult::Malformed;
    if (!scan(text, "%X", tm) && !scan(text, "%H:%M:%S", tm) && !scan(text, "%H:%M", tm)) {
        int h = 0;
        int m = 0;
        int s = 0;
        int used = 0;
        if ((std::sscanf(text.c_str(), " %d:%d:%d%n", &h, &m, &s, &used) == 3 ||
             std::sscanf(text.c_str(), " %d:%d%n", &h, &m, &used) == 2) &&
            onlyblanks(text.c_str() + used))
            return TimeTextResult::OutOfRange;
        return TimeTextResult::Malformed;
    }
    if (tm.tm_hour < 0 || tm.tm_hour > 23 || tm.tm_min < 0 || tm.tm_min > 59 || tm.tm_sec < 0 || tm.tm_sec > 59)
        return TimeTextResult::OutOfRange;
    value = static_cast<TDateTime>((tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec) * 1000) /
            static_cast<double>(msperday);
    return TimeTextResult::Ok;
}

}  // namespace velk
