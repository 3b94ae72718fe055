#include "core/date_time.h"

#include <gtest/gtest.h>

#include <chrono>

#include "core/clock.h"

namespace velk {
namespace {

using namespace std::chrono;

// The tests run with TZ=Europe/Berlin (set by CTest): CET/CEST, switching on the last Sundays of
// March (02:00 -> 03:00) and October (03:00 -> 02:00).

struct CalendarCase {
    int y, m, d, h, n, s, ms;
    double days;
    int dayofweek;
};

TEST(DateTime, EncodesAndDecodesCalendarFieldsExactly)
{
    const CalendarCase cases[] = {
        {1899, 12, 30, 0, 0, 0, 0, 0.0, 6},
        {1900, 1, 1, 0, 0, 0, 0, 2.0, 1},
        {2024, 3, 5, 9, 7, 2, 0, 45356.0 + (9 * 3600 + 7 * 60 + 2) / 86400.0, 2},
        {2000, 2, 29, 12, 0, 0, 0, 36585.5, 2},
        {2024, 12, 31, 23, 59, 59, 999, 45657.0 + 86399999 / 86400000.0, 2},
    };
    for (const auto& c : cases) {
        const TDateTime t = encodedatetime(c.y, c.m, c.d, c.h, c.n, c.s, c.ms);
        EXPECT_DOUBLE_EQ(t, c.days) << c.y << "-" << c.m << "-" << c.d;
        const CalendarTime f = decodedatetime(t);
        EXPECT_EQ(f.year, c.y);
        EXPECT_EQ(f.month, c.m);
        EXPECT_EQ(f.day, c.d);
        EXPECT_EQ(f.hour, c.h);
        EXPECT_EQ(f.minute, c.n);
        EXPECT_EQ(f.second, c.s);
        EXPECT_EQ(f.millisecond, c.ms);
        EXPECT_EQ(f.dayofweek, c.dayofweek);
    }
}

TEST(DateTime, EveryMillisecondOfADayRoundTrips)
{
    for (std::int64_t ms = 0; ms < 86'400'000; ms += 997) {
        const TDateTime t = millisecondstodatetime(45356LL * 86'400'000 + ms);
        EXPECT_EQ(datetimetomilliseconds(t), 45356LL * 86'400'000 + ms);
    }
}

TEST(DateTime, WholeSecondsTruncateTheAbsoluteMillisecondDifference)
{
    const TDateTime a = encodedatetime(2024, 3, 5, 9, 0, 0, 0);
    EXPECT_EQ(secondsbetween(a, encodedatetime(2024, 3, 5, 9, 0, 1, 999)), 1);
    EXPECT_EQ(secondsbetween(encodedatetime(2024, 3, 5, 9, 0, 1, 999), a), 1);
    EXPECT_EQ(secondsbetween(a, encodedatetime(2024, 3, 5, 9, 0, 0, 999)), 0);
    EXPECT_EQ(secondsbetween(a, encodedatetime(2024, 3, 6, 9, 0, 0, 0)), 86400);
    EXPECT_EQ(millisecondsbetween(a, encodedatetime(2024, 3, 5, 9, 0, 0, 7)), 7);
}

TEST(DateTime, LocalConversionFollowsTheTimeZoneAcrossDst)
{
    // 2024-03-31 00:30 UTC is 01:30 CET; 01:30 UTC is 03:30 CEST.
    const SystemTime before = SystemTime(seconds(1711845000));
    const CalendarTime f1 = tolocalcalendar(before);
    EXPECT_EQ(f1.hour, 1);
    EXPECT_EQ(f1.minute, 30);
    const CalendarTime f2 = tolocalcalendar(before + hours(1));
    EXPECT_EQ(f2.hour, 3);
    EXPECT_EQ(fromlocaldatetime(tolocaldatetime(before)), before);
    EXPECT_EQ(fromlocaldatetime(tolocaldatetime(before + hours(1))), before + hours(1));
}

TEST(DateTime, MissingSpringForwardTimeResolvesToTheEndOfTheGap)
{
    // 2024-03-31 02:30 does not exist in Berlin; the first instant after the gap is 03:00 CEST,
    // which is 01:00 UTC.
    const SystemTime t = fromlocaldatetime(encodedatetime(2024, 3, 31, 2, 30, 0));
    EXPECT_EQ(t, SystemTime(seconds(1711846800)));
    const CalendarTime f = tolocalcalendar(t);
    EXPECT_EQ(f.hour, 3);
    EXPECT_EQ(f.minute, 0);
}

TEST(DateTime, RepeatedFallBackTimeResolvesToEarliestOrLatest)
{
    // 2024-10-27 02:30 happens twice: 00:30 UTC (CEST) and 01:30 UTC (CET).
    const TDateTime local = encodedatetime(2024, 10, 27, 2, 30, 0);
    EXPECT_EQ(fromlocaldatetime(local, LocalTimeChoice::Earliest), SystemTime(seconds(1729989000)));
    EXPECT_EQ(fromlocaldatetime(local, LocalTimeChoice::Latest), SystemTime(seconds(1729992600)));
}

TEST(Clock, ManualClockMovesOnlyWhenTold)
{
    ManualClock clock(SystemTime(seconds(1709625600)));  // 2024-03-05 08:00 UTC = 09:00 CET
    const auto mono = clock.monotonic();
    clock.advance(minutes(90));
    EXPECT_EQ(clock.now(), SystemTime(seconds(1709625600)) + minutes(90));
    EXPECT_EQ(clock.monotonic() - mono, minutes(90));
    clock.setwall(SystemTime(seconds(0)));
    EXPECT_EQ(clock.monotonic() - mono, minutes(90));  // a wall step is no elapsed time

    clock.setlocal(encodedatetime(2024, 3, 5, 9, 7, 2));
    EXPECT_EQ(secondsbetween(clock.nowlocal(), encodedatetime(2024, 3, 5, 9, 7, 2)), 0);

    ScopedAppClock scoped(clock);
    EXPECT_EQ(&appclock(), &clock);
}

}  // namespace
}  // namespace velk
