#include "core/main_thread_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "core/errors.h"

namespace velk {

// The list is Vyukov's intrusive multi-producer single-consumer queue: producers swap themselves
// into `head_` and then link the previous node to themselves; the consumer walks from `tail_`.

MainThreadQueue::MainThreadQueue()
    : head_(&stub_),
      tail_(&stub_),
      pool_(std::make_unique<Node[]>(poolnodes)),
      freenext_(std::make_unique<std::atomic<std::uint32_t>[]>(poolnodes)),
      wakeup_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    if (!wakeup_)
        throw EOSError(errno);
    // Every node free, node 0 on top.
    for (std::uint32_t i = 0; i < poolnodes; ++i)
        freenext_[i].store(i + 1 < poolnodes ? i + 2 : 0, std::memory_order_relaxed);
    freetop_.store(1, std::memory_order_release);
}

MainThreadQueue::Node* MainThreadQueue::take() noexcept
{
    std::uint64_t top = freetop_.load(std::memory_order_acquire);
    for (;;) {
        const auto index = static_cast<std::uint32_t>(top);
        if (index == 0)
            return nullptr;
        const std::uint64_t next = freenext_[index - 1].load(std::memory_order_relaxed);
        const std::uint64_t desired = (((top >> 32) + 1) << 32) | next;
        if (freetop_.compare_exchange_weak(top, desired, std::memory_order_acq_rel, std::memory_order_acquire))
            return &pool_[index - 1];
    }
}

void MainThreadQueue::recycle(Node* node) noexcept
{
    // The payload goes here, on the main thread, never on a poster's.
    node->message.emplace<ChannelStateMessage>();
    if (node < pool_.get() || node >= pool_.get() + poolnodes) {
        delete node;
        return;
    }
    const auto index = static_cast<std::uint32_t>(node - pool_.get()) + 1;
    std::uint64_t top = freetop_.load(std::memory_order_relaxed);
    std::uint64_t desired = 0;
    do {
        freenext_[index - 1].store(static_cast<std::uint32_t>(top), std::memory_order_relaxed);
        desired = (((top >> 32) + 1) << 32) | index;
    } while (!freetop_.compare_exchange_weak(top, desired, std::memory_order_release, std::memory_order_relaxed));
}

MainThreadQueue::~MainThreadQueue()
{
    discard();
}

int messagecode(const MainMessage& message)
{
    struct Visitor {
        int operator()(const ChannelStateMessage&) const { return WM_CHANNELSTATE; }
        int operator()(const LogLineMessage&) const { return WM_LOGLINE; }
        int operator()(const SaveDescriptorMessage&) const { return WM_SAVEDESCRIPTOR; }
        int operator()(const FileCompleteMessage&) const { return WM_FILECOMPLETE; }
        int operator()(const QueuedCallMessage&) const { return 0; }
    };
    return std::visit(Visitor{}, message);
}

void MainThreadQueue::push(Node* node)
{
    node->next.store(nullptr, std::memory_order_relaxed);
    Node* previous = head_.exchange(node, std::memory_order_acq_rel);
    previous->next.store(node, std::memory_order_release);
}

MainThreadQueue::Node* MainThreadQueue::pop()
{
    Node* tail = tail_;
    Node* next = tail->next.load(std::memory_order_acquire);
    if (tail == &stub_) {
        if (!next)
            return nullptr;
        tail_ = next;
        tail = next;
        next = next->next.load(std::memory_order_acquire);
    }
    if (next) {
        tail_ = next;
        return tail;
    }
    if (tail != head_.load(std::memory_order_acquire)) {
        // A producer has swapped itself in but not linked yet; it will in a moment.
        return nullptr;
    }
    push(&stub_);
    next = tail->next.load(std::memory_order_acquire);
    if (next) {
        tail_ = next;
        return tail;
    }
    return nullptr;
}

MainThreadQueue::Node* MainThreadQueue::popnext()
{
    for (;;) {
        if (Node* node = pop())
            return node;
        if (tail_ == head_.load(std::memory_order_acquire) && tail_->next.load(std::memory_order_acquire) == nullptr)
            return nullptr;
        std::this_thread::yield();  // a post is half-way through linking
    }
}

void MainThreadQueue::post(MainMessage message)
{
    Node* node = take();
    if (node)
        node->message = std::move(message);
    else
        node = new Node{{}, std::move(message)};
    push(node);
    if (!signalled_.exchange(true, std::memory_order_acq_rel)) {
        const std::uint64_t one = 1;
        // A full eventfd counter still leaves it readable, which is all the loop needs.
        [[maybe_unused]] const ssize_t n = ::write(wakeup_.get(), &one, sizeof one);
    }
}

bool MainThreadQueue::ismainthread() const
{
    return mainthread_.load(std::memory_order_acquire) == std::this_thread::get_id();
}

void MainThreadQueue::bindtocurrentthread()
{
    mainthread_.store(std::this_thread::get_id(), std::memory_order_release);
}

void MainThreadQueue::deliver(MainMessage& message, MainMessageHandler* handler)
{
    if (auto* call = std::get_if<QueuedCallMessage>(&message)) {
        if (call->call)
            call->call();
        return;
    }
    if (!handler)
        return;
    std::visit(
        [handler](auto& m) {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, ChannelStateMessage>)
                handler->channelstate(m);
            else if constexpr (std::is_same_v<T, LogLineMessage>)
                handler->logline(m);
            else if constexpr (std::is_same_v<T, SaveDescriptorMessage>)
                handler->savedescriptor(m);
            else if constexpr (std::is_same_v<T, FileCompleteMessage>)
                handler->filecomplete(m);
        },
        message);
}

std::size_t MainThreadQueue::drain(MainMessageHandler* handler)
{
    if (mainthread_.load(std::memory_order_acquire) == std::thread::id())
        bindtocurrentthread();
    std::uint64_t counter = 0;
    [[maybe_unused]] const ssize_t n = ::read(wakeup_.get(), &counter, sizeof counter);
    signalled_.store(false, std::memory_order_seq_cst);

    std::size_t delivered = 0;
    while (Node* node = popnext()) {
        // The node goes back to the pool (or is freed) even when the handler throws.
        struct Recycle {
            MainThreadQueue& queue;
            Node* node;
            ~Recycle() { queue.recycle(node); }
        } owned{*this, node};
        ++delivered;
        // The node is freed even when the handler throws; the error goes to the loop's caller,
        // and the queue signals itself again so that the messages behind it are not stranded.
        try {
            deliver(node->message, handler);
        } catch (...) {
            signalled_.store(true);
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t w = ::write(wakeup_.get(), &one, sizeof one);
            throw;
        }
    }
    return delivered;
}

std::size_t MainThreadQueue::discard()
{
    std::size_t dropped = 0;
    while (Node* node = popnext()) {
        recycle(node);
        ++dropped;
    }
    return dropped;
}

namespace {
std::atomic<MainThreadQueue*> installed{nullptr};
}

MainThreadQueue& mainqueue()
{
    if (MainThreadQueue* q = installed.load(std::memory_order_acquire))
        return *q;
    static MainThreadQueue fallback;
    return fallback;
}

void setmainqueue(MainThreadQueue* queue)
{
    installed.store(queue, std::memory_order_release);
}

}  // namespace velk
