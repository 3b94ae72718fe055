#pragma once
// The one source of "now" for the whole recorder. Production code reads appclock(); tests install
// a ManualClock so hours of recording, splits, voice-activation hold times, cleanup ages and the
// scheduler run in milliseconds.
//
// Threads: appclock() and every Clock method may be called from any thread. setappclock() is for
// test set-up and program start, before worker threads run.

#include <atomic>
#include <chrono>
#include <cstdint>

#include "core/date_time.h"

namespace velk {

class Clock {
public:
    virtual ~Clock() = default;
    // Wall-clock instant (UTC based); may jump when the system clock is set.
    virtual SystemTime now() const = 0;
    // Monotonic time for measuring elapsed spans; never jumps.
    virtual std::chrono::steady_clock::time_point monotonic() const = 0;
    // Now as a local day count.
    TDateTime nowlocal() const { return tolocaldatetime(now()); }
};

class SystemClock final : public Clock {
public:
    SystemTime now() const override { return std::chrono::system_clock::now(); }
    std::chrono::steady_clock::time_point monotonic() const override { return std::chrono::steady_clock::now(); }
};

// A clock that moves only when told. advance() moves wall and monotonic time together, as real
// time passing does; setwall() moves only the wall clock, as an NTP step or a user setting the
// clock does.
class ManualClock final : public Clock {
public:
    explicit ManualClock(SystemTime start = SystemTime(std::chrono::seconds(1'700'000'000)));

    SystemTime now() const override;
    std::chrono::steady_clock::time_point monotonic() const override;

    void advance(std::chrono::nanoseconds step);
    void setwall(SystemTime wall);
    // Sets the wall clock to a local time (Earliest of an ambiguous hour) and keeps monotonic time.
    void setlocal(TDateTime local);

private:
    std::atomic<std::int64_t> wallns_;
    std::atomic<std::int64_t> monons_{1'000'000'000};
};

// The program-wide clock: the system clock unless a test installed another.
Clock& appclock();
// Installs `clock` (not owned; must outlive its use) or, with nullptr, the system clock again.
void setappclock(Clock* clock);

// Installs a clock for the lifetime of a scope (tests).
class ScopedAppClock {
public:
    explicit ScopedAppClock(Clock& clock) { setappclock(&clock); }
    ~ScopedAppClock() { setappclock(nullptr); }
    ScopedAppClock(const ScopedAppClock&) = delete;
    ScopedAppClock& operator=(const ScopedAppClock&) = delete;
};

}  // namespace velk
