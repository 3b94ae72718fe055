#include "engine/channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/recording_fixture.h"

namespace velk {
namespace {

using namespace std::chrono_literals;

class FakeCard : public TCaptureCard {
public:
    int configured = 8000;
    int actual = 8000;
    int configuredrate() const override { return configured; }
    int actualrate() const override { return actual; }
};

// One channel "Chan" (int_id 7) on a fake card, recording into the test's folder. Blocks carry
// their running index as every sample value.
class ChannelTest : public test::RecordingTest {
protected:
    void make(int mode, bool stereo = false)
    {
        ch = std::make_unique<TChannel>("Chan", &card, 0, stereo);
        ch->setfolder(recordings.path());
        ch->setid(7);
        ch->setmode(channelmodeof(mode));
        ch->connect(&card);
    }
    // Delivers one block with level `dmax` as the storage thread does, then lets `step` pass.
    void deliver(int dmax, std::chrono::milliseconds step = 100ms, int frames = 8)
    {
        const std::size_t samples = static_cast<std::size_t>(frames) * (ch->stereo() ? 2 : 1);
        block.assign(samples, static_cast<std::int16_t>(index++));
        {
            std::lock_guard<std::recursive_mutex> lock(card.cardlock());
            ch->process(block.data(), static_cast<std::uint32_t>(block.size() * 2), dmax);
        }
        clock.advance(step);
    }
    std::vector<int> blocksof(const std::string& stem, int frames = 8) const
    {
        const auto w = test::readwav(recordings.path() + "/" + stem + ".wav");
        EXPECT_TRUE(w.ok) << stem;
        std::vector<int> out;
        const std::size_t stride = static_cast<std::size_t>(frames) * w.fmt.nChannels;
        for (std::size_t i = 0; i < w.samples.size(); i += stride)
            out.push_back(w.samples[i]);
        return out;
    }
    static std::vector<int> range(int from, int to)
    {
        std::vector<int> out;
        for (int i = from; i <= to; ++i)
            out.push_back(i);
        return out;
    }
    // The log texts without the "New file: " lines of the writer.
    std::vector<std::string> channellogs() const
    {
        std::vector<std::string> out;
        for (const auto& l : sink.texts)
            if (l.rfind("New file: ", 0) != 0)
                out.push_back(l);
        return out;
    }

    FakeCard card;
    std::unique_ptr<TChannel> ch;
    std::vector<std::int16_t> block;
    int index = 0;
};

TEST(VoxThreshold, DetectLevelIsRoundedShareOfFullScale)
{
    const std::vector<std::pair<int, int>> cases = {{1, 328}, {10, 3277}, {50, 16384}, {99, 32440}, {100, 32768}};
    for (const auto& [level, threshold] : cases)
        EXPECT_EQ(voxthreshold(level), threshold) << level;
}

TEST_F(ChannelTest, CreationSetsDefaultsAndFormatsFromTheCard)
{
    card.configured = 44100;
    card.actual = 48000;
    make(1);
    EXPECT_FALSE(ch->recording());
    EXPECT_EQ(ch->voxtimer(), 1);
    EXPECT_EQ(ch->voxlevel(), 10);
    EXPECT_EQ(ch->threshold(), 3277);
    EXPECT_EQ(ch->drawlevel(), 0);
    EXPECT_EQ(ch->format(), pcmformat(44100, 1, 16));
    EXPECT_EQ(ch->writer().format(), pcmformat(44100, 1, 16));
    EXPECT_EQ(ch->writer().captureformat(), pcmformat(48000, 1, 16));
    EXPECT_EQ(ch->card(), &card);
}

TEST_F(ChannelTest, ManualRecordingStartsWritesEveryBlockAndStops)
{
    setlocal(2026, 3, 5, 10, 0, 0);
    make(1);
    ch->startrecording();
    for (int i = 0; i < 10; ++i)
        deliver(100 + i);
    EXPECT_EQ(ch->drawlevel(), 109);
    ch->stoprecording();
    drain();
    EXPECT_EQ(sink.statecodes(), (std::vector<int>{1, 0}));
    EXPECT_EQ(sink.states[0].channel, 7);
    EXPECT_EQ(sink.texts, (std::vector<std::string>{"New file: 2026-03-05-10-00-00-Chan", "Record started: Chan",
                                                   "Record complete: Chan"}));
    EXPECT_EQ(blocksof("2026-03-05-10-00-00-Chan"), range(0, 9));
    const auto ds = descriptors();
    ASSERT_EQ(ds.size(), 1u);
    EXPECT_EQ(ds[0].d.peak, 109);
    EXPECT_EQ(ds[0].d.state, DESC_FINAL);
}

TEST_F(ChannelTest, LevelEqualToTheThresholdIsSilenceAndOneAboveStartsARecording)
{
    setlocal(2026, 3, 5, 10, 0, 0);
    make(0);
    ch->startrecording();
    deliver(3277);
    EXPECT_FALSE(ch->writer().fileopen());
    deliver(3278);
    EXPECT_TRUE(ch->writer().fileopen());
    ch->stoprecording();
    drain();
    EXPECT_EQ(sink.statecodes(), (std::vector<int>{2, 1, 0}));
    EXPECT_EQ(sink.texts, (std::vector<std::string>{"VOX Activated for: Chan", "Record started: Chan",
                                                   "New file: 2026-03-05-10-00-00-Chan", "Record complete: Chan"}));
    EXPECT_EQ(blocksof("2026-03-05-10-00-00-Chan"), std::vector<int>{1});  // no pre-roll
}

// Detect time 2 s: the first quiet block 2 whole seconds after the loud one closes the
// recording; the quiet blocks before it stay in, the closing block does not.
TEST_F(ChannelTest, HoldTimeClosesWithTheFirstQuietBlockTwoWholeSecondsAfterTheLastLoudOne)
{
    setlocal(2026, 3, 5, 10, 0, 0);
    make(0);
    ch->setvoxtimer(2);
    ch->startrecording();
    deliver(20000);  // 10:00:00.0
    for (int i = 0; i < 19; ++i)
        deliver(0);  // 10:00:00.1 .. 10:00:01.9
    EXPECT_TRUE(ch->writer().fileopen());
    deliver(0);  // 10:00:02.0
    EXPECT_FALSE(ch->writer().fileopen());
    for (int i = 0; i < 30; ++i)
        deliver(0);
    deliver(20000);  // a new burst, a new recording
    ch->stoprecording();
    drain();
    EXPECT_EQ(blocksof("2026-03-05-10-00-00-Chan"), range(0, 19));
    EXPECT_EQ(blocksof("2026-03-05-10-00-05-Chan"), std::vector<int>{51});
    // While the silence lasts, listening is not posted again for every block.
    EXPECT_EQ(sink.statecodes(), (std::vector<int>{2, 1, 2, 1, 0}));
    EXPECT_EQ(channellogs(), (std::vector<std::string>{"VOX Activated for: Chan", "Record started: Chan",
                                                       "Record complete: Chan", "Record started: Chan",
                                                       "Record complete: Chan"}));
}

TEST_F(ChannelTest, ShortVoiceActivatedRecordingIsDeletedWithTheChannelsTimes)
{
    make(0);
    ch->setvoxtimer(2);
    ch->setdeltime(1);
    ch->startrecording();
    deliver(20000);
    for (int i = 0; i < 20; ++i)
        deliver(0);
    EXPECT_FALSE(ch->writer().fileopen());
    drain();
    EXPECT_TRUE(filesin(recordings.path()).empty());
    EXPECT_TRUE(descriptors().empty());
}

TEST_F(ChannelTest, QuietChannelNeverOpensAFileWhateverTheDetectTime)
{
    for (const int timer : {0, 1, 5}) {
        make(0);
        ch->setvoxtimer(timer);
        ch->startrecording();
        for (int i = 0; i < 100; ++i)
            deliver(i * 3277 / 99, 500ms);
        EXPECT_FALSE(ch->writer().fileopen());
        ch->disconnect();
        ch.reset();
    }
    drain();
    EXPECT_TRUE(filesin(recordings.path()).empty());
    EXPECT_EQ(sink.statecodes(), (std::vector<int>{2, 2, 2}));
}

TEST_F(ChannelTest, StopWhileListeningPostsIdleWithoutRecordComplete)
{
    make(0);
    ch->startrecording();
    deliver(0);
    ch->stoprecording();
    EXPECT_FALSE(ch->recording());
    drain();
    EXPECT_EQ(sink.statecodes(), (std::vector<int>{2, 0}));
    EXPECT_EQ(sink.texts, std::vector<std::string>{"VOX Activated for: Chan"});
}

TEST_F(ChannelTest, ManualStartThatCannotOpenLogsTheErrorAndStaysIdle)
{
    const std::string blocker = recordings.file("blocker");
    test::writetextfile(blocker, "");
    const std::string longfolder = recordings.path() + "/" + std::string(250, 'f');
    const std::vector<std::pair<std::string, std::string>> cases = {
        {blocker + "/sub", "Error: Could not create directory structure: " + blocker + "/sub\\r\\nNot a directory Chan"},
        {longfolder, "Error: Recording path is longer than 260 characters: " + longfolder + "/"},
    };
    make(1);
    for (const auto& [folder, expected] : cases) {
        sink.clear();
        ch->setfolder(folder);
        ch->startrecording();
        EXPECT_FALSE(ch->recording());
        drain();
        EXPECT_TRUE(sink.states.empty());
        ASSERT_EQ(sink.texts.size(), 1u);
        EXPECT_EQ(sink.texts[0].substr(0, expected.size()), expected);
        EXPECT_EQ(sink.texts[0].substr(sink.texts[0].size() - 5), " Chan");
    }
}

// The panel was told "recording" before the open failed; it is told "idle" after the error.
TEST_F(ChannelTest, VoiceActivatedOpenThatFailsLogsTheErrorAndPostsIdle)
{
    const std::string blocker = recordings.file("blocker");
    test::writetextfile(blocker, "");
    make(0);
    ch->setfolder(blocker + "/sub");
    ch->startrecording();
    deliver(30000);
    EXPECT_FALSE(ch->recording());
    EXPECT_EQ(ch->drawlevel(), 30000);
    for (int i = 0; i < 5; ++i)
        deliver(30000);
    drain();
    EXPECT_EQ(sink.statecodes(), (std::vector<int>{2, 1, 0}));
    EXPECT_EQ(sink.texts,
              (std::vector<std::string>{"VOX Activated for: Chan", "Record started: Chan",
                                        "Error: Could not create directory structure: " + blocker +
                                            "/sub\\r\\nNot a directory Chan"}));
    EXPECT_TRUE(descriptors().empty());
}

// A write error is logged once with its reason; the channel stays on and records into a new file
// a second later.
TEST_F(ChannelTest, WriteErrorKeepsTheChannelOnAndTheRecordingGoesOnInANewFile)
{
    setlocal(2026, 3, 5, 10, 0, 0);
    for (int mode : {1, 0}) {
        SCOPED_TRACE(mode);
        sink.clear();
        make(mode);
        ch->setvoxtimer(5);
        ch->startrecording();
        {
            test::FileSizeLimit limit(44 + 16000 * 2);
            for (int i = 0; i < 400; ++i)
                deliver(10000, 10ms, 80);
        }
        EXPECT_TRUE(ch->recording());
        EXPECT_TRUE(ch->writer().fileopen());
        ch->stoprecording();
        drain();
        std::vector<std::string> logs = channellogs();
        if (mode == 0) {
            ASSERT_FALSE(logs.empty());
            EXPECT_EQ(logs[0], "VOX Activated for: Chan");
            logs.erase(logs.begin());
        }
        ASSERT_EQ(logs.size(), 4u);
        EXPECT_EQ(logs[0], "Record started: Chan");
        EXPECT_EQ(logs[1].rfind("Error: Failed to write data to file Chan: File too large (", 0), 0u) << logs[1];
        EXPECT_EQ(logs[1].substr(logs[1].size() - 12), " bytes free)") << logs[1];
        EXPECT_EQ(logs[2], "Recording resumed after a gap of 1 s: Chan");
        EXPECT_EQ(logs[3], "Record complete: Chan");
        auto ds = descriptors();
        ASSERT_EQ(ds.size(), 2u);
        for (const auto& d : ds)
            EXPECT_EQ(d.d.state, DESC_FINAL);
        const auto files = filesin(recordings.path());
        ASSERT_EQ(files.size(), 2u);
        const auto first = test::readwav(recordings.file(files[0]));
        EXPECT_EQ(first.filesize, 44u + first.datasize);
        EXPECT_EQ(first.datasize, 16000u * 2);
        const auto second = test::readwav(recordings.file(files[1]));
        ASSERT_FALSE(second.samples.empty());
        EXPECT_EQ(second.samples.size(), static_cast<std::size_t>(index - second.samples[0]) * 80);
        ch.reset();
        for (const auto& f : files)
            std::filesystem::remove(recordings.file(f));
        for (const auto& d : ds)
            std::filesystem::remove(d.file);
    }
}

TEST_F(ChannelTest, SetinputToStereoRebuildsTheWriterWithTwoChannels)
{
    setlocal(2026, 3, 5, 10, 0, 0);
    make(1);
    ch->disconnect();
    ch->setinput(3, true);
    ch->connect(&card);
    EXPECT_EQ(ch->input(), 3);
    EXPECT_EQ(ch->format(), pcmformat(8000, 2, 16));
    EXPECT_EQ(ch->writer().format(), pcmformat(8000, 2, 16));
    EXPECT_EQ(ch->writer().captureformat(), pcmformat(8000, 2, 16));
    config().format = pcmwaveformat(8000, 2, 16);
    publishrecordingsettings();
    ch->startrecording();
    for (int i = 0; i < 5; ++i)
        deliver(1);
    ch->stoprecording();
    drain();
    const auto w = test::readwav(recordings.path() + "/2026-03-05-10-00-00-Chan.wav");
    EXPECT_EQ(w.fmt, pcmformat(8000, 2, 16));
    EXPECT_EQ(blocksof("2026-03-05-10-00-00-Chan"), range(0, 4));
    EXPECT_EQ(descriptors().at(0).d.state, DESC_FINAL);
}

// The card's rate procedure: setformat finishes the open file; startrecording resumes in a new one.
TEST_F(ChannelTest, SetformatFinishesTheOpenRecordingAndKeepsTheChannelOn)
{
    setlocal(2026, 3, 5, 10, 0, 0);
    make(1);
    ch->startrecording();
    deliver(1);
    card.configured = 16000;
    card.actual = 16000;
    {
        std::lock_guard<std::recursive_mutex> lock(card.cardlock());
        ch->setformat(pcmformat(16000, 1, 16));
    }
    EXPECT_TRUE(ch->recording());
    EXPECT_FALSE(ch->writer().fileopen());
    EXPECT_EQ(ch->writer().format(), pcmformat(16000, 1, 16));
    EXPECT_EQ(ch->writer().captureformat(), pcmformat(16000, 1, 16));
    drain();
    ASSERT_EQ(descriptors().size(), 1u);
    EXPECT_EQ(descriptors()[0].d.state, DESC_FINAL);
    ch->startrecording();
    EXPECT_TRUE(ch->writer().fileopen());
}

TEST_F(ChannelTest, DestroyingARecordingChannelFinishesItsFileWithoutMessages)
{
    make(1);
    ch->startrecording();
    deliver(5);
    drain();
    sink.clear();
    ch->disconnect();
    ch.reset();
    drain();
    EXPECT_TRUE(sink.states.empty());
    EXPECT_TRUE(sink.texts.empty());
    ASSERT_EQ(descriptors().size(), 1u);
    EXPECT_EQ(descriptors()[0].d.state, DESC_FINAL);
}

TEST_F(ChannelTest, ConnectAppendsAndDisconnectRemovesTheLastEntryOnly)
{
    make(1);
    TChannel other("Other", &card, 1, false);
    other.connect(&card);
    {
        // The card lock is re-entrant: a holder may attach channels.
        std::lock_guard<std::recursive_mutex> lock(card.cardlock());
        ch->connect(&card);
    }
    EXPECT_EQ(card.channellist(), (std::vector<TChannel*>{ch.get(), &other, ch.get()}));
    ch->disconnect();
    EXPECT_EQ(card.channellist(), (std::vector<TChannel*>{ch.get(), &other}));
    ch->disconnect();
    ch->disconnect();
    EXPECT_EQ(card.channellist(), std::vector<TChannel*>{&other});
    EXPECT_EQ(ch->card(), &card);
    other.disconnect();
}

TEST_F(ChannelTest, AFreedChannelLeavesItsCardsListAndFinishesItsRecording)
{
    make(1);
    TChannel other("Other", &card, 1, false);
    other.connect(&card);
    ch->connect(&card);  // listed twice: both entries go
    ch->startrecording();
    deliver(100);
    ch.reset();
    EXPECT_EQ(card.channellist(), std::vector<TChannel*>{&other});
    drain();
    ASSERT_EQ(descriptors().size(), 1u);
    EXPECT_EQ(descriptors()[0].d.state, DESC_FINAL);
    other.disconnect();
}

// The capture thread never reads the live configuration: a change reaches it when the main thread
// publishes the settings.
TEST_F(ChannelTest, CaptureThreadUsesTheSettingsPublishedOnTheMainThread)
{
    setlocal(2026, 3, 5, 10, 0, 0);
    make(0);
    ch->setvoxtimer(0);
    ch->startrecording();
    config().namingrule = "new-%name%";
    auto burst = [&] {
        std::thread storage([&] {
            deliver(20000);
            deliver(0);
        });
        storage.join();
    };
    burst();
    publishrecordingsettings();
    burst();
    drain();
    // Both start at 10:00:00, so the second takes "-2": its descriptor would have the first's name.
    EXPECT_EQ(sink.textswith("New file: "),
              (std::vector<std::string>{"New file: 2026-03-05-10-00-00-Chan", "New file: new-Chan-2"}));
}

// Start and stop on the main thread while the storage thread delivers blocks: every block goes
// wholly into one recording or none, and every file is complete.
TEST_F(ChannelTest, StartAndStopInterleaveSafelyWithTheStorageThread)
{
    make(1);
    std::atomic<bool> done{false};
    std::thread storage([&] {
        std::vector<std::int16_t> data(80, 1);
        while (!done.load()) {
            std::lock_guard<std::recursive_mutex> lock(card.cardlock());
            for (TChannel* c : card.channellist())
                c->process(data.data(), static_cast<std::uint32_t>(data.size() * 2), 1);
        }
    });
    for (int i = 0; i < 20; ++i) {
        ch->startrecording();
        std::this_thread::yield();
        ch->stoprecording();
    }
    done = true;
    storage.join();
    drain();
    EXPECT_EQ(sink.statecodes().size(), 40u);
    const auto files = filesin(recordings.path());
    EXPECT_EQ(files.size(), 20u);
    for (const auto& f : files) {
        const auto w = test::readwav(recordings.path() + "/" + f);
        EXPECT_TRUE(w.ok);
        EXPECT_EQ(w.filesize, 44u + w.datasize);
        EXPECT_EQ(w.datasize % 160, 0u);
    }
}

}  // namespace
}  // namespace velk
