#pragma once
// TWakeEvent: an auto-reset event. set() wakes one wait() (or the next one, if nobody waits yet);
// several set() calls before a wait count as one. The cleanup thread's wake-up event and the
// compression worker's work event are of this kind.
//
// Threads: any thread may call any method.

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace velk {

class TWakeEvent {
public:
    void set()
    {
        {
            std::lock_guard lock(mutex_);
            signalled_ = true;
        }
        cv_.notify_one();
    }
    // Waits without limit until the event is set, and clears it.
    void wait()
    {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return signalled_; });
        signalled_ = false;
    }
    // As wait(), but gives up after `timeout`; true when the event was set (and is now clear).
    bool waitfor(std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(mutex_);
        if (!cv_.wait_for(lock, timeout, [this] { return signalled_; }))
            return false;
        signalled_ = false;
        return true;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

}  // namespace velk
