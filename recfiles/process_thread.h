#pragma once
// TProcessThread: the compression worker. It waits for the work event, converts the one task the
// processor handed it, and posts the completion to the main thread without waiting for it. It
// runs below normal priority.
//
// Threads:
//   main thread        constructor, start(), settask() (before signal()), signal(),
//                      setcompletion(), terminate(), waitfor(), destructor
//   compression thread the conversions; the completion callback runs later on the main thread

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "recfiles/wake_event.h"

namespace velk {

class TConverter;

class TProcessThread {
public:
    // taskdone(task, error, result, output), run on the main thread.
    using Completion = std::function<void(const std::string&, const std::string&, bool, const std::string&)>;

    // Created suspended; `converter` (not owned) must outlive the thread.
    explicit TProcessThread(TConverter& converter);
    // Terminates, wakes and joins a running thread.
    ~TProcessThread();
    TProcessThread(const TProcessThread&) = delete;
    TProcessThread& operator=(const TProcessThread&) = delete;

    void start();
    void settask(const std::string& path);
    void signal() { work_.set(); }
    // An empty callback stops completions from being posted (shutdown).
    void setcompletion(Completion completion);
    void terminate() { terminated_.store(true); }
    void waitfor();
    // Waits at most `limit` for the thread to end and joins it; false when it is still running
    // (stuck in the file system): the caller must then keep this object and the converter alive.
    bool waitfor(std::chrono::milliseconds limit);

private:
    void run();

    TConverter& converter_;
    TWakeEvent work_;
    std::mutex mutex_;  // guards task_, completion_ and finished_
    std::condition_variable finishedcv_;
    std::string task_;
    Completion completion_;
    bool finished_ = false;  // run() returned
    std::atomic<bool> terminated_{false};
    std::thread thread_;
};

}  // namespace velk
