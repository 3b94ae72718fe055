#include "services/c_thread.h"

#include <utility>

namespace velk {

CThread::CThread(std::function<void()> proc) : proc_(std::move(proc)) {}

CThread::~CThread()
{
    terminate();
    waitfor();
}

void CThread::start()
{
    if (!thread_.joinable())
        thread_ = std::thread([this] { run(); });
}

void CThread::waitfor()
{
    if (thread_.joinable())
        thread_.join();
}

void CThread::run()
{
    try {
        while (!terminated())
            proc_();
    } catch (const std::exception& e) {
        FException = std::current_exception();
        if (onerror)
            onerror(e.what());
    } catch (...) {
        FException = std::current_exception();
        if (onerror)
            onerror("unknown error");
    }
}

}  // namespace velk
