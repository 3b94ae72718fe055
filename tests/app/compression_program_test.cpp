// The background compression as a user meets it: velkasio --headless killed outright in the middle
// of a conversion, then started again, finishes the work without losing the recording; and
// voice-activated recordings under a name template without seconds, each compressed into a file
// of its own.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "config/config.h"
#include "config/config_file.h"
#include "core/clock.h"
#include "core/rec_descriptor.h"
#include "recfiles/codec_manager.h"
#include "recfiles/descriptor_files.h"
#include "recfiles/task_list.h"
#include "tests/support/compression_fixture.h"
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

// Several recordings a minute under a template without seconds all start under the same name. The
// WAV of an MP3 recording is gone once it is converted, so the name looks free again; still every
// recording ends up in a file of its own, and every descriptor names its own file.
class SameNameWithinAMinute : public ::testing::TestWithParam<int> {};

TEST_P(SameNameWithinAMinute, EveryRecordingIsCompressedIntoItsOwnFile)
{
    const int codec = GetParam();
    test::TempDataRoot root;
    const TConfig saved = config();
    loadconfig(config());
    TConfig& c = config();
    const std::string recordings = root.root() + "/rec";
    c.num = 1;
    TChannelConfig& ch = c.channels[0];
    ch = TChannelConfig{};
    ch.card = 0;
    ch.chnum = 1;  // bursts of 1 s every 3 s
    ch.name = "Vox";
    ch.folder = recordings;
    ch.mode = 0;
    ch.voxlevel = 5;
    ch.voxtime = 1;
    ch.deltime = 0;
    c.namingrule = "%yy%\\%mm%\\%name%-%hh%%nn%";
    c.samplerate = 6;
    c.codec = codec;
    c.format = codec ? pcmwaveformat(48000, 1, 16) : *codecmanager().suggest(WAVE_FORMAT_IMA_ADPCM, pcmformat(48000, 1, 16));
    c.mp3mode = 0;
    c.bitrate = 5;
    c.autorecording = true;
    saveconfig(c);
    const std::string common = c.common_path;
    config() = saved;

    test::ChildProcess program(VELKASIO_PATH, {"--headless"},
                               {"VELK_DATA_ROOT=" + root.root(), "VELK_VIRTUAL_CARDS=1", "LC_ALL=C"});
    // Three recordings within 9 s: at least two of them share a minute.
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(program.waitforline(" compressed.", std::chrono::seconds(30))) << program.output();
    program.signal(SIGTERM);
    ASSERT_EQ(program.wait(), 0) << program.output();

    std::vector<std::string> finals;
    for (const auto& e : fs::recursive_directory_iterator(common + "Data")) {
        if (!e.is_regular_file() || e.path().extension() != ".velk")
            continue;
        TRecDescriptor d;
        ASSERT_TRUE(readdescriptor(e.path().string(), d));
        if (d.state != DESC_FINAL)
            continue;  // the recording the shutdown cut off is still waiting
        finals.push_back(d.getpath());
        EXPECT_EQ(test::probe(d.getpath(), "codec_name"), codec ? "mp3" : "adpcm_ima_wav") << d.getpath();
        // A second or two of audio each, never a file another recording wrote over.
        const double seconds = std::stod("0" + test::probe(d.getpath(), "duration"));
        EXPECT_GT(seconds, 1.5) << d.getpath();
        EXPECT_LT(seconds, 3.5) << d.getpath();
    }
    ASSERT_GE(finals.size(), 3u) << program.output();
    EXPECT_EQ(std::set<std::string>(finals.begin(), finals.end()).size(), finals.size());
    EXPECT_TRUE(std::any_of(finals.begin(), finals.end(), [&](const std::string& p) {
        return fs::path(p).stem().string().size() > std::string("Vox-hhnn").size();
    })) << "no two recordings shared a name";
    for (const std::string& p : finals)
        EXPECT_EQ(fs::path(p).extension(), codec ? ".mp3" : ".wav") << p;
}

INSTANTIATE_TEST_SUITE_P(Formats, SameNameWithinAMinute, ::testing::Values(1, 0),
                         [](const auto& info) { return info.param ? "Mp3" : "CodecWav"; });

}  // namespace
}  // namespace velk
