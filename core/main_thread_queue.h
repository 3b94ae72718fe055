#pragma once
// The main-thread queue: the one road from worker threads to the main thread. Workers post
// messages or calls; the main thread drains them in posting order, from the Qt event loop, from
// the headless loop, or explicitly in a test.
//
// Threads:
//   any thread      post(), postcall(), callsync(), wakeupfd(), ismainthread()
//   main thread     bindtocurrentthread(), drain(), discard()
// post() and postcall() never wait and take no lock (a lock-free list plus one eventfd write
// when the queue goes from empty to non-empty). The list nodes come from a pool the queue
// allocates once (`poolnodes` of them, handed back by the main thread as it delivers), so a post
// allocates nothing itself while the pool has a node; only when more than that many messages wait
// does a post allocate its node, and nothing is ever dropped. A message without a payload on the
// heap (a channel's state) therefore posts without allocating; the others own their payload (a
// path, a log line, a call), which the poster made. The capture path posts only at a channel's
// state change and where a recording is opened, split or finished, never for a block that changes
// nothing: a steady stream of blocks posts and allocates nothing.

#include <atomic>
#include <cstdint>
#include <future>
#include <memory>
#include <thread>
#include <type_traits>

#include "core/main_messages.h"
#include "core/unique_fd.h"

namespace velk {

class MainThreadQueue {
public:
    MainThreadQueue();
    ~MainThreadQueue();  // destroys undelivered messages; pending callsync() callers get an error
    MainThreadQueue(const MainThreadQueue&) = delete;
    MainThreadQueue& operator=(const MainThreadQueue&) = delete;

    // --- any thread ---
    void post(MainMessage message);
    void postcall(std::function<void()> call) { post(QueuedCallMessage{std::move(call)}); }

    // Runs `fn` on the main thread and returns its result (or rethrows its exception). From the
    // main thread itself it runs at once. Never call it from the capture path.
    template <class F>
    auto callsync(F&& fn) -> std::invoke_result_t<F>;

    // Readable (eventfd) while messages wait; a loop polls it and then calls drain().
    int wakeupfd() const { return wakeup_.get(); }
    bool ismainthread() const;

    // --- main thread ---
    // Makes the calling thread the main thread (the first drain() does this too).
    void bindtocurrentthread();
    // Delivers every message waiting now, and those posted while it runs, in posting order. Coded
    // messages go to `handler` (dropped when it is null); calls run. Returns the count delivered.
    std::size_t drain(MainMessageHandler* handler);
    // Drops everything waiting without delivering it.
    std::size_t discard();

    // The nodes allocated once per queue.
    static constexpr std::uint32_t poolnodes = 512;

private:
    struct Node {
        std::atomic<Node*> next{nullptr};
        MainMessage message;
    };

    // A free pool node, or nullptr when the pool is empty (any thread).
    Node* take() noexcept;
    // Empties a delivered node's message and puts a pool node back or frees an allocated one (main
    // thread).
    void recycle(Node* node) noexcept;
    void push(Node* node);
    Node* pop();
    // The next node, waiting out a post that is half-way through; nullptr when empty.
    Node* popnext();
    void deliver(MainMessage& message, MainMessageHandler* handler);

    std::atomic<Node*> head_;  // producers append here
    Node* tail_;               // consumer side
    Node stub_;
    std::unique_ptr<Node[]> pool_;
    // The free pool nodes as a stack: each free node's successor (index + 1, 0 at the bottom),
    // and the top as index + 1 in the low 32 bits with a change count above, so a take() that
    // read a successor which changed meanwhile fails its exchange.
    std::unique_ptr<std::atomic<std::uint32_t>[]> freenext_;
    std::atomic<std::uint64_t> freetop_{0};
    std::atomic<bool> signalled_{false};
    std::atomic<std::thread::id> mainthread_{};
    UniqueFd wakeup_;
};

// The program's queue: the one installed by setmainqueue(), otherwise a process-wide default.
MainThreadQueue& mainqueue();
void setmainqueue(MainThreadQueue* queue);

// Installs a queue for the lifetime of a scope and binds it to the creating thread (tests, and
// the program's start-up).
class ScopedMainQueue {
public:
    ScopedMainQueue()
    {
        queue_.bindtocurrentthread();
        setmainqueue(&queue_);
    }
    ~ScopedMainQueue() { setmainqueue(nullptr); }
    ScopedMainQueue(const ScopedMainQueue&) = delete;
    ScopedMainQueue& operator=(const ScopedMainQueue&) = delete;
    MainThreadQueue& queue() { return queue_; }

private:
    MainThreadQueue queue_;
};

template <class F>
auto MainThreadQueue::callsync(F&& fn) -> std::invoke_result_t<F>
{
    using R = std::invoke_result_t<F>;
    if (ismainthread())
        return fn();
    auto task = std::make_shared<std::packaged_task<R()>>(std::forward<F>(fn));
    std::future<R> result = task->get_future();
    // The shared task outlives a message that is destroyed undelivered: the waiter then gets a
    // broken-promise error instead of waiting for ever.
    struct Runner {
        std::shared_ptr<std::packaged_task<R()>> task;
        void operator()() const { (*task)(); }
    };
    postcall(Runner{std::move(task)});
    return result.get();
}

}  // namespace velk
