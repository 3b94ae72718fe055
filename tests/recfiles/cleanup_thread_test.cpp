// The recording cleanup: ages from the injectable clock, the once-a-day rule, what a pass deletes
// and what it leaves.
#include "recfiles/cleanup_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "tests/support/compression_fixture.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class CleanupThreadTest : public test::CompressionFixture {
protected:
    CleanupThreadTest()
    {
        config().cleanuptime = 5;
        publishrecordingsettings();
        thread.lastcheck = clock.nowlocal() - 1.0 - 1.0 / 86400;  // a day and a second ago
        thread.start();
    }
    ~CleanupThreadTest() override
    {
        thread.terminate();
        event.set();
        thread.waitfor();
    }

    // A recording that started `age` days before now: its descriptor below data()/<sub> and its
    // audio file in recordings().
    std::pair<std::string, std::string> recording(const std::string& sub, const std::string& name, double age,
                                                  std::int32_t state = DESC_FINAL)
    {
        fs::create_directories(data() + "/" + sub);
        const std::string audio = recordings() + "/" + name + ".mp3";
        test::writetextfile(audio, "audio");
        TRecDescriptor d;
        d.start = clock.nowlocal() - age;
        d.state = state;
        d.samplerate = 44100;
        d.setpath(audio);
        const std::string path = data() + "/" + sub + "/" + name + ".velk";
        writedescriptor(path, d);
        return {path, audio};
    }
    // Wakes the thread and waits until it has handled the wake-up.
    void wake()
    {
        event.set();
        ASSERT_TRUE(thread.waitwakeups(++wakeups, 60s));
        drain();
    }
    static bool exists(const std::pair<std::string, std::string>& r)
    {
        const bool d = fs::exists(r.first);
        EXPECT_EQ(d, fs::exists(r.second)) << r.first;
        return d;
    }

    TWakeEvent event;
    CleanupThread thread{event, config().velk_path};
    std::uint64_t wakeups = 0;
};

TEST_F(CleanupThreadTest, DeletesRecordingsOlderThanTheAgeWhateverTheirStateOnceADay)
{
    const auto old = recording("2024/02/01", "old", 30);
    const auto waiting = recording("2024/02/20", "waiting", 10, DESC_WAITING);
    const auto failed = recording(".hidden", "failed", 6.0, DESC_FAILED);
    const auto fivedays = recording("2024/02/29", "fivedays", 5.9);  // 5 whole days: kept
    const auto recent = recording("2024/03/05", "recent", 0.1);
    // Not descriptors: other case, other extension.
    const auto upper = recording("2024/02/01", "upper", 30);
    fs::rename(upper.first, data() + "/2024/02/01/upper.VELK");
    test::writetextfile(data() + "/notes.velk.txt", "x");

    wake();
    EXPECT_FALSE(exists(old));
    EXPECT_FALSE(exists(waiting));
    EXPECT_FALSE(exists(failed));
    EXPECT_TRUE(exists(fivedays));
    EXPECT_TRUE(exists(recent));
    EXPECT_TRUE(fs::exists(data() + "/2024/02/01/upper.VELK"));
    EXPECT_TRUE(fs::exists(upper.second));
    EXPECT_TRUE(fs::exists(data() + "/notes.velk.txt"));
    EXPECT_EQ(logtexts(), (std::vector<std::string>{"Cleanup started...", "Cleanup finished. Deleted 3 recordings"}));
    EXPECT_EQ(thread.deletetcount(), 3);

    // Woken again within the day: no pass, even 23 hours later.
    wake();
    clock.advance(23h);
    wake();
    EXPECT_TRUE(logtexts().empty());
    EXPECT_TRUE(exists(fivedays));

    // A day after the last pass: the five-day recording is now six whole days old.
    clock.advance(1h + 1s);
    wake();
    EXPECT_FALSE(exists(fivedays));
    EXPECT_TRUE(exists(recent));
    EXPECT_EQ(logtexts(), (std::vector<std::string>{"Cleanup started...", "Cleanup finished. Deleted 1 recordings"}));
}

TEST_F(CleanupThreadTest, APassRemovesTheDescriptorPartsOfInterruptedWrites)
{
    const auto recent = recording("2024/03/05", "recent", 0.1);
    test::writetextfile(recent.first + ".part", "torn");
    wake();
    EXPECT_FALSE(fs::exists(recent.first + ".part"));
    EXPECT_TRUE(exists(recent));
    EXPECT_EQ(logtexts(), (std::vector<std::string>{
                              "Cleanup started...",
                              "Removed leftover file: " + recent.first + ".part (an interrupted descriptor write)",
                              "Cleanup finished. Deleted 0 recordings"}));
}

TEST_F(CleanupThreadTest, AgeZeroSwitchesTheCleanupOff)
{
    config().cleanuptime = 0;
    publishrecordingsettings();
    const auto old = recording("2024/01/01", "old", 300);
    wake();
    EXPECT_TRUE(exists(old));
    EXPECT_TRUE(logtexts().empty());

    // Switched on later, the next wake-up runs the pass that was not used.
    config().cleanuptime = 100;
    publishrecordingsettings();
    wake();
    EXPECT_FALSE(exists(old));
}

TEST_F(CleanupThreadTest, UnreadableDescriptorsAreSkippedAndTheScanGoesOn)
{
    fs::create_directories(data() + "/a");
    test::writetextfile(data() + "/a/empty.velk", "");
    const auto old = recording("b", "old", 30);
    // A link to a folder elsewhere is not followed.
    test::TempFolder outside;
    test::writetextfile(outside.file("keep.mp3"), "audio");
    TRecDescriptor d;
    d.start = clock.nowlocal() - 30;
    d.samplerate = 44100;
    d.setpath(outside.file("keep.mp3"));
    writedescriptor(outside.file("keep.velk"), d);
    fs::create_directory_symlink(outside.path(), data() + "/link");

    wake();
    EXPECT_FALSE(exists(old));
    EXPECT_TRUE(fs::exists(data() + "/a/empty.velk"));
    EXPECT_TRUE(fs::exists(outside.file("keep.velk")));
    EXPECT_TRUE(fs::exists(outside.file("keep.mp3")));
    const auto texts = logtexts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Read from VELK file failed"), texts.end());
    EXPECT_EQ(texts.back(), "Cleanup finished. Deleted 1 recordings");
}

TEST_F(CleanupThreadTest, TerminatedThreadRunsNoPass)
{
    const auto old = recording("x", "old", 30);
    thread.terminate();
    event.set();
    thread.waitfor();
    drain();
    EXPECT_TRUE(exists(old));
    EXPECT_TRUE(logtexts().empty());
}

}  // namespace
}  // namespace velk
