#include "recfiles/process_thread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>

#include "core/main_thread_queue.h"
#include "recfiles/converter.h"

namespace velk {

TProcessThread::TProcessThread(TConverter& converter) : converter_(converter) {}

TProcessThread::~TProcessThread()
{
    if (thread_.joinable()) {
        terminate();
        signal();
        thread_.join();
    }
}

void TProcessThread::start()
{
    if (!thread_.joinable())
        thread_ = std::thread([this] { run(); });
}

void TProcessThread::settask(const std::string& path)
{
    std::lock_guard lock(mutex_);
    task_ = path;
}

void TProcessThread::setcompletion(Completion completion)
{
    std::lock_guard lock(mutex_);
    completion_ = std::move(completion);
}

void TProcessThread::waitfor()
{
    if (thread_.joinable())
        thread_.join();
}

bool TProcessThread::waitfor(std::chrono::milliseconds limit)
{
    if (!thread_.joinable())
        return true;
    {
        std::unique_lock lock(mutex_);
        if (!finishedcv_.wait_for(lock, limit, [&] { return finished_; }))
            return false;
    }
    thread_.join();
    return true;
}

void TProcessThread::run()
{
    // Below normal priority (five steps nicer than the process): conversions take what capture
    // leaves.
    const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, tid);
    if (errno == 0)
        ::setpriority(PRIO_PROCESS, tid, std::min(nice + 5, 19));
    while (!terminated_.load()) {
        work_.wait();
        if (terminated_.load())
            break;
        std::string task;
        {
            std::lock_guard lock(mutex_);
            task = task_;
        }
        bool result = false;
        std::string error;
        std::string output;
        try {
            result = converter_.convert(task);
            error = converter_.error();
            output = converter_.output();
        } catch (const std::exception& e) {
            // The converter handles its own errors; this is the last line of defence, so the task
            // is completed (as failed) instead of keeping the queue busy.
            error = e.what();
            output = converter_.output();
        } catch (...) {
            error = "Unknown error";
            output = converter_.output();
        }
        Completion completion;
        {
            std::lock_guard lock(mutex_);
            completion = completion_;
        }
        if (completion)
            mainqueue().postcall([completion, task, error, result, output] { completion(task, error, result, output); });
    }
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    finishedcv_.notify_all();
}

}  // namespace velk
