#pragma once
// TCardWatch: the 2-second beat that brings lost sound cards back. Its thread only posts `check`
// to the main-thread queue every period (never a second one while the first still waits there);
// the check itself (re-opening drivers, starting cards) runs on the main thread, away from the
// capture path.
//
// Threads: construction and destruction on the main thread; the watch's own thread posts.
// Destruction stops the thread, and a check still waiting in the queue then does nothing.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace velk {

class TCardWatch {
public:
    explicit TCardWatch(std::function<void()> check,
                        std::chrono::milliseconds period = std::chrono::milliseconds(2000));
    ~TCardWatch();
    TCardWatch(const TCardWatch&) = delete;
    TCardWatch& operator=(const TCardWatch&) = delete;

private:
    struct Shared {
        std::function<void()> check;  // main thread
        bool alive = true;            // main thread
        std::atomic<bool> waiting{false};
    };
    void run();

    std::shared_ptr<Shared> shared_;
    std::chrono::milliseconds period_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace velk
