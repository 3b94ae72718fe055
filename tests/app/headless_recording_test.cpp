// The ASIO edition recording from a virtual card as a user runs it: `velkasio --headless` with two
// manual and two voice-activated channels switched on at start-up, stopped with SIGTERM; the WAV
// files, their descriptors and the log are checked afterwards.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>

#include "config/config.h"
#include "config/config_file.h"
#include "recfiles/descriptor_files.h"
#include "tests/support/recording_fixture.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_folder.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

using test::filesbelow;

TEST(HeadlessRecording, RecordsManualAndVoiceActivatedChannelsFromAVirtualCard)
{
    test::TempDataRoot root;
    TConfig c;
    loadconfig(c);
    const std::string recordings = root.root() + "/rec";
    c.num = 4;
    const char* names[] = {"Man1", "Man2", "Vox1", "Vox2"};
    for (int i = 0; i < 4; ++i) {
        TChannelConfig& ch = c.channels[static_cast<std::size_t>(i)];
        ch = TChannelConfig{};
        ch.card = 0;
        ch.chnum = i;
        ch.name = names[i];
        ch.folder = recordings + "/" + names[i];
        ch.mode = i < 2 ? 1 : 0;
        ch.voxlevel = 5;
        ch.voxtime = 1;
        ch.deltime = 0;
    }
    c.samplerate = 6;
    c.format = pcmwaveformat(48000, 1, 16);
    c.codec = 0;
    c.autorecording = true;
    saveconfig(c);
    const std::string common = c.common_path;

    test::ChildProcess program(VELKASIO_PATH, {"--headless"},
                               {"VELK_DATA_ROOT=" + root.root(), "VELK_VIRTUAL_CARDS=1", "LC_ALL=C"});
    ASSERT_TRUE(program.waitforline("VELK System Activated.")) << program.output();
    // Input 2 plays a 1-second burst from the start; a second later the channel closes it.
    ASSERT_TRUE(program.waitforline("Record complete: Vox1", std::chrono::seconds(20))) << program.output();
    program.signal(SIGTERM);
    ASSERT_EQ(program.wait(), 0) << program.output();

    const std::string out = program.output();
    for (const char* line : {"Audio Devices Enumeration...", "Starting Sound Cards...", "Starting Channels...",
                             "Record started: Man1", "Record started: Man2", "VOX Activated for: Vox1",
                             "VOX Activated for: Vox2", "Record started: Vox1", "VELK Closed."})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    EXPECT_EQ(out.find("Could not start"), std::string::npos) << out;

    std::size_t files = 0;
    for (const char* name : {"Man1", "Man2", "Vox1", "Vox2"}) {
        const auto wavs = filesbelow(recordings + "/" + name, ".wav");
        // A manual channel records one file; a voice-activated one a file per burst (a slow
        // machine may see the next burst before the signal arrives).
        if (name[0] == 'M')
            ASSERT_EQ(wavs.size(), 1u) << name;
        else
            ASSERT_GE(wavs.size(), 1u) << name;
        files += wavs.size();
        const test::WavFile w = test::readwav(wavs[0]);
        ASSERT_TRUE(w.ok) << name;
        EXPECT_EQ(w.fmt, pcmformat(48000, 1, 16)) << name;
        EXPECT_EQ(w.samples.size() % 256, 0u) << name;
        ASSERT_FALSE(w.samples.empty()) << name;
        // Tone bursts at half of full scale.
        const auto peak = *std::max_element(w.samples.begin(), w.samples.end());
        EXPECT_GE(peak, 16300) << name;
        EXPECT_LE(peak, 16384) << name;
    }

    const auto descriptors = filesbelow(common + "Data", ".velk");
    ASSERT_EQ(descriptors.size(), files);
    for (const std::string& path : descriptors) {
        TRecDescriptor d;
        ASSERT_TRUE(readdescriptor(path, d)) << path;
        EXPECT_EQ(d.state, 3) << path;
    }
}

}  // namespace
}  // namespace velk
