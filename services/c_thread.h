#pragma once
// CThread: a worker thread that runs one routine over and over until it is told to end. The
// scheduler's timer uses it as its waiting thread: the routine waits once and hands the wake-up
// to the main thread.
//
// Threads: the constructor, start(), terminate(), waitfor() and the destructor on the owning
// thread; terminated() from any thread (the routine reads it). The routine runs on the worker.
// terminate() only sets a flag: the owner must also wake a routine that is waiting.

#include <atomic>
#include <exception>
#include <functional>
#include <string>
#include <thread>

namespace velk {

class CThread {
public:
    // `proc` is one turn of the loop; it returns when it should be called again (or when the
    // thread is to end). An exception ends the loop: it is kept in FException and reported to the
    // main thread through `onerror` (called on the worker; it must only post).
    explicit CThread(std::function<void()> proc);
    // Terminates and waits (the owner must have woken the routine first).
    ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    void start();
    void terminate() { terminated_.store(true); }
    bool terminated() const { return terminated_.load(); }
    // Joins the worker; returns at once when it was never started or has been joined.
    void waitfor();

    std::function<void(const std::string&)> onerror;
    // The error that ended the loop (read after waitfor()).
    std::exception_ptr FException;

private:
    void run();

    std::function<void()> proc_;
    std::atomic<bool> terminated_{false};
    std::thread thread_;
};

}  // namespace velk
