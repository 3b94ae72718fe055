#include "core/main_thread_queue.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace velk {
namespace {

// Records what arrives, in arrival order.
struct Recorder : MainMessageHandler {
    std::vector<std::string> seen;
    void channelstate(const ChannelStateMessage& m) override
    {
        seen.push_back("state " + std::to_string(m.channel) + " " + std::to_string(m.state));
    }
    void logline(LogLineMessage& m) override { seen.push_back("log " + m.line); }
    void savedescriptor(SaveDescriptorMessage& m) override { seen.push_back("save " + m.path); }
    void filecomplete(FileCompleteMessage& m) override { seen.push_back("complete " + m.path); }
};

bool readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}

TEST(MainThreadQueue, DeliversInPostingOrderAndSignalsItsWakeupFd)
{
    MainThreadQueue q;
    q.bindtocurrentthread();
    Recorder r;
    EXPECT_FALSE(readable(q.wakeupfd()));
    q.post(ChannelStateMessage{3, 1});
    EXPECT_TRUE(readable(q.wakeupfd()));
    q.post(LogLineMessage{"a"});
    q.postcall([&] { r.seen.push_back("call"); });
    q.post(SaveDescriptorMessage{{}, "/d/1.velk"});
    q.post(FileCompleteMessage{{}, "/d/2.velk"});
    EXPECT_EQ(q.drain(&r), 5u);
    EXPECT_FALSE(readable(q.wakeupfd()));
    EXPECT_EQ(r.seen, (std::vector<std::string>{"state 3 1", "log a", "call", "save /d/1.velk", "complete /d/2.velk"}));
    EXPECT_EQ(q.drain(&r), 0u);
}

TEST(MainThreadQueue, MessagesPostedWhileDrainingAreDeliveredInTheSameRun)
{
    MainThreadQueue q;
    Recorder r;
    q.postcall([&] { q.post(LogLineMessage{"later"}); });
    EXPECT_EQ(q.drain(&r), 2u);
    EXPECT_EQ(r.seen, std::vector<std::string>{"log later"});
}

TEST(MainThreadQueue, ManyProducersKeepEachProducersOrder)
{
    MainThreadQueue q;
    q.bindtocurrentthread();
    constexpr int producers = 4;
    constexpr int perproducer = 5000;
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p)
        threads.emplace_back([&q, p] {
            for (int i = 0; i < perproducer; ++i)
                q.post(ChannelStateMessage{p, i});
        });
    struct Checker : MainMessageHandler {
        int next[producers] = {};
        int total = 0;
        bool ordered = true;
        void channelstate(const ChannelStateMessage& m) override
        {
            ordered = ordered && m.state == next[m.channel];
            next[m.channel] = m.state + 1;
            ++total;
        }
        void logline(LogLineMessage&) override {}
        void savedescriptor(SaveDescriptorMessage&) override {}
        void filecomplete(FileCompleteMessage&) override {}
    } checker;
    while (checker.total < producers * perproducer) {
        pollfd p{q.wakeupfd(), POLLIN, 0};
        ::poll(&p, 1, 10);
        q.drain(&checker);
    }
    for (auto& t : threads)
        t.join();
    q.drain(&checker);
    EXPECT_TRUE(checker.ordered);
    EXPECT_EQ(checker.total, producers * perproducer);
}

// The pool's nodes are reused, and more messages than it holds still all arrive in order: those
// beyond it get nodes of their own. Delivered payloads are freed (the leak check sees the rest).
TEST(MainThreadQueue, MoreWaitingMessagesThanPoolNodesAllArriveInOrderRoundAfterRound)
{
    MainThreadQueue q;
    q.bindtocurrentthread();
    constexpr int count = static_cast<int>(MainThreadQueue::poolnodes) * 2 + 3;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < count; ++i) {
            if (i % 2)
                q.post(ChannelStateMessage{round, i});
            else
                q.post(LogLineMessage{"a line long enough to live on the heap " + std::to_string(i)});
        }
        Recorder r;
        EXPECT_EQ(q.drain(&r), static_cast<std::size_t>(count));
        ASSERT_EQ(r.seen.size(), static_cast<std::size_t>(count));
        EXPECT_EQ(r.seen[1], "state " + std::to_string(round) + " 1");
        EXPECT_EQ(r.seen[count - 1], "log a line long enough to live on the heap " + std::to_string(count - 1));
    }
    q.post(LogLineMessage{"left undelivered, freed by the destructor, long enough for the heap"});
}

TEST(MainThreadQueue, CallSyncRunsOnTheMainThreadAndReturnsItsResult)
{
    MainThreadQueue q;
    q.bindtocurrentthread();
    const auto mainid = std::this_thread::get_id();
    EXPECT_EQ(q.callsync([] { return 7; }), 7);  // inline on the main thread

    std::atomic<bool> done{false};
    int result = 0;
    std::thread worker([&] {
        result = q.callsync([&] { return std::this_thread::get_id() == mainid ? 42 : -1; });
        done = true;
    });
    while (!done)
        q.drain(nullptr);
    worker.join();
    EXPECT_EQ(result, 42);

    std::atomic<bool> threw{false};
    std::thread thrower([&] {
        try {
            q.callsync([]() -> int { throw std::runtime_error("x"); });
        } catch (const std::runtime_error&) {
            threw = true;
        }
    });
    while (!threw)
        q.drain(nullptr);
    thrower.join();
}

TEST(MainThreadQueue, UndeliveredMessagesAreFreedAndSyncCallersReleased)
{
    // The leak checker of the sanitizer build proves the payloads are freed.
    std::thread worker;
    std::atomic<bool> released{false};
    {
        MainThreadQueue q;
        q.bindtocurrentthread();
        q.post(LogLineMessage{std::string(1000, 'x')});
        q.post(SaveDescriptorMessage{{}, "/never/written"});
        EXPECT_EQ(q.drain(nullptr), 2u);  // without a handler coded messages are dropped
        worker = std::thread([&] {
            try {
                q.callsync([] { return 1; });
            } catch (const std::future_error&) {
                released = true;
            }
        });
        // Reading the wake-up counter (not just polling it) orders the worker's post before the
        // queue's destruction, for ThreadSanitizer as for the kernel.
        std::uint64_t count = 0;
        while (::read(q.wakeupfd(), &count, sizeof count) != static_cast<ssize_t>(sizeof count))
            std::this_thread::yield();
        q.post(FileCompleteMessage{{}, "/never/queued"});
    }  // destroyed undrained
    worker.join();
    EXPECT_TRUE(released);
}

TEST(MainThreadQueue, AHandlerErrorLeavesTheRestQueuedAndSignalled)
{
    MainThreadQueue q;
    Recorder r;
    q.postcall([] { throw std::runtime_error("boom"); });
    q.post(LogLineMessage{"after"});
    EXPECT_THROW(q.drain(&r), std::runtime_error);
    EXPECT_TRUE(readable(q.wakeupfd()));
    EXPECT_EQ(q.drain(&r), 1u);
    EXPECT_EQ(r.seen, std::vector<std::string>{"log after"});
}

}  // namespace
}  // namespace velk
