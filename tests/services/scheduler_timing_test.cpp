// The scheduler's timing on a manual clock: the window test, arming and firing through the day
// and across midnight, simultaneous events, renumbering, both daylight-saving days and wall-clock
// steps.

#include "tests/services/scheduler_fixture.h"

#include "services/schedule_list.h"
#include "services/waitable_timer.h"
#include "core/errors.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>

namespace velk {
namespace {

using test::Fired;
using test::hms;

TDateTime on(int day, int h, int m, int s = 0)
{
    return encodedatetime(2027, 6, day, h, m, s);
}

class SchedulerTiming : public test::SchedulerFixture {};

TEST_F(SchedulerTiming, WindowTestIsStrictAndCountsOnlyTheHoursBeforeMidnight)
{
    struct Case {
        TDateTime start, stop, now;
        bool starts;
    } const cases[] = {
        {hms(10, 0), hms(11, 0), hms(10, 30), true},
        {hms(10, 0), hms(11, 0), hms(10, 0), false},
        {hms(10, 0), hms(11, 0), hms(11, 0), false},
        {hms(10, 0), hms(11, 0), hms(9, 59, 59), false},
        {hms(22, 0), hms(2, 0), hms(23, 0), true},
        {hms(22, 0), hms(2, 0), hms(1, 0), false},
        {hms(22, 0), hms(2, 0), hms(22, 0), false},
        {hms(10, 0), hms(10, 0), hms(12, 0), true},  // stop = start runs round the clock
    };
    for (const Case& c : cases) {
        calls.clear();
        clock.setlocal(encodedatetime(2027, 6, 14) + c.now);
        scheduler->checkevent(TSchedule{3, c.start, c.stop});
        EXPECT_EQ(calls.size(), c.starts ? 1u : 0u) << c.start << " " << c.stop << " " << c.now;
        if (!calls.empty()) {
            EXPECT_EQ(calls[0].channel, 3);
        }
    }
}

TEST_F(SchedulerTiming, SwitchedOnInsideTheWindowStartsAtOnceStopsAndStartsAgainNextDay)
{
    advanceto(on(14, 10, 30));
    scheduler->addschedule(1, on(1, 10, 0), on(1, 11, 0));
    scheduler->enable(true);
    settle();
    ASSERT_EQ(calls, (std::vector<Fired>{{1, true, on(14, 10, 30)}}));
    EXPECT_DOUBLE_EQ(scheduler->duetime(), on(14, 11, 0));

    advanceto(on(14, 10, 59, 59));
    EXPECT_EQ(calls.size(), 1u);
    advanceto(on(14, 11, 0));
    advanceto(on(15, 10, 0));
    EXPECT_EQ(calls, (std::vector<Fired>{{1, true, on(14, 10, 30)}, {1, false, on(14, 11, 0)}, {1, true, on(15, 10, 0)}}));
    // After the last event of the day, the first of the next day.
    EXPECT_DOUBLE_EQ(scheduler->duetime(), on(15, 11, 0));
}

// Arming takes the first event later than now: one due at that very instant waits for its next
// day, and the window test excludes the start time too.
TEST_F(SchedulerTiming, SwitchedOnExactlyAtTheStartTimeDoesNotStart)
{
    advanceto(on(14, 10, 0));
    scheduler->addschedule(1, hms(10, 0), hms(11, 0));
    scheduler->enable(true);
    settle();
    EXPECT_TRUE(calls.empty());
    EXPECT_DOUBLE_EQ(scheduler->duetime(), on(14, 11, 0));
    advanceto(on(15, 10, 0));
    EXPECT_EQ(calls, (std::vector<Fired>{{1, false, on(14, 11, 0)}, {1, true, on(15, 10, 0)}}));
}

TEST_F(SchedulerTiming, AcrossMidnight)
{
    // Switched on at 23:00: starts at once, stops at 02:00 the next day.
    advanceto(on(14, 23, 0));
    scheduler->addschedule(0, hms(22, 0), hms(2, 0));
    scheduler->enable(true);
    settle();
    advanceto(on(15, 2, 0));
    EXPECT_EQ(calls, (std::vector<Fired>{{0, true, on(14, 23, 0)}, {0, false, on(15, 2, 0)}}));
    EXPECT_DOUBLE_EQ(scheduler->duetime(), on(15, 22, 0));

    // Switched on at 01:00: no start; the stop at 02:00 finds the channel off.
    scheduler->enable(false);
    calls.clear();
    switches.clear();
    advanceto(on(16, 1, 0));
    scheduler->enable(true);
    settle();
    EXPECT_TRUE(calls.empty());
    advanceto(on(16, 2, 0));
    EXPECT_EQ(calls, (std::vector<Fired>{{0, false, on(16, 2, 0)}}));
    EXPECT_TRUE(switches.empty());
    advanceto(on(16, 22, 0));
    EXPECT_EQ(switches, (std::vector<Fired>{{0, true, on(16, 22, 0)}}));
}

TEST_F(SchedulerTiming, TwoSchedulesAtOneTimeFireInOneWakeUp)
{
    scheduler->addschedule(2, hms(12, 0), hms(13, 0));
    scheduler->addschedule(5, hms(12, 0), hms(12, 30));
    scheduler->enable(true);
    clock.advance(fromlocaldatetime(on(14, 12, 0)) - clock.now());
    scheduler->waitabletimer().checknow();
    main.queue().drain(&log);  // one wake-up delivered
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_TRUE(calls[0].start && calls[1].start);
    EXPECT_EQ(calls[0].channel + calls[1].channel, 7);
    EXPECT_DOUBLE_EQ(scheduler->duetime(), on(14, 12, 30));
}

// One moment's events fire in one wake-up: starts first, then stops, then the starts of channels
// that stop at the same moment, whatever order the schedules were added in.
TEST_F(SchedulerTiming, StartsAndStopsAtOneTimeFireTogetherStartsFirst)
{
    scheduler->addschedule(3, hms(9, 0, 30), hms(10, 0));  // channel 3 ends at 10:00 ...
    scheduler->addschedule(1, hms(10, 0), hms(11, 0));     // ... as channel 1's next schedule begins
    scheduler->addschedule(1, hms(9, 30), hms(10, 0));
    scheduler->addschedule(2, hms(10, 0), hms(10, 30));  // channel 2 starts as channel 3 stops
    scheduler->enable(true);
    advanceto(on(14, 9, 30));
    calls.clear();
    clock.advance(fromlocaldatetime(on(14, 10, 0)) - clock.now());
    scheduler->waitabletimer().checknow();
    main.queue().drain(&log);
    const TDateTime ten = on(14, 10, 0);
    EXPECT_EQ(calls, (std::vector<Fired>{{2, true, ten}, {3, false, ten}, {1, false, ten}, {1, true, ten}}));
    EXPECT_TRUE(channelon[1]);
    EXPECT_DOUBLE_EQ(scheduler->duetime(), on(14, 10, 30));
}

TEST_F(SchedulerTiming, DeletingAChannelDropsItsSchedulesAndRenumbersTheLaterOnes)
{
    for (int ch = 0; ch < 5; ++ch)
        scheduler->addschedule(ch, hms(12, ch), hms(13, ch));
    scheduler->addschedule(2, hms(20, 0), hms(21, 0));
    scheduler->enable(true);
    scheduler->delchannel(2);
    ASSERT_EQ(scheduler->getcount(), 4u);
    EXPECT_EQ(scheduler->getschedule(0).channel, 0);
    EXPECT_EQ(scheduler->getschedule(1).channel, 1);
    EXPECT_EQ(scheduler->getschedule(2).channel, 2);
    EXPECT_DOUBLE_EQ(scheduler->getschedule(2).start, hms(12, 3));
    EXPECT_EQ(scheduler->getschedule(3).channel, 3);
    EXPECT_DOUBLE_EQ(scheduler->getschedule(3).start, hms(12, 4));
    EXPECT_TRUE(scheduler->isactive());
    EXPECT_EQ(scheduler->eventlist().size(), 8u);

    // The last schedule gone switches the scheduler off.
    for (int ch = 3; ch >= 0; --ch)
        scheduler->delchannel(ch);
    EXPECT_EQ(scheduler->getcount(), 0u);
    EXPECT_FALSE(scheduler->isactive());
    EXPECT_FALSE(scheduler->waitabletimer().armed());
}

TEST_F(SchedulerTiming, ChangesWhileOnRearmAndSwitchingOffDisarms)
{
    scheduler->addschedule(0, hms(12, 0), hms(13, 0));
    scheduler->enable(true);
    EXPECT_DOUBLE_EQ(scheduler->duetime(), on(14, 12, 0));
    scheduler->addschedule(1, hms(10, 0), hms(14, 0));
    EXPECT_DOUBLE_EQ(scheduler->duetime(), on(14, 10, 0));
    scheduler->editschedule(1, 1, hms(8, 0), hms(9, 30));  // 09:00 now: inside the new window
    EXPECT_EQ(calls, (std::vector<Fired>{{1, true, on(14, 9, 0)}}));
    EXPECT_DOUBLE_EQ(scheduler->duetime(), on(14, 9, 30));
    scheduler->delschedule(1);
    EXPECT_DOUBLE_EQ(scheduler->duetime(), on(14, 12, 0));
    EXPECT_THROW(scheduler->delschedule(7), EVelkError);
    EXPECT_THROW(scheduler->addschedule(256, 0, 0), EVelkError);

    scheduler->enable(false);
    calls.clear();
    advanceto(on(15, 13, 0));
    EXPECT_TRUE(calls.empty());
}

TEST_F(SchedulerTiming, EnableSwitchLogsTheResultingState)
{
    TScheduleList list(*scheduler);
    EXPECT_FALSE(list.setenabled(true));  // nothing to schedule
    scheduler->addschedule(0, hms(12, 0), hms(13, 0));
    EXPECT_TRUE(list.setenabled(true));
    EXPECT_FALSE(list.setenabled(false));
    main.queue().drain(&log);
    ASSERT_EQ(log.lines.size(), 3u);
    EXPECT_NE(log.lines[0].find("; Scheduler turned OFF."), std::string::npos);
    EXPECT_NE(log.lines[1].find("; Scheduler turned ON."), std::string::npos);
    EXPECT_NE(log.lines[2].find("; Scheduler turned OFF."), std::string::npos);
}

TEST_F(SchedulerTiming, AFailingEventLeavesTheOthersAndTheTimerWorking)
{
    scheduler->addschedule(9, hms(12, 0), hms(13, 0));
    scheduler->addschedule(1, hms(12, 0), hms(13, 0));
    auto inner = scheduler->fonevent;
    scheduler->fonevent = [inner](TScheduler& s, int ch, bool start) {
        if (ch == 9)
            throw EVelkError("no such channel");
        inner(s, ch, start);
    };
    scheduler->enable(true);
    advanceto(on(14, 13, 0));
    EXPECT_EQ(switches, (std::vector<Fired>{{1, true, on(14, 12, 0)}, {1, false, on(14, 13, 0)}}));
    EXPECT_TRUE(log.contains("Scheduler error: no such channel"));
    EXPECT_TRUE(scheduler->waitabletimer().armed());
}

// --- daylight saving (Europe/Berlin) ---

class SpringForward : public test::SchedulerFixture {
protected:
    SpringForward() : SchedulerFixture(encodedatetime(2027, 3, 28, 0, 0)) {}
};

TEST_F(SpringForward, AnEventInTheMissingHourFiresAtTheFirstMomentAfterTheGap)
{
    // 2027-03-28: 02:00 CET is followed by 03:00 CEST.
    scheduler->addschedule(0, hms(2, 30), hms(4, 0));
    scheduler->addschedule(1, hms(3, 0), hms(3, 30));
    scheduler->addschedule(2, hms(1, 30), hms(5, 0));
    scheduler->enable(true);
    const auto gapend = fromlocaldatetime(encodedatetime(2027, 3, 28, 3, 0));
    advanceuntil(gapend - std::chrono::milliseconds(1));
    EXPECT_EQ(calls, (std::vector<Fired>{{2, true, encodedatetime(2027, 3, 28, 1, 30)}}));
    advanceby(std::chrono::milliseconds(1));
    EXPECT_EQ(calls, (std::vector<Fired>{{2, true, encodedatetime(2027, 3, 28, 1, 30)},
                                         {0, true, encodedatetime(2027, 3, 28, 3, 0)},
                                         {1, true, encodedatetime(2027, 3, 28, 3, 0)}}));
    // The rest of the day, and the next day's times are normal again.
    advanceto(encodedatetime(2027, 3, 29, 2, 0));
    ASSERT_EQ(calls.size(), 7u);
    EXPECT_EQ(calls[3], (Fired{1, false, encodedatetime(2027, 3, 28, 3, 30)}));
    EXPECT_EQ(calls[4], (Fired{0, false, encodedatetime(2027, 3, 28, 4, 0)}));
    EXPECT_EQ(calls[5], (Fired{2, false, encodedatetime(2027, 3, 28, 5, 0)}));
    EXPECT_EQ(calls[6], (Fired{2, true, encodedatetime(2027, 3, 29, 1, 30)}));
    advanceto(encodedatetime(2027, 3, 29, 2, 30));
    EXPECT_DOUBLE_EQ(scheduler->duetime(), encodedatetime(2027, 3, 29, 3, 0));
}

TEST_F(SpringForward, AnEventOnTheDayAfterIsNotAnHourOff)
{
    // Armed on the evening before the change for 08:00 of the change day: 6 hours of real time
    // lie between 01:00 CET and 08:00 CEST.
    clock.setlocal(encodedatetime(2027, 3, 27, 23, 0));
    scheduler->addschedule(0, hms(8, 0), hms(9, 0));
    scheduler->enable(true);
    advanceby(std::chrono::hours(7) + std::chrono::minutes(59));
    EXPECT_TRUE(calls.empty());
    advanceby(std::chrono::minutes(1));
    EXPECT_EQ(calls, (std::vector<Fired>{{0, true, encodedatetime(2027, 3, 28, 8, 0)}}));
}

class FallBack : public test::SchedulerFixture {
protected:
    FallBack() : SchedulerFixture(encodedatetime(2027, 10, 31, 0, 0)) {}
};

TEST_F(FallBack, AnEventInTheRepeatedHourFiresOnce)
{
    // 2027-10-31: 03:00 CEST is followed by 02:00 CET; 02:00..03:00 happens twice.
    scheduler->addschedule(0, hms(2, 30), hms(5, 0));
    scheduler->addschedule(1, hms(1, 0), hms(2, 45));
    scheduler->enable(true);
    advanceto(encodedatetime(2027, 10, 31, 2, 30));
    EXPECT_EQ(calls.size(), 2u);
    advanceto(encodedatetime(2027, 10, 31, 2, 45));
    // Through the second pass of the hour and on to the end of the day.
    advanceby(std::chrono::hours(1));
    advanceto(encodedatetime(2027, 10, 31, 23, 0));
    const std::vector<Fired> expected = {{1, true, encodedatetime(2027, 10, 31, 1, 0)},
                                         {0, true, encodedatetime(2027, 10, 31, 2, 30)},
                                         {1, false, encodedatetime(2027, 10, 31, 2, 45)},
                                         {0, false, encodedatetime(2027, 10, 31, 5, 0)}};
    EXPECT_EQ(calls, expected);
}

TEST_F(FallBack, ChangesInTheSecondPassDoNotRepeatTheFirstPassEvents)
{
    scheduler->addschedule(0, hms(2, 30), hms(5, 0));
    scheduler->enable(true);
    advanceto(encodedatetime(2027, 10, 31, 2, 30));
    advanceby(std::chrono::minutes(45));  // 02:15 CET
    scheduler->addschedule(1, hms(12, 0), hms(13, 0));
    settle();
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_DOUBLE_EQ(scheduler->duetime(), encodedatetime(2027, 10, 31, 5, 0));
}

// A zone whose clocks went back an hour (UTC+1 to UTC+0) 20 minutes before the real now: the
// local times of the last 20 and the next 40 minutes happen twice, and now lies in the second
// pass. Set before the scheduler and its clock exist.
class RecentZone {
protected:
    RecentZone()
    {
        const char* old = std::getenv("TZ");
        oldzone = old ? std::optional<std::string>(old) : std::nullopt;
        // The end of summer time as the summer clock shows it: 40 minutes from now in UTC + 1 h.
        const std::time_t end = std::time(nullptr) + 100 * 60;
        std::tm utc{};
        ::gmtime_r(&end, &utc);
        usable = utc.tm_yday > 0;
        char rule[96];
        std::snprintf(rule, sizeof rule, "XST0XDT-1,0/0,%d/%d:%02d:%02d", utc.tm_yday, utc.tm_hour, utc.tm_min,
                      utc.tm_sec);
        ::setenv("TZ", rule, 1);
        ::tzset();
    }
    ~RecentZone()
    {
        if (oldzone)
            ::setenv("TZ", oldzone->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    std::optional<std::string> oldzone;
    bool usable = true;
};

class RecentFallBack : public RecentZone, public test::SchedulerFixture {
protected:
    RecentFallBack() : SchedulerFixture(tolocaldatetime(std::chrono::system_clock::now())) {}
};

// Armed in the second pass (as after a restart), an event later in the repeated hour fires at its
// second occurrence, once, instead of never.
TEST_F(RecentFallBack, ArmedInTheSecondPassOfTheRepeatedHourFiresItsLaterEventsOnce)
{
    // The fixture's clock started at the first pass of the local time now; on to the real now.
    clock.advance(std::chrono::system_clock::now() - clock.now());
    const SystemTime begin = clock.now();
    const TDateTime local = now();
    if (!usable || decodedatetime(local).hour == 23)
        GTEST_SKIP() << "the zone rule needs a day of the year before today's, and no midnight within the hour";
    ASSERT_NE(fromlocaldatetime(local, LocalTimeChoice::Earliest), fromlocaldatetime(local, LocalTimeChoice::Latest))
        << "now should lie in the repeated hour";
    const TDateTime tenminutes = 10.0 / (24 * 60);
    scheduler->addschedule(0, local + tenminutes, local + 3 * tenminutes);
    scheduler->enable(true);
    ASSERT_TRUE(scheduler->waitabletimer().armed());
    EXPECT_LT(std::chrono::abs(scheduler->waitabletimer().dueinstant() - (begin + std::chrono::minutes(10))),
              std::chrono::milliseconds(2));
    advanceby(std::chrono::minutes(11));
    advanceby(std::chrono::minutes(20));
    advanceby(std::chrono::hours(2));
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_TRUE(calls[0].start);
    EXPECT_FALSE(calls[1].start);
}

// --- wall-clock steps ---

TEST_F(SchedulerTiming, AClockSetBackRearmsForTheEventThatIsNowNext)
{
    scheduler->addschedule(0, hms(10, 0), hms(11, 0));
    scheduler->addschedule(1, hms(12, 0), hms(12, 30));
    advanceto(on(14, 11, 30));
    scheduler->enable(true);
    EXPECT_DOUBLE_EQ(scheduler->duetime(), on(14, 12, 0));
    // The clock was an hour and three quarters fast.
    stepwallto(on(14, 9, 45));
    EXPECT_DOUBLE_EQ(scheduler->duetime(), on(14, 10, 0));
    advanceto(on(14, 11, 0));
    EXPECT_EQ(calls, (std::vector<Fired>{{0, true, on(14, 10, 0)}, {0, false, on(14, 11, 0)}}));
}

TEST_F(SchedulerTiming, AClockSetBackAnHourStillFiresAtTheLocalTime)
{
    scheduler->addschedule(0, hms(10, 0), hms(11, 0));
    scheduler->enable(true);  // 09:00
    stepwallto(on(14, 8, 0));
    advanceto(on(14, 9, 59, 59));
    EXPECT_TRUE(calls.empty());
    advanceto(on(14, 10, 0));
    EXPECT_EQ(calls, (std::vector<Fired>{{0, true, on(14, 10, 0)}}));
}

TEST_F(SchedulerTiming, AClockSetForwardPastEventsFiresThemInOrderOnce)
{
    scheduler->addschedule(0, hms(10, 0), hms(11, 0));
    scheduler->addschedule(1, hms(10, 30), hms(15, 0));
    scheduler->enable(true);  // 09:00
    stepwallto(on(14, 12, 0));
    EXPECT_EQ(calls, (std::vector<Fired>{{0, true, on(14, 12, 0)}, {1, true, on(14, 12, 0)}, {0, false, on(14, 12, 0)}}));
    EXPECT_DOUBLE_EQ(scheduler->duetime(), on(14, 15, 0));
    EXPECT_FALSE(channelon[0]);
    EXPECT_TRUE(channelon[1]);

    // A jump of days does not replay them.
    calls.clear();
    stepwallto(on(24, 12, 0));
    EXPECT_EQ(calls, (std::vector<Fired>{{1, false, on(24, 12, 0)}}));
    EXPECT_DOUBLE_EQ(scheduler->duetime(), on(24, 15, 0));
}

// --- the timer alone ---

TEST_F(SchedulerTiming, TimerDropsWakeUpsOfAStoppedArmingAndOfADestroyedTimer)
{
    int fired = 0;
    {
        TWaitableTimer timer;
        timer.fontimer = [&] { ++fired; };
        timer.FDueTime = on(14, 9, 30);
        timer.Start();
        clock.advance(std::chrono::hours(1));
        timer.checknow();  // wake-up posted
        timer.Stop();
        main.queue().drain(&log);
        EXPECT_EQ(fired, 0);

        timer.Start();  // already due
        timer.checknow();
        EXPECT_FALSE(timer.armed());
        timer.checknow();  // fires once only
    }
    EXPECT_EQ(main.queue().drain(&log), 1u);  // delivered after the timer is gone: nothing runs
    EXPECT_EQ(fired, 0);
}

}  // namespace
}  // namespace velk
