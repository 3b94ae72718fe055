#include "recfiles/wav_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/errors.h"
#include "tests/support/recording_fixture.h"

namespace velk {
namespace {

using namespace std::chrono_literals;
using test::FileSizeLimit;
using test::readwav;

struct FakeOwner : WAVwriterOwner {
    std::int32_t mode = 1;
    std::int32_t timer = 2;
    std::int32_t del = 0;
    std::int32_t ownervoxmode() const override { return mode; }
    std::int32_t ownervoxtimer() const override { return timer; }
    std::int32_t ownerdeltime() const override { return del; }
};

// A writer recording 16-bit mono 8000 Hz for channel "Chan". Blocks carry their running index as
// every sample value, so a file's content shows which blocks reached it.
class WriterTest : public test::RecordingTest {
protected:
    void make(const tWAVEFORMATEX& infmt = pcmformat(8000, 1, 16))
    {
        writer = std::make_unique<WAVwriter>(owner, pcmformat(8000, 1, 16), infmt);
    }
    void start() { writer->newfile(recordings.path(), "Chan", clock.now()); }

    // Writes `count` blocks of `frames` samples, one every `step` of clock time; each block's
    // level is its index unless `level` is given.
    void feed(int count, std::chrono::milliseconds step, int frames = 8, int level = -1)
    {
        for (int i = 0; i < count; ++i, ++block_) {
            block.assign(static_cast<std::size_t>(frames), static_cast<std::int16_t>(block_));
            writer->writedata(reinterpret_cast<const std::uint8_t*>(block.data()), block.size() * 2,
                              level < 0 ? block_ : level);
            clock.advance(step);
        }
    }
    // The sample values of a file, one per block (blocks of `frames` samples).
    static std::vector<int> blocksof(const std::string& path, int frames = 8)
    {
        const auto w = readwav(path);
        EXPECT_TRUE(w.ok) << path;
        std::vector<int> out;
        for (std::size_t i = 0; i < w.samples.size(); i += static_cast<std::size_t>(frames))
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
    std::string wav(const std::string& stem) const { return recordings.path() + "/" + stem + ".wav"; }
    std::vector<std::string> newfilelines() const { return sink.textswith("New file: "); }

    FakeOwner owner;
    std::unique_ptr<WAVwriter> writer;
    std::vector<std::int16_t> block;
    int block_ = 0;
};

TEST_F(WriterTest, RecordsPcmFileAndPostsStateOneThenFinalDescriptor)
{
    config().mp3mode = 2;
    config().bitrate = 7;
    config().vbrquality = 3;
    publishrecordingsettings();
    setlocal(2026, 3, 5, 10, 0, 20, 500);
    make();
    start();
    ASSERT_TRUE(writer->fileopen());
    feed(105, 10ms, 80, 0);  // 1.05 s
    const std::int16_t loud[2] = {1234, -1234};
    writer->writedata(reinterpret_cast<const std::uint8_t*>(loud), sizeof loud, 1234);
    writer->closefile();
    EXPECT_FALSE(writer->fileopen());
    drain();

    const std::string descpath = config().velk_path + "/2026/03/05/10-00-20-Chan.velk";
    const std::string audio = wav("2026-03-05-10-00-20-Chan");
    ASSERT_EQ(sink.saves.size(), 2u);
    EXPECT_EQ(sink.saves[0].code, WM_SAVEDESCRIPTOR);
    EXPECT_EQ(sink.saves[0].state, DESC_RECORDING);
    EXPECT_EQ(sink.saves[0].path, descpath);
    EXPECT_EQ(sink.saves[1].code, WM_SAVEDESCRIPTOR);
    EXPECT_EQ(sink.saves[1].state, DESC_FINAL);
    EXPECT_TRUE(sink.completed.empty());
    EXPECT_EQ(newfilelines(), std::vector<std::string>{"New file: 2026-03-05-10-00-20-Chan"});

    const auto w = readwav(audio);
    ASSERT_TRUE(w.ok);
    EXPECT_EQ(w.fmt, pcmformat(8000, 1, 16));
    EXPECT_EQ(w.fmtsize, 16u);
    EXPECT_EQ(w.datasize, (8400u + 2u) * 2u);
    EXPECT_EQ(w.riffsize, 36u + w.datasize);
    EXPECT_EQ(w.filesize, 44u + w.datasize);
    EXPECT_EQ(w.samples[8399], 104);
    EXPECT_EQ(w.samples[8400], 1234);

    TRecDescriptor d;
    ASSERT_TRUE(readdescriptor(descpath, d));
    EXPECT_EQ(d.version, 2);
    EXPECT_EQ(d.state, DESC_FINAL);
    EXPECT_EQ(test::clocktext(d.start), "10:00:20.500");
    EXPECT_EQ(test::clocktext(d.stop), "10:00:21.550");
    EXPECT_EQ(d.peak, 1234);
    EXPECT_EQ(d.getname(), "Chan");
    EXPECT_EQ(d.getpath(), audio);
    EXPECT_EQ(d.samplerate, 8000);
    EXPECT_EQ(d.format, config().format);
    EXPECT_EQ(d.codec, 0);
    EXPECT_EQ(d.mp3mode, 2);
    EXPECT_EQ(d.bitrate, 7);
    EXPECT_EQ(d.vbrquality, 3);
    EXPECT_EQ(d.mp3crc, config().mp3crc ? 1 : 0);
    EXPECT_EQ(d.reserved, 0);
}

TEST_F(WriterTest, NewfileWhileRecordingAndWritesWhileIdleDoNothing)
{
    make();
    EXPECT_EQ(writer->writedata(reinterpret_cast<const std::uint8_t*>("\0\0"), 2, 5), 0u);
    start();
    clock.advance(2s);
    start();
    writer->closefile();
    writer->closefile();
    drain();
    EXPECT_EQ(newfilelines().size(), 1u);
    EXPECT_EQ(sink.saves.size(), 2u);
}

TEST_F(WriterTest, LongChannelNameIsCutInTheDescriptorOnly)
{
    setlocal(2026, 3, 5, 10, 0, 0);
    const std::string name(130, 'n');
    make();
    writer->newfile(recordings.path(), name, clock.now());
    writer->closefile();
    drain();
    const auto ds = descriptors();
    ASSERT_EQ(ds.size(), 1u);
    EXPECT_EQ(ds[0].d.getname(), name.substr(0, 128));
    EXPECT_EQ(ds[0].d.getpath(), wav("2026-03-05-10-00-00-" + name));
    EXPECT_TRUE(std::filesystem::exists(ds[0].d.getpath()));
}

// A split whose new file cannot start: the error leaves writedata, the old file stays open as
// the overlap recording and is finished by the next closefile.
// The split's new file cannot be made: the old one (which would have run on as the overlap) is
// finished at once and the writer waits to open the next file; closefile ends the wait.
TEST_F(WriterTest, FailedSplitFinishesTheOldFileAndWaitsForTheNext)
{
    config().interval = 0;
    config().overlap = 10;
    publishrecordingsettings();
    setlocal(2026, 3, 5, 10, 0, 0);
    make();
    start();
    feed(60, 1s);
    const std::string blocker = recordings.file("blocker");
    test::writetextfile(blocker, "");
    config().velk_path = blocker;  // the next descriptor folder cannot be made
    publishrecordingsettings();
    EXPECT_THROW(feed(1, 1s), ERecordingInterrupted);
    EXPECT_FALSE(writer->fileopen());
    EXPECT_FALSE(writer->overlapopen());
    EXPECT_TRUE(writer->waiting());
    EXPECT_EQ(writer->writedata(reinterpret_cast<const std::uint8_t*>("\0\0"), 2, 5), 0u);
    writer->closefile();
    EXPECT_FALSE(writer->waiting());
    drain();
    ASSERT_EQ(sink.saves.size(), 2u);
    EXPECT_EQ(sink.saves[1].state, DESC_FINAL);
    EXPECT_EQ(blocksof(wav("2026-03-05-10-00-00-Chan")), range(0, 59));
}

struct FinalFormatCase {
    const char* name;
    std::function<void(TConfig&)> change;
    bool final;
};

void PrintTo(const FinalFormatCase& c, std::ostream* os) { *os << c.name; }

class FinalFormatTest : public WriterTest, public ::testing::WithParamInterface<FinalFormatCase> {};

TEST_P(FinalFormatTest, FinishedFileIsFinalOnlyWhenItIsTheConfiguredFormat)
{
    GetParam().change(config());
    publishrecordingsettings();
    make();
    start();
    feed(3, 10ms);
    writer->closefile();
    drain();
    ASSERT_EQ(sink.saves.size(), 2u);
    if (GetParam().final) {
        EXPECT_EQ(sink.saves[1].code, WM_SAVEDESCRIPTOR);
        EXPECT_EQ(sink.saves[1].state, DESC_FINAL);
        EXPECT_TRUE(sink.completed.empty());
    } else {
        EXPECT_EQ(sink.saves[1].code, WM_FILECOMPLETE);
        EXPECT_EQ(sink.saves[1].state, DESC_WAITING);
        EXPECT_EQ(sink.completed, std::vector<std::string>{sink.saves[1].path});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, FinalFormatTest,
    ::testing::Values(FinalFormatCase{"Pcm16AtRecordingRate", [](TConfig&) {}, true},
                      FinalFormatCase{"Mp3", [](TConfig& c) { c.codec = 1; }, false},
                      FinalFormatCase{"ImaAdpcm", [](TConfig& c) { c.format.fx.wFormatTag = 0x11; }, false},
                      FinalFormatCase{"Pcm8", [](TConfig& c) { c.format = pcmwaveformat(8000, 1, 8); }, false},
                      FinalFormatCase{"OtherRate", [](TConfig& c) { c.format = pcmwaveformat(44100, 1, 16); }, false},
                      FinalFormatCase{"Stereo", [](TConfig& c) { c.format = pcmwaveformat(8000, 2, 16); }, false},
                      FinalFormatCase{"Normalize", [](TConfig& c) { c.normalize = true; }, false}),
    [](const auto& info) { return std::string(info.param.name); });

struct SplitCase {
    const char* name;
    int interval;
    bool align;
    int hour, minute, second, millisecond;
    int stepms;
    int blocks;
    std::vector<std::string> starts;  // local start of every file, in order
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.name; }

class SplitTest : public WriterTest, public ::testing::WithParamInterface<SplitCase> {};

// Splits come with the first block at or after the boundary; each file ends where the next one
// starts.
TEST_P(SplitTest, FilesStartAtTheFirstBlockAtOrAfterEachBoundary)
{
    const SplitCase& p = GetParam();
    config().interval = p.interval;
    config().timealign = p.align;
    publishrecordingsettings();
    setlocal(2026, 3, 5, p.hour, p.minute, p.second, p.millisecond);
    make();
    start();
    feed(p.blocks, std::chrono::milliseconds(p.stepms));
    writer->closefile();
    drain();

    const auto ds = descriptors();
    std::vector<std::string> starts;
    for (const auto& s : ds)
        starts.push_back(test::clocktext(s.d.start));
    EXPECT_EQ(starts, p.starts);
    for (std::size_t i = 0; i + 1 < ds.size(); ++i)
        EXPECT_EQ(ds[i].d.stop, ds[i + 1].d.start);
    EXPECT_EQ(filesin(recordings.path()).size(), p.starts.size());
    for (const auto& s : ds)
        EXPECT_EQ(s.d.state, DESC_FINAL);
}

INSTANTIATE_TEST_SUITE_P(
    Intervals, SplitTest,
    ::testing::Values(
        // Each file starts at the first block 60 whole seconds after the previous start; the
        // delays accumulate.
        SplitCase{"OneMinute", 0, false, 10, 0, 20, 500, 700, 300,
                  {"10:00:20.500", "10:01:20.700", "10:02:20.900", "10:03:21.100"}},
        // Aligned to the quarter hour: the first file is about 7.5 minutes long.
        SplitCase{"FifteenMinutesAligned", 2, true, 10, 7, 31, 0, 7000, 364,
                  {"10:07:31.000", "10:15:06.000", "10:30:02.000", "10:45:05.000"}},
        // The 3-hour interval aligns to the half hour: 10:47 counts from 10:30.
        SplitCase{"ThreeHoursAlignedToHalfHour", 7, true, 10, 47, 0, 0, 10000, 2238,
                  {"10:47:00.000", "13:30:00.000", "16:30:00.000"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WriterTest, OverlapOfTenSecondsKeepsTheOldFileRunningPastTheSplit)
{
    config().interval = 0;
    config().overlap = 10;
    publishrecordingsettings();
    setlocal(2026, 3, 5, 10, 59, 0);
    make();
    start();
    feed(60, 1s);  // 10:59:00 .. 10:59:59
    EXPECT_FALSE(writer->overlapopen());
    feed(1, 1s);  // 11:00:00 splits
    EXPECT_TRUE(writer->overlapopen());
    feed(9, 1s);
    EXPECT_TRUE(writer->overlapopen());
    feed(1, 1s);  // 11:00:10 closes the old file
    EXPECT_FALSE(writer->overlapopen());
    feed(29, 1s);
    writer->closefile();
    drain();

    EXPECT_EQ(blocksof(wav("2026-03-05-10-59-00-Chan")), range(0, 69));
    EXPECT_EQ(blocksof(wav("2026-03-05-11-00-00-Chan")), range(60, 99));
    const auto ds = descriptors();
    ASSERT_EQ(ds.size(), 2u);
    EXPECT_EQ(test::clocktext(ds[0].d.stop), "11:00:10.000");
    EXPECT_EQ(ds[0].d.peak, 69);  // the split block counts toward the old file
    EXPECT_EQ(test::clocktext(ds[1].d.start), "11:00:00.000");
    EXPECT_EQ(ds[1].d.peak, 99);
    EXPECT_EQ(ds[0].d.state, DESC_FINAL);
}

TEST_F(WriterTest, OverlapAsLongAsTheIntervalFinishesTheOlderFileFirst)
{
    config().interval = 0;
    config().overlap = 60;
    publishrecordingsettings();
    setlocal(2026, 3, 5, 10, 0, 0);
    make();
    start();
    feed(190, 1s);
    writer->closefile();
    drain();

    EXPECT_EQ(blocksof(wav("2026-03-05-10-00-00-Chan")), range(0, 119));
    EXPECT_EQ(blocksof(wav("2026-03-05-10-01-00-Chan")), range(60, 179));
    EXPECT_EQ(blocksof(wav("2026-03-05-10-02-00-Chan")), range(120, 189));
    EXPECT_EQ(blocksof(wav("2026-03-05-10-03-00-Chan")), range(180, 189));
    // At 10:02:00 the first file is finished before the third one starts: never three open.
    auto at = [&](const std::string& stem, std::int32_t state) {
        for (std::size_t i = 0; i < sink.saves.size(); ++i)
            if (sink.saves[i].state == state && sink.saves[i].path.find(stem) != std::string::npos)
                return static_cast<int>(i);
        return -1;
    };
    EXPECT_LT(at("10-00-00-Chan", DESC_FINAL), at("10-02-00-Chan", DESC_RECORDING));
    EXPECT_LT(at("10-01-00-Chan", DESC_FINAL), at("10-03-00-Chan", DESC_RECORDING));
    EXPECT_EQ(sink.saves.size(), 8u);
}

struct ShortCase {
    const char* name;
    int mode;
    int voxtimer;
    int deltime;
    int seconds;
    bool drainbeforeclose;
    bool kept;
};

void PrintTo(const ShortCase& c, std::ostream* os) { *os << c.name; }

class ShortRecordingTest : public WriterTest, public ::testing::WithParamInterface<ShortCase> {};

// Voice-activated recordings no longer than hold time + minimum length are deleted with their
// descriptor, also when the state-1 descriptor write is still waiting in the main-thread queue.
TEST_P(ShortRecordingTest, DeletesOnlyShortVoiceActivatedRecordings)
{
    const ShortCase& p = GetParam();
    owner.mode = p.mode;
    owner.timer = p.voxtimer;
    owner.del = p.deltime;
    setlocal(2026, 3, 5, 10, 0, 0);
    make();
    start();
    feed(p.seconds * 10, 100ms);
    if (p.drainbeforeclose) {
        drain();
        ASSERT_EQ(descriptors().size(), 1u);
    }
    writer->closefile();
    drain();

    const auto ds = descriptors();
    if (p.kept) {
        ASSERT_EQ(ds.size(), 1u);
        EXPECT_EQ(ds[0].d.state, DESC_FINAL);
        EXPECT_EQ(filesin(recordings.path()), std::vector<std::string>{"2026-03-05-10-00-00-Chan.wav"});
    } else {
        EXPECT_TRUE(ds.empty());
        EXPECT_TRUE(filesin(recordings.path()).empty());
        for (const auto& s : sink.saves)
            EXPECT_EQ(s.state, DESC_RECORDING);
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, ShortRecordingTest,
                         ::testing::Values(ShortCase{"VoxThreeSecondsDeleted", 0, 2, 1, 3, false, false},
                                           ShortCase{"VoxThreeSecondsDeletedAfterStateOneWritten", 0, 2, 1, 3, true, false},
                                           ShortCase{"VoxFourSecondsKept", 0, 2, 1, 4, false, true},
                                           ShortCase{"VoxWithoutMinimumKept", 0, 2, 0, 1, false, true},
                                           ShortCase{"ManualNeverDeleted", 1, 2, 5, 3, false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WriterTest, RestartWithinOneSecondGetsSuffixedNamesAndKeepsEarlierRecordings)
{
    setlocal(2026, 3, 5, 10, 0, 0, 200);
    make();
    for (int i = 0; i < 3; ++i) {
        start();
        feed(2, 100ms);
        writer->closefile();
    }
    drain();
    EXPECT_EQ(newfilelines(), (std::vector<std::string>{"New file: 2026-03-05-10-00-00-Chan",
                                                        "New file: 2026-03-05-10-00-00-Chan-2",
                                                        "New file: 2026-03-05-10-00-00-Chan-3"}));
    EXPECT_EQ(blocksof(wav("2026-03-05-10-00-00-Chan")), range(0, 1));
    EXPECT_EQ(blocksof(wav("2026-03-05-10-00-00-Chan-2")), range(2, 3));
    EXPECT_EQ(blocksof(wav("2026-03-05-10-00-00-Chan-3")), range(4, 5));
    const auto ds = descriptors();
    ASSERT_EQ(ds.size(), 3u);
    EXPECT_EQ(ds[0].file, config().velk_path + "/2026/03/05/10-00-00-Chan.velk");
    EXPECT_EQ(ds[1].file, config().velk_path + "/2026/03/05/10-00-00-Chan-2.velk");
    EXPECT_EQ(ds[1].d.getpath(), wav("2026-03-05-10-00-00-Chan-2"));
    EXPECT_EQ(ds[2].d.getpath(), wav("2026-03-05-10-00-00-Chan-3"));
}

// Whatever a recording can end up as takes its name: the descriptor, the WAV, the temporary
// ".wave" of a conversion, the ".mp3" (all that is left of a recording compressed to MP3), even a
// dangling link. With a template without seconds every recording of a minute meets them.
TEST_F(WriterTest, EveryFileARecordingCanEndUpAsTakesTheName)
{
    config().namingrule = "%name%-%hh%%nn%";
    publishrecordingsettings();
    setlocal(2026, 3, 5, 10, 0, 0);
    make();
    const std::string base = recordings.path() + "/Chan-1000";
    const std::string descriptor = config().velk_path + "/2026/03/05/10-00-00-Chan.velk";
    std::filesystem::create_directories(config().velk_path + "/2026/03/05");
    for (const std::string& taken : {base + ".wav", base + ".wave", base + ".mp3", descriptor, std::string("link")}) {
        SCOPED_TRACE(taken);
        const std::string path = taken == "link" ? base + ".wav" : taken;
        if (taken == "link")
            std::filesystem::create_symlink(recordings.file("nowhere"), path);
        else
            test::writetextfile(path, "an earlier file");
        sink.clear();
        start();
        feed(2, 100ms);
        writer->closefile();
        drain();
        EXPECT_EQ(newfilelines(), std::vector<std::string>{"New file: Chan-1000-2"});
        EXPECT_EQ(blocksof(wav("Chan-1000-2")).size(), 2u);
        if (taken == "link")
            EXPECT_FALSE(std::filesystem::exists(recordings.file("nowhere")));
        else
            EXPECT_EQ(test::readtextfile(path), "an earlier file");
        std::filesystem::remove(path);
        std::filesystem::remove(wav("Chan-1000-2"));
        std::filesystem::remove(config().velk_path + "/2026/03/05/10-00-00-Chan-2.velk");
    }
    // A stray file under a numbered name is skipped as well.
    test::writetextfile(base + ".mp3", "x");
    test::writetextfile(base + "-2.mp3", "y");
    sink.clear();
    start();
    writer->closefile();
    drain();
    EXPECT_EQ(newfilelines(), std::vector<std::string>{"New file: Chan-1000-3"});
}

// Two channels of the same name in different folders start in the same second: their state-1
// descriptors are not on the disk yet when the second one looks, yet each gets its own.
TEST_F(WriterTest, SameNamedChannelsStartingInOneSecondGetTheirOwnDescriptors)
{
    setlocal(2026, 3, 5, 10, 0, 0);
    make();
    FakeOwner otherowner;
    WAVwriter other(otherowner, pcmformat(8000, 1, 16), pcmformat(8000, 1, 16));
    const std::string folder2 = recordings.file("second");
    start();
    other.newfile(folder2, "Chan", clock.now());
    writer->closefile();
    other.closefile();
    drain();
    const auto ds = descriptors();  // "-2" sorts first
    ASSERT_EQ(ds.size(), 2u);
    EXPECT_EQ(ds[1].file, config().velk_path + "/2026/03/05/10-00-00-Chan.velk");
    EXPECT_EQ(ds[1].d.getpath(), wav("2026-03-05-10-00-00-Chan"));
    EXPECT_EQ(ds[0].file, config().velk_path + "/2026/03/05/10-00-00-Chan-2.velk");
    EXPECT_EQ(ds[0].d.getpath(), folder2 + "/2026-03-05-10-00-00-Chan-2.wav");
    EXPECT_TRUE(std::filesystem::exists(folder2 + "/2026-03-05-10-00-00-Chan-2.wav"));
    EXPECT_FALSE(std::filesystem::exists(folder2 + "/2026-03-05-10-00-00-Chan.wav"));
}

// On the last Sunday of October 02:00..03:00 comes twice; the second 02:30 gets new names.
TEST_F(WriterTest, TheRepeatedHourOfTheFallBackGetsSuffixedNames)
{
    setlocal(2026, 10, 25, 2, 30, 0);  // the first, summer-time 02:30
    make();
    start();
    feed(10, 1s);
    writer->closefile();
    clock.advance(1h - 10s);  // the second, winter-time 02:30
    start();
    feed(5, 1s);
    writer->closefile();
    drain();
    EXPECT_EQ(newfilelines(), (std::vector<std::string>{"New file: 2026-10-25-02-30-00-Chan",
                                                        "New file: 2026-10-25-02-30-00-Chan-2"}));
    EXPECT_EQ(blocksof(wav("2026-10-25-02-30-00-Chan")), range(0, 9));
    EXPECT_EQ(blocksof(wav("2026-10-25-02-30-00-Chan-2")), range(10, 14));
    const auto ds = descriptors();
    ASSERT_EQ(ds.size(), 2u);
    EXPECT_EQ(ds[0].d.start, ds[1].d.start);  // the same local time, two recordings
}

struct DstCase {
    const char* name;
    int month, day, hour, minute;
    int blocks;  // of 10 s
    std::vector<std::string> files;
};

void PrintTo(const DstCase& c, std::ostream* os) { *os << c.name; }

class DstSplitTest : public WriterTest, public ::testing::WithParamInterface<DstCase> {};

// A split interval is elapsed time: every 30-minute file holds 30 minutes of blocks across the
// change, while the names show local time.
TEST_P(DstSplitTest, ThirtyMinuteFilesStayThirtyMinutesAcrossTheChange)
{
    const DstCase& p = GetParam();
    config().interval = 4;
    publishrecordingsettings();
    setlocal(2026, p.month, p.day, p.hour, p.minute, 0);
    make();
    start();
    feed(p.blocks, 10s);
    writer->closefile();
    drain();
    std::vector<std::string> expected;
    for (const auto& f : p.files)
        expected.push_back("New file: " + f);
    ASSERT_EQ(newfilelines(), expected);
    for (std::size_t i = 0; i + 1 < p.files.size(); ++i)
        EXPECT_EQ(blocksof(wav(p.files[i])).size(), 180u) << p.files[i];
}

INSTANTIATE_TEST_SUITE_P(
    Changes, DstSplitTest,
    ::testing::Values(DstCase{"FallBack", 10, 25, 1, 50, 960,
                              {"2026-10-25-01-50-00-Chan", "2026-10-25-02-20-00-Chan", "2026-10-25-02-50-00-Chan",
                               "2026-10-25-02-20-00-Chan-2", "2026-10-25-02-50-00-Chan-2", "2026-10-25-03-20-00-Chan"}},
                      DstCase{"SpringForward", 3, 29, 1, 20, 600,
                              {"2026-03-29-01-20-00-Chan", "2026-03-29-01-50-00-Chan", "2026-03-29-03-20-00-Chan",
                               "2026-03-29-03-50-00-Chan"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WriterTest, AnAudioPathTooLongForTheDescriptorIsRefusedByName)
{
    const std::string folder = recordings.path() + "/" + std::string(240, 'f');
    make();
    try {
        writer->newfile(folder, "Chan", clock.now());
        FAIL() << "no error";
    } catch (const EVelkError& e) {
        const std::string text = e.what();
        EXPECT_NE(text.find("longer than 260 characters"), std::string::npos) << text;
        EXPECT_NE(text.find(folder + "/"), std::string::npos) << text;
    }
    EXPECT_FALSE(writer->fileopen());
    EXPECT_EQ(drain(), 0u);
    EXPECT_FALSE(std::filesystem::exists(folder));
}

TEST_F(WriterTest, FolderThatCannotBeCreatedFailsBeforeAnythingIsPosted)
{
    make();
    const std::string blocker = recordings.file("blocker");
    test::writetextfile(blocker, "");
    for (const bool descriptorfolder : {false, true}) {
        std::string folder = blocker + "/sub";
        std::string expected = folder;
        if (descriptorfolder) {
            folder = recordings.path();
            config().velk_path = blocker;
            publishrecordingsettings();
            const CalendarTime t = tolocalcalendar(clock.now());
            char day[32];
            std::snprintf(day, sizeof day, "/%04d/%02d/%02d", t.year, t.month, t.day);
            expected = blocker + day;
        }
        try {
            writer->newfile(folder, "Chan", clock.now());
            FAIL() << "no error";
        } catch (const EVelkError& e) {
            EXPECT_EQ(std::string(e.what()), "Could not create directory structure: " + expected + "\r\nNot a directory");
        }
        EXPECT_FALSE(writer->fileopen());
        EXPECT_EQ(drain(), 0u);
    }
}

// A stream the codec layer cannot open: the state-1 descriptor already posted is taken back.
TEST_F(WriterTest, AudioFileThatCannotOpenLeavesNoDescriptorBehind)
{
    tWAVEFORMATEX unusable = pcmformat(8000, 1, 16);
    unusable.wFormatTag = 0x7777;
    make(unusable);
    EXPECT_THROW(start(), EMakerError);
    EXPECT_FALSE(writer->fileopen());
    drain();
    EXPECT_EQ(newfilelines().size(), 1u);
    EXPECT_TRUE(descriptors().empty());
    EXPECT_TRUE(filesin(recordings.path()).empty());
}

// A write error (here a file-size limit) finishes the file as far as it got and is raised once
// with its reason; the writer then drops blocks for one second of audio and opens the next file.
TEST_F(WriterTest, WriteErrorFinishesTheFileAndTheNextOneOpensASecondLater)
{
    setlocal(2026, 3, 5, 10, 0, 0);
    make();
    start();
    int errors = 0;
    int failedat = -1;
    {
        FileSizeLimit limit(44 + 16000 * 3 + 1000);
        for (int i = 0; i < 500; ++i) {
            try {
                feed(1, 10ms, 80);
            } catch (const ERecordingInterrupted& e) {
                ++errors;
                failedat = block_;
                EXPECT_STREQ(e.what(), "Failed to write data to file");
                EXPECT_EQ(e.detail().rfind(": File too large (", 0), 0u) << e.detail();
                EXPECT_EQ(e.detail().substr(e.detail().size() - 12), " bytes free)") << e.detail();
                ++block_;
                clock.advance(10ms);
            }
        }
    }
    ASSERT_EQ(errors, 1);
    EXPECT_TRUE(writer->fileopen());
    EXPECT_FALSE(writer->waiting());
    writer->closefile();
    drain();
    EXPECT_EQ(sink.textswith("Recording resumed"), std::vector<std::string>{"Recording resumed after a gap of 1 s: Chan"});

    const auto first = readwav(wav("2026-03-05-10-00-00-Chan"));
    ASSERT_TRUE(first.ok);
    EXPECT_EQ(first.filesize, 44u + first.datasize);
    EXPECT_EQ(first.riffsize, 36u + first.datasize);
    EXPECT_GE(first.datasize, 16000u * 3);
    for (std::size_t i = 0; i < first.samples.size(); i += 80)
        ASSERT_EQ(first.samples[i], static_cast<int>(i / 80));

    // One second of audio (100 blocks) after the failure, the next file starts with that block
    // and holds every block up to the end.
    const auto files = filesin(recordings.path());
    ASSERT_EQ(files.size(), 2u);
    const auto second = readwav(recordings.file(files[1]));
    ASSERT_TRUE(second.ok);
    ASSERT_FALSE(second.samples.empty());
    EXPECT_EQ(second.samples[0], failedat + 100);
    EXPECT_EQ(second.samples.size(), static_cast<std::size_t>(block_ - second.samples[0]) * 80);

    const auto ds = descriptors();
    ASSERT_EQ(ds.size(), 2u);
    for (const auto& d : ds)
        EXPECT_EQ(d.d.state, DESC_FINAL);
    // The first descriptor stops when its file did, not when the recording ended.
    EXPECT_LT(ds[0].d.stop, ds[1].d.start);
}

// Closing a recording while the writer waits for the disk ends the wait and says how long it was.
TEST_F(WriterTest, CloseWhileWaitingForTheDiskLogsTheGap)
{
    setlocal(2026, 3, 5, 10, 0, 0);
    make();
    start();
    {
        FileSizeLimit limit(44 + 1600);
        feed(19, 10ms, 80);
        EXPECT_THROW(feed(1, 10ms, 80), ERecordingInterrupted);
        EXPECT_TRUE(writer->waiting());
        feed(50, 10ms, 80);
    }
    EXPECT_FALSE(writer->fileopen());
    clock.advance(2s);
    writer->closefile();
    EXPECT_FALSE(writer->waiting());
    // Nothing is retried after the close.
    feed(200, 10ms, 80);
    drain();
    EXPECT_EQ(sink.textswith("Recording "), std::vector<std::string>{"Recording ended after a gap of 2 s: Chan"});
    EXPECT_EQ(filesin(recordings.path()).size(), 1u);
}

}  // namespace
}  // namespace velk
