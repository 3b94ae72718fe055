#pragma once
// SnapshotCell<T>: an immutable value published by one thread (the main thread) and read by any
// thread without a lock, a wait or an allocation. A reader takes a Snapshot, uses the value for one
// unit of its work (a block, a task, a pass) and lets it go; the publisher replaces the value at
// any time, and a value replaced while readers still hold it stays alive until they have let go.
//
// Why not std::atomic<std::shared_ptr<const T>>: libstdc++ guards that pointer with a spin lock
// (a lock bit in the control-block pointer, waited on with an atomic wait), and a reader that
// drops the last reference frees the value on its own thread. Neither may happen on the capture
// path. This cell is read-copy-update with epochs instead:
//   - a reader counts itself in the reader count of the current epoch's parity (one atomic add,
//     re-checked against the epoch), then loads the current pointer; letting go is one subtract;
//   - the publisher swaps the pointer, keeps the replaced value with the epoch it was replaced in,
//     and advances the epoch only over a parity whose readers have all let go. A value replaced in
//     epoch E can be seen only by readers counted in epochs up to E, so it is freed (on the
//     publisher's thread, never on a reader's) once the epoch has moved on by two.
// Readers never wait for the publisher, and the publisher never waits for readers: a value a
// reader holds for long (a compression task) is freed at a later publication.
//
// Threads:
//   one publisher thread (the main thread)   publish(), reclaim(), retained()
//   any thread                               read(), the Snapshot's accessors and destructor
// The cell must outlive every Snapshot taken from it.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace velk {

template <class T>
class SnapshotCell {
public:
    // One reader's hold on the value that was current when it was taken. Move-only.
    class Snapshot {
    public:
        Snapshot(Snapshot&& other) noexcept : count_(std::exchange(other.count_, nullptr)), value_(other.value_) {}
        Snapshot& operator=(Snapshot&&) = delete;
        Snapshot(const Snapshot&) = delete;
        ~Snapshot()
        {
            if (count_)
                count_->fetch_sub(1, std::memory_order_release);
        }
        const T& operator*() const { return *value_; }
        const T* operator->() const { return value_; }

    private:
        friend class SnapshotCell;
        Snapshot(std::atomic<std::int64_t>* count, const T* value) : count_(count), value_(value) {}
        std::atomic<std::int64_t>* count_;
        const T* value_;
    };

    explicit SnapshotCell(T initial = T{}) : initial_(std::move(initial)), current_(&initial_) {}
    // Every Snapshot must have been let go.
    ~SnapshotCell() = default;
    SnapshotCell(const SnapshotCell&) = delete;
    SnapshotCell& operator=(const SnapshotCell&) = delete;

    // --- any thread: lock-free, allocates nothing ---
    Snapshot read() const noexcept
    {
        for (;;) {
            const std::uint64_t epoch = epoch_.load(std::memory_order_seq_cst);
            std::atomic<std::int64_t>& count = readers_[epoch & 1];
            count.fetch_add(1, std::memory_order_seq_cst);
            // Counted in an epoch the publisher has already left: that parity may be about to be
            // declared empty, so count again in the new one.
            if (epoch_.load(std::memory_order_seq_cst) == epoch)
                return Snapshot(&count, current_.load(std::memory_order_seq_cst));
            count.fetch_sub(1, std::memory_order_release);
        }
    }

    // --- the publisher thread ---
    // Makes `value` the current value; frees the replaced values no reader can hold any more.
    void publish(T value)
    {
        auto fresh = std::make_unique<const T>(std::move(value));
        current_.store(fresh.get(), std::memory_order_seq_cst);
        if (live_)
            retired_.push_back(Retired{std::move(live_), epoch_.load(std::memory_order_relaxed)});
        live_ = std::move(fresh);
        reclaim();
    }

    // Frees what can be freed now (publish() does this too).
    void reclaim()
    {
        for (int step = 0; step < 2 && !retired_.empty(); ++step) {
            const std::uint64_t epoch = epoch_.load(std::memory_order_relaxed);
            // Moving to epoch + 1 reuses the parity of epoch - 1, whose readers must be gone.
            if (readers_[(epoch + 1) & 1].load(std::memory_order_seq_cst) != 0)
                break;
            epoch_.store(epoch + 1, std::memory_order_seq_cst);
        }
        const std::uint64_t now = epoch_.load(std::memory_order_relaxed);
        std::erase_if(retired_, [now](const Retired& r) { return now - r.epoch >= 2; });
    }

    // Replaced values still kept for readers that may hold them.
    std::size_t retained() const { return retired_.size(); }

private:
    struct Retired {
        std::unique_ptr<const T> value;
        std::uint64_t epoch;  // the epoch in which it was replaced
    };

    const T initial_;
    std::atomic<const T*> current_;
    std::atomic<std::uint64_t> epoch_{2};
    mutable std::array<std::atomic<std::int64_t>, 2> readers_{};
    std::unique_ptr<const T> live_;  // the published current value (after the first publish)
    std::vector<Retired> retired_;
};

}  // namespace velk
