#pragma once
// SpscQueue: a bounded FIFO of pointers for exactly one producer thread and one consumer thread,
// without locks or allocation after construction. The capture session's filled and free block
// queues are two of them.
//
// Threads: push() from the one producer, pop() from the one consumer, size() from anywhere (an
// estimate). Construction and destruction while neither side runs.

#include <atomic>
#include <bit>
#include <cstddef>
#include <vector>

namespace velk {

template <class T>
class SpscQueue {
public:
    // Holds at least `capacity` entries.
    explicit SpscQueue(std::size_t capacity = 0) { resize(capacity); }

    // Empties the queue and sets a new capacity. Neither side may run.
    void resize(std::size_t capacity)
    {
        slots_.assign(std::bit_ceil(capacity + 1), T{});
        mask_ = slots_.size() - 1;
        head_.store(0, std::memory_order_relaxed);
        tail_.store(0, std::memory_order_relaxed);
    }

    // Producer. False when full.
    bool push(T value)
    {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        const std::size_t next = (head + 1) & mask_;
        if (next == tail_.load(std::memory_order_acquire))
            return false;
        slots_[head] = value;
        head_.store(next, std::memory_order_release);
        return true;
    }

    // Consumer. False when empty.
    bool pop(T& value)
    {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail == head_.load(std::memory_order_acquire))
            return false;
        value = slots_[tail];
        tail_.store((tail + 1) & mask_, std::memory_order_release);
        return true;
    }

    std::size_t size() const
    {
        return (head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_acquire)) & mask_;
    }

private:
    std::vector<T> slots_;
    std::size_t mask_ = 0;
    alignas(64) std::atomic<std::size_t> head_{0};
    alignas(64) std::atomic<std::size_t> tail_{0};
};

}  // namespace velk
