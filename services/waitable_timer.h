#pragma once
// TWaitableTimer: a one-shot timer for an absolute local date-time, with its own waiting thread
// (CThread) that hands each wake-up to the main thread through the main-thread queue.
//
// How it waits. Start() turns FDueTime (local) into an instant once, on the main thread, with
// the time-zone rules of that date: a time in a spring-forward gap becomes the first instant
// after the gap, a time of the repeated fall-back hour the occurrence FChoice names. The waiting
// thread reads appclock() and sleeps on a condition variable for the time left, but never longer
// than maxwait of real time, so it re-reads the clock at least once a second. That way:
//   - a wall-clock step forward past the due instant fires within a second (late, but once);
//   - any wall-clock step (wall time moving against monotonic time by more than a second) is
//     reported through onclockstep, so the owner can re-arm for the moment that is now next;
//   - daylight-saving changes need nothing: the instant was fixed with that day's rules.
// After firing the timer is disarmed until the next Start(), so one due time fires once; a
// wake-up that arrives after Stop() or a newer Start() is dropped on the main thread.
//
// Tests run it on a ManualClock: move the clock, then call checknow(), which wakes the thread
// and returns after it has read the clock once; the wake-up it posted (if any) is then waiting in
// the main-thread queue for drain(). No test sleeps on the wall clock.
//
// Threads:
//   main thread     constructor, destructor, Start(), Stop(), fontimer/onclockstep (set and
//                   called there), FDueTime, armed(), dueinstant()
//   any thread      checknow() (not from the waiting thread)

#include <chrono>
#include <functional>
#include <memory>

#include "core/date_time.h"

namespace velk {

class CThread;

class TWaitableTimer {
public:
    // The longest real-time sleep between two readings of the clock.
    static constexpr std::chrono::milliseconds maxwait{1000};
    // A change of wall time against monotonic time larger than this counts as a clock step.
    static constexpr std::chrono::milliseconds steptolerance{1000};

    // Creates the timer (not armed) and starts its waiting thread.
    TWaitableTimer();
    // Clears the handlers, stops the timer and ends the thread; wake-ups still queued are dropped.
    ~TWaitableTimer();
    TWaitableTimer(const TWaitableTimer&) = delete;
    TWaitableTimer& operator=(const TWaitableTimer&) = delete;

    // Arms the timer for FDueTime (local date-time), replacing an earlier arming. A due time
    // already past fires at once.
    void Start();
    // Disarms the timer; a wake-up already posted for the old arming is dropped.
    void Stop();

    bool armed() const;
    // The instant the timer is armed for (meaningful while armed()).
    SystemTime dueinstant() const;

    // Wakes the waiting thread and returns once it has read the clock (tests, after moving a
    // ManualClock).
    void checknow();

    // Local date-time of the next firing (day count), read by Start().
    TDateTime FDueTime = 0;
    // Which instant FDueTime names when it names two (the repeated hour of a fall-back day).
    LocalTimeChoice FChoice = LocalTimeChoice::Earliest;
    // Called on the main thread when the timer fired.
    std::function<void()> fontimer;
    // Called on the main thread when the wall clock was stepped while the timer was armed.
    std::function<void()> onclockstep;

private:
    struct Shared;
    void dispatch(bool fired, std::uint64_t generation);

    std::shared_ptr<Shared> shared_;
    std::unique_ptr<CThread> mythread;
};

}  // namespace velk
