// The background compression as a user meets it: velkasio --headless killed outright in the middle
// of a conversion, then started again, finishes the work without losing the recording.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "core/clock.h"
#include "core/rec_descriptor.h"
#include "recfiles/codec_manager.h"
#include "recfiles/descriptor_files.h"
#include "recfiles/task_list.h"
#include "tests/recfiles/compression_fixture.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_folder.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class KilledDuringCompression : public ::testing::TestWithParam<int> {
protected:
    std::vector<std::string> env() { return {"VELK_DATA_ROOT=" + root.root(), "LC_ALL=C"}; }
    test::TempDataRoot root;
};

TEST_P(KilledDuringCompression, NextStartFinishesTheWorkWithoutLosingTheRecording)
{
    const int codec = GetParam();
    const std::string common = root.common();
    fs::create_directories(common + "Data/2024/03/05");
    fs::create_directories(common + "Recordings");
    // Five minutes of stereo at 44100 Hz: long enough to be caught in the middle.
    const std::string wav = common + "Recordings/take.wav";
    test::writepcmwav(wav, 44100, 2, test::tone(44100, 2, 44100 * 300));
    const std::uintmax_t recorded = fs::file_size(wav);
    TRecDescriptor d;
    d.start = appclock().nowlocal();
    d.stop = d.start;
    d.state = DESC_WAITING;
    d.setname("Channel1");
    d.setpath(wav);
    d.samplerate = 44100;
    d.codec = codec;
    d.format = *codecmanager().suggest(WAVE_FORMAT_IMA_ADPCM, pcmformat(44100, 2, 16));
    d.mp3mode = 0;
    d.bitrate = 5;
    const std::string task = common + "Data/2024/03/05/12-00-00-Channel1.velk";
    writedescriptor(task, d);
    writetasklist(common + audiotaskfile, {task});

    {
        test::ChildProcess killed(VELKASIO_PATH, {"--headless"}, env());
        ASSERT_TRUE(killed.waitforline("Compression started for: take")) << killed.output();
        killed.signal(SIGKILL);
        killed.wait();
    }
    TRecDescriptor back;
    ASSERT_TRUE(readdescriptor(task, back));
    ASSERT_EQ(back.state, DESC_WAITING) << "the conversion ended before the kill";
    EXPECT_EQ(fs::file_size(wav), recorded);

    test::ChildProcess again(VELKASIO_PATH, {"--headless"}, env());
    ASSERT_TRUE(again.waitforline("  1 files queued for compression")) << again.output();
    ASSERT_TRUE(again.waitforline("File: take compressed.", 300s)) << again.output();
    again.signal(SIGTERM);
    EXPECT_EQ(again.wait(), 0) << again.output();

    ASSERT_TRUE(readdescriptor(task, back));
    EXPECT_EQ(back.state, DESC_FINAL);
    const std::string final = back.getpath();
    EXPECT_EQ(final, codec ? common + "Recordings/take.mp3" : wav);
    EXPECT_EQ(fs::exists(wav), codec == 0);
    EXPECT_FALSE(fs::exists(common + "Recordings/take.wave"));
    EXPECT_EQ(test::probe(final, "codec_name"), codec ? "mp3" : "adpcm_ima_wav");
    EXPECT_NEAR(std::stod("0" + test::probe(final, "duration")), 300.0, 0.2);
    // The orderly shutdown stored an empty queue.
    std::vector<std::string> pending;
    ASSERT_TRUE(readtasklist(common + audiotaskfile, pending));
    EXPECT_TRUE(pending.empty());
}

INSTANTIATE_TEST_SUITE_P(Formats, KilledDuringCompression, ::testing::Values(1, 0),
                         [](const auto& info) { return info.param ? "Mp3" : "CodecWav"; });

}  // namespace
}  // namespace velk
