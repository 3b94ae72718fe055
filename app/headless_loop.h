#pragma once
// The headless main loop: delivers main-thread messages as they arrive and returns when SIGINT or
// SIGTERM comes, so the caller can shut down in order.
//
// Threads: main thread. blocksignals() must run before any other thread starts, so that the two
// signals reach the loop instead of killing a worker thread.

namespace velk {

class VelkSystem;

class HeadlessLoop {
public:
    // Blocks SIGINT and SIGTERM for this thread and every thread it creates later.
    static void blocksignals();

    explicit HeadlessLoop(VelkSystem& system) : system_(system) {}
    // Runs until SIGINT or SIGTERM; returns the signal number.
    int run();

private:
    VelkSystem& system_;
};

}  // namespace velk
