#include "app/low_space_alarm.h"

#include <gtest/gtest.h>

#include <map>
#include <utility>

#include "core/main_thread_queue.h"
#include "tests/support/message_recorder.h"

namespace velk {
namespace {

constexpr std::uint64_t MB = 1024 * 1024;

// Two folders on one disk (device 1) and one on another (device 2), with free space set by the test.
class LowSpaceAlarmTest : public ::testing::Test {
protected:
    std::vector<std::string> logs()
    {
        queue.queue().drain(&log);
        return std::exchange(log.texts, {});
    }

    std::map<std::string, LowSpaceAlarm::Space> space{
        {"/a/one", {1, 100 * MB}}, {"/a/two", {1, 100 * MB}}, {"/b", {2, 100 * MB}}};
    LowSpaceAlarm alarm{[this](const std::string& folder) -> std::optional<LowSpaceAlarm::Space> {
        const auto it = space.find(folder);
        if (it == space.end())
            return std::nullopt;
        return it->second;
    }};
    ScopedMainQueue queue;
    test::MessageRecorder log;
};

// 1 MB a second for 10 minutes is 600 MB; the channels on one disk add up.
TEST_F(LowSpaceAlarmTest, WarnsOncePerDiskAndOnceMoreWhenItHasRoomAgain)
{
    const std::vector<LowSpaceAlarm::Need> needs = {{"/a/one", MB / 2}, {"/a/two", MB / 2}, {"/b", MB / 4}, {"/gone", MB}};
    space["/a/one"].freebytes = space["/a/two"].freebytes = 599 * MB;
    space["/b"].freebytes = 151 * MB;
    alarm.check(needs, 10);
    alarm.check(needs, 10);
    EXPECT_TRUE(alarm.low());
    EXPECT_EQ(logs(), std::vector<std::string>{"Low disk space: /a/one has 599.0 MB free, less than 10 minutes of recording"});

    // Just above the need is not yet a recovery: a tenth more is.
    space["/a/one"].freebytes = space["/a/two"].freebytes = 601 * MB;
    alarm.check(needs, 10);
    EXPECT_TRUE(logs().empty());
    space["/a/one"].freebytes = space["/a/two"].freebytes = 660 * MB;
    alarm.check(needs, 10);
    alarm.check(needs, 10);
    EXPECT_FALSE(alarm.low());
    EXPECT_EQ(logs(), std::vector<std::string>{"Disk space recovered: /a/one has 660.0 MB free"});

    // The other disk falls short when its channel needs more minutes; 0 minutes is off.
    space["/a/one"].freebytes = space["/a/two"].freebytes = 2000 * MB;
    alarm.check(needs, 15);
    EXPECT_EQ(logs(), std::vector<std::string>{"Low disk space: /b has 151.0 MB free, less than 15 minutes of recording"});
    alarm.check(needs, 0);
    EXPECT_FALSE(alarm.low());
    EXPECT_TRUE(logs().empty());
    // No switched-on channel, no need.
    alarm.check({}, 15);
    EXPECT_FALSE(alarm.low());
}

}  // namespace
}  // namespace velk
