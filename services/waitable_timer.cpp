#include "services/waitable_timer.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "services/c_thread.h"
#include "services/status_log.h"
#include "core/clock.h"
#include "core/main_thread_queue.h"
#include "core/user_notifier.h"

namespace velk {

// State shared by the main thread and the waiting thread. Posted wake-ups hold it weakly, so a
// wake-up that is delivered after the timer is gone does nothing.
struct TWaitableTimer::Shared {
    std::mutex lock;
    std::condition_variable wake;  // the waiting thread sleeps here
    std::condition_variable done;  // checknow() waits here for a finished reading
    bool armed = false;
    bool changed = false;          // Start()/Stop() since the thread last looked
    bool quit = false;
    SystemTime due{};
    std::uint64_t generation = 0;  // one per Start()/Stop(); tags posted wake-ups
    std::uint64_t pokes = 0;       // checknow() requests ...
    std::uint64_t checked = 0;     // ... and those answered
    bool haveoffset = false;
    std::chrono::nanoseconds offset{0};  // wall minus monotonic at the last reading

    // Main thread only.
    TWaitableTimer* owner = nullptr;

    // One turn of the waiting thread: read the clock, post what happened, sleep.
    void waitonce(const std::weak_ptr<Shared>& self)
    {
        std::unique_lock guard(lock);
        if (quit)
            return;
        const std::uint64_t seen = pokes;
        const SystemTime now = appclock().now();
        const auto wallmono = now.time_since_epoch() - appclock().monotonic().time_since_epoch();
        const bool stepped = haveoffset && std::chrono::abs(wallmono - offset) > steptolerance;
        offset = std::chrono::duration_cast<std::chrono::nanoseconds>(wallmono);
        haveoffset = true;

        if (armed && now >= due) {
            armed = false;  // one due time fires once
            post(self, true, generation);
        } else if (armed && stepped) {
            post(self, false, generation);
        }
        checked = seen;
        done.notify_all();

        auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(maxwait);
        if (armed)
            left = std::clamp(std::chrono::duration_cast<std::chrono::nanoseconds>(due - now),
                              std::chrono::nanoseconds(std::chrono::milliseconds(1)), left);
        wake.wait_for(guard, left, [&] { return quit || changed || pokes != seen; });
        changed = false;
    }

    static void post(const std::weak_ptr<Shared>& self, bool fired, std::uint64_t generation)
    {
        mainqueue().postcall([self, fired, generation] {
            if (const auto shared = self.lock())
                if (shared->owner)
                    shared->owner->dispatch(fired, generation);
        });
    }
};

TWaitableTimer::TWaitableTimer() : shared_(std::make_shared<Shared>())
{
    shared_->owner = this;
    std::weak_ptr<Shared> weak = shared_;
    mythread = std::make_unique<CThread>([shared = shared_, weak] { shared->waitonce(weak); });
    mythread->onerror = [](const std::string& what) {
        mainqueue().postcall([what] {
            addlog("Scheduler timer stopped: " + what);
            usernotifier().error("Error", what);
        });
    };
    mythread->start();
}

TWaitableTimer::~TWaitableTimer()
{
    fontimer = nullptr;
    onclockstep = nullptr;
    {
        std::lock_guard guard(shared_->lock);
        shared_->owner = nullptr;
        shared_->armed = false;
        shared_->quit = true;
        ++shared_->generation;
    }
    mythread->terminate();
    shared_->wake.notify_all();
    mythread.reset();  // joins
    // Answer a checknow() caller that might still wait.
    shared_->done.notify_all();
}

void TWaitableTimer::Start()
{
    const SystemTime due = fromlocaldatetime(FDueTime, FChoice);
    {
        std::lock_guard guard(shared_->lock);
        shared_->due = due;
        shared_->armed = true;
        shared_->changed = true;
        ++shared_->generation;
    }
    shared_->wake.notify_all();
}

void TWaitableTimer::Stop()
{
    {
        std::lock_guard guard(shared_->lock);
        shared_->armed = false;
        shared_->changed = true;
        ++shared_->generation;
    }
    shared_->wake.notify_all();
}

bool TWaitableTimer::armed() const
{
    std::lock_guard guard(shared_->lock);
    return shared_->armed;
}

SystemTime TWaitableTimer::dueinstant() const
{
    std::lock_guard guard(shared_->lock);
    return shared_->due;
}

void TWaitableTimer::checknow()
{
    std::unique_lock guard(shared_->lock);
    const std::uint64_t ticket = ++shared_->pokes;
    shared_->wake.notify_all();
    shared_->done.wait(guard, [&] { return shared_->quit || shared_->checked >= ticket; });
}

void TWaitableTimer::dispatch(bool fired, std::uint64_t generation)
{
    {
        // A wake-up for an arming that was replaced or stopped since is stale.
        std::lock_guard guard(shared_->lock);
        if (generation != shared_->generation)
            return;
    }
    if (fired) {
        if (fontimer)
            fontimer();
    } else if (onclockstep) {
        onclockstep();
    }
}

}  // namespace velk
