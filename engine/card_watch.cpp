#include "engine/card_watch.h"

#include "core/main_thread_queue.h"

namespace velk {

TCardWatch::TCardWatch(std::function<void()> check, std::chrono::milliseconds period)
    : shared_(std::make_shared<Shared>()), period_(period)
{
    shared_->check = std::move(check);
    thread_ = std::thread([this] { run(); });
}

TCardWatch::~TCardWatch()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
    shared_->alive = false;
}

void TCardWatch::run()
{
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, period_, [this] { return stop_; })) {
        if (shared_->waiting.exchange(true))
            continue;
        mainqueue().postcall([shared = shared_] {
            shared->waiting = false;
            if (shared->alive)
                shared->check();
        });
    }
}

}  // namespace velk
