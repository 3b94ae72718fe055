#include "core/clock.h"

namespace velk {

namespace {
SystemClock systemclock;
std::atomic<Clock*> current{&systemclock};
}  // namespace

Clock& appclock()
{
    return *current.load(std::memory_order_acquire);
}

void setappclock(Clock* clock)
{
    current.store(clock ? clock : &systemclock, std::memory_order_release);
}

ManualClock::ManualClock(SystemTime start)
    : wallns_(std::chrono::duration_cast<std::chrono::nanoseconds>(start.time_since_epoch()).count())
{
}

SystemTime ManualClock::now() const
{
    return SystemTime(std::chrono::duration_cast<SystemTime::duration>(std::chrono::nanoseconds(wallns_.load())));
}

std::chrono::steady_clock::time_point ManualClock::monotonic() const
{
    return std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::nanoseconds(monons_.load())));
}

void ManualClock::advance(std::chrono::nanoseconds step)
{
    wallns_ += step.count();
    monons_ += step.count();
}

void ManualClock::setwall(SystemTime wall)
{
    wallns_ = std::chrono::duration_cast<std::chrono::nanoseconds>(wall.time_since_epoch()).count();
}

void ManualClock::setlocal(TDateTime local)
{
    setwall(fromlocaldatetime(local));
}

}  // namespace velk
