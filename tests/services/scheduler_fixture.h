#pragma once
// A scheduler on a manual clock in Europe/Berlin time, with a main-thread queue the test drains
// and a stand-in for the channels' record buttons: a start for a channel that is on, or a stop
// for one that is off, changes nothing (as the panel's button would).

#include <gtest/gtest.h>

#include <clocale>
#include <map>
#include <ostream>
#include <memory>
#include <string>
#include <vector>

#include "services/scheduler.h"
#include "services/waitable_timer.h"
#include "core/clock.h"
#include "core/main_thread_queue.h"
#include "tests/support/message_recorder.h"

namespace velk::test {

struct Fired {
    int channel;
    bool start;
    TDateTime when;  // local date-time of the call
    // The times compare to the millisecond (a clock reading and a computed date-time may differ
    // in the last bits of the day count).
    bool operator==(const Fired& other) const
    {
        return channel == other.channel && start == other.start &&
               datetimetomilliseconds(when) == datetimetomilliseconds(other.when);
    }
};

inline std::ostream& operator<<(std::ostream& out, const Fired& f)
{
    const CalendarTime t = decodedatetime(f.when);
    return out << "{ch " << f.channel << (f.start ? " start " : " stop ") << t.day << "." << t.month << " "
               << t.hour << ":" << t.minute << ":" << t.second << "." << t.millisecond << "}";
}

inline TDateTime hms(int h, int m, int s = 0)
{
    return (h * 3600 + m * 60 + s) / 86400.0;
}

class SchedulerFixture : public ::testing::Test {
protected:
    // The clock is set before the scheduler (and its timer thread) exists: later settings of the
    // wall clock count as clock steps.
    explicit SchedulerFixture(TDateTime start = encodedatetime(2027, 6, 14, 9, 0))
        : clock(fromlocaldatetime(start))
    {
        std::setlocale(LC_TIME, "C");
        scheduler = std::make_unique<TScheduler>();
        scheduler->fonevent = [this](TScheduler&, int channel, bool start) {
            calls.push_back(Fired{channel, start, appclock().nowlocal()});
            bool& on = channelon[channel];
            if (on != start) {
                on = start;
                switches.push_back(Fired{channel, start, appclock().nowlocal()});
            }
        };
    }

    // Lets time pass (wall and monotonic together) up to a local date-time, stopping at every
    // moment the timer is armed for on the way, so each event fires at its own time.
    void advanceto(TDateTime local, LocalTimeChoice choice = LocalTimeChoice::Earliest)
    {
        advanceuntil(fromlocaldatetime(local, choice));
    }
    void advanceby(std::chrono::nanoseconds step) { advanceuntil(clock.now() + step); }
    void advanceuntil(SystemTime target)
    {
        ASSERT_GE(target, clock.now());
        for (int step = 0; step < 10000; ++step) {
            const TWaitableTimer& timer = scheduler->waitabletimer();
            if (!timer.armed() || timer.dueinstant() > target)
                break;
            if (timer.dueinstant() > clock.now())
                clock.advance(timer.dueinstant() - clock.now());
            settle();
        }
        clock.advance(target - clock.now());
        settle();
    }
    // Steps only the wall clock (NTP, the user setting the clock).
    void stepwallto(TDateTime local)
    {
        clock.setlocal(local);
        settle();
    }
    void settle()
    {
        for (int round = 0; round < 1000; ++round) {
            scheduler->waitabletimer().checknow();
            if (main.queue().drain(&log) == 0)
                return;
        }
        FAIL() << "the timer keeps firing";
    }
    TDateTime now() const { return appclock().nowlocal(); }

    ManualClock clock;
    ScopedAppClock useclock{clock};
    ScopedMainQueue main;
    MessageRecorder log;
    std::unique_ptr<TScheduler> scheduler;
    std::vector<Fired> calls;      // every fonevent call
    std::vector<Fired> switches;   // the calls that changed a channel's state
    std::map<int, bool> channelon;
};

}  // namespace velk::test
