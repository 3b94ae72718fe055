// The recorder killed with SIGKILL at the moments a crash hurts most, then started again: the
// files the killed run left must already play (with at most a second missing), and after the
// restart every recording is whole (header from the file's real length), its descriptor final
// with the audio's length as its times, queued compressions done, no leftovers, no file
// overwritten, and the killed run's log lines filed once.
//
// Runs the real `velkasio --headless` on a virtual card and reads every file with ffprobe, sox,
// libsndfile and Python's `wave`.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <thread>

#include "config/config.h"
#include "config/config_file.h"
#include "recfiles/descriptor_files.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_folder.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t rate = 48000;
constexpr std::uint32_t bytespersecond = rate * 2;  // mono 16-bit

using test::filesbelow;

std::string readall(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Seconds of audio a tool reports, or a negative value when it cannot read the file.
double ffprobeseconds(const std::string& path)
{
    const std::string out = test::commandoutput("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + path +
                                                "' 2>/dev/null; echo \" $?\"");
    std::istringstream in(out);
    double seconds = -1;
    int rc = 1;
    if (!(in >> seconds >> rc) || rc != 0)
        return -1;
    return seconds;
}

double soxseconds(const std::string& path)
{
    const std::string out = test::commandoutput("sox --i -D '" + path + "' 2>/dev/null; echo \" $?\"");
    std::istringstream in(out);
    double seconds = -1;
    int rc = 1;
    if (!(in >> seconds >> rc) || rc != 0)
        return -1;
    return seconds;
}

// Frames Python's `wave` module reads from the header, or -1 when it rejects the file.
long pythonwaveframes(const std::string& path)
{
    const std::string out = test::commandoutput(
        "python3 -c 'import sys, wave\nw = wave.open(sys.argv[1])\nprint(w.getnframes(), w.getframerate())' '" + path +
        "' 2>/dev/null");
    std::istringstream in(out);
    long frames = -1;
    long r = 0;
    if (!(in >> frames >> r) || r != rate)
        return -1;
    return frames;
}

// Frames libsndfile reads, or -1 when it rejects the file.
long sndfileframes(const std::string& path)
{
    const std::string out = test::commandoutput("sndfile-info '" + path + "' 2>/dev/null");
    const auto at = out.find("\nFrames");
    if (at == std::string::npos || out.find("Error", 0) != std::string::npos)
        return -1;
    const auto colon = out.find(':', at);
    return colon == std::string::npos ? -1 : std::stol(out.substr(colon + 1));
}

bool toolsavailable()
{
    for (const char* tool : {"ffprobe", "sox", "python3", "sndfile-info"})
        if (test::commandoutput(std::string("command -v ") + tool).empty())
            return false;
    return true;
}

struct KillCase {
    const char* name;
    int codec;             // 0: the recorded PCM WAV is final; 1: recordings are compressed to MP3
    bool split;            // files aligned to the minute, started a few seconds before one
    bool vox;              // a voice-activated channel too, whose first recording completes at once
    const char* killafter;  // the output line to wait for ...
    int occurrence;        // ... its n-th occurrence ...
    int delayms;           // ... then this long before SIGKILL
};

class KillRestartTest : public ::testing::TestWithParam<KillCase> {
protected:
    test::TempDataRoot root;
    std::string recordings = root.root() + "/rec";
    std::string common;
    std::vector<std::string> env;

    void SetUp() override
    {
        if (!toolsavailable())
            GTEST_SKIP() << "ffprobe, sox, sndfile-info and python3 are needed (scripts/install-deps.sh installs them)";
        const KillCase& k = GetParam();
        const TConfig saved = config();
        loadconfig(config());
        TConfig& c = config();
        c.outfolder = recordings;
        const char* names[] = {"Man1", "Man2", "Vox"};
        c.num = k.vox ? 3 : 2;
        for (int i = 0; i < c.num; ++i) {
            TChannelConfig& ch = c.channels[static_cast<std::size_t>(i)];
            ch = TChannelConfig{};
            ch.card = 0;
            ch.chnum = i;  // the voice-activated channel's input pauses 3 s between bursts
            ch.name = names[i];
            ch.folder = recordings + "/" + names[i];
            ch.mode = i < 2 ? 1 : 0;
            ch.voxlevel = 5;
            ch.voxtime = 1;
            ch.deltime = 0;
        }
        c.samplerate = 6;
        c.format = pcmwaveformat(rate, 1, 16);
        c.codec = k.codec;
        c.interval = 0;  // one minute
        c.timealign = k.split;
        c.overlap = 0;
        c.autorecording = false;
        saveconfig(c);
        common = c.common_path;
        config() = saved;
        env = {"VELK_DATA_ROOT=" + root.root(), "VELK_VIRTUAL_CARDS=1", "LC_ALL=C"};
        if (k.split) {
            // A zone whose offset has seconds puts the next minute boundary (the split) about eight
            // seconds after the start, whatever the wall clock says.
            const int now = static_cast<int>(std::time(nullptr) % 60);
            const int offset = ((52 - now) % 60 + 60) % 60;
            env.push_back("TZ=VLK-00:00:" + std::string(offset < 10 ? "0" : "") + std::to_string(offset));
        }
    }
};

TEST_P(KillRestartTest, KilledFilesPlayAndTheRestartRepairsEveryRecording)
{
    const KillCase& k = GetParam();
    {
        test::ChildProcess run(VELKASIO_PATH, {"--headless", "--record"}, env);
        for (int i = 0; i < k.occurrence; ++i)
            ASSERT_TRUE(run.waitforline(k.killafter, std::chrono::seconds(75))) << run.output();
        std::this_thread::sleep_for(std::chrono::milliseconds(k.delayms));
        run.signal(SIGKILL);
        ASSERT_EQ(run.wait(), 128 + SIGKILL) << run.output();
    }

    // What the killed run left. Each WAV already plays, and its header misses at most a second.
    struct Left {
        std::string audio;  // bytes after the 44-byte header
    };
    std::map<std::string, Left> left;
    const auto wavs = filesbelow(recordings, ".wav");
    ASSERT_FALSE(wavs.empty());
    for (const std::string& wav : wavs) {
        const std::string bytes = readall(wav);
        ASSERT_GE(bytes.size(), 44u) << wav;
        left[wav].audio = bytes.substr(44);
        const long frames = pythonwaveframes(wav);
        ASSERT_GE(frames, 0) << wav << " rejected by Python's wave";
        const double inheader = static_cast<double>(frames) / rate;
        const double infile = static_cast<double>(bytes.size() - 44) / bytespersecond;
        EXPECT_LE(infile - inheader, 1.0) << wav;
        if (frames > 0) {
            EXPECT_NEAR(soxseconds(wav), inheader, 0.01) << wav;
            EXPECT_NEAR(ffprobeseconds(wav), inheader, 0.01) << wav;
            EXPECT_EQ(sndfileframes(wav), frames) << wav;
        }
    }
    std::size_t unfinished = 0;
    std::size_t tocompress = 0;
    std::vector<std::string> named;  // the WAVs the descriptors name
    for (const std::string& path : filesbelow(common + "Data", ".velk")) {
        TRecDescriptor d;
        ASSERT_TRUE(readdescriptor(path, d)) << path;
        named.push_back(d.getpath());
        unfinished += d.state == DESC_RECORDING;
        tocompress += k.codec == 1 && (d.state == DESC_RECORDING || d.state == DESC_WAITING);
    }

    test::ChildProcess restart(VELKASIO_PATH, {"--headless"}, env);
    ASSERT_TRUE(restart.waitforline("VELK System Activated.")) << restart.output();
    for (std::size_t i = 0; i < tocompress; ++i)
        ASSERT_TRUE(restart.waitforline(" compressed.")) << restart.output();
    restart.signal(SIGTERM);
    ASSERT_EQ(restart.wait(), 0) << restart.output();
    const std::string out = restart.output();
    std::size_t recovered = 0;
    for (auto at = out.find("Recovered recording: "); at != std::string::npos; at = out.find("Recovered recording: ", at + 1))
        ++recovered;
    // A recording killed before its file was created has nothing to recover.
    EXPECT_LE(recovered, unfinished) << out;
    EXPECT_GE(recovered + 2, unfinished) << out;

    // Every recording is final; its file is whole and its descriptor spans its audio.
    for (const std::string& path : filesbelow(common + "Data", ".velk")) {
        TRecDescriptor d;
        ASSERT_TRUE(readdescriptor(path, d)) << path;
        EXPECT_EQ(d.state, DESC_FINAL) << path;
        const std::string audio = d.getpath();
        ASSERT_TRUE(fs::exists(audio)) << audio;
        const double length = static_cast<double>(millisecondsbetween(d.start, d.stop)) / 1000.0;
        if (k.codec == 0) {
            EXPECT_EQ(fs::path(audio).extension(), ".wav");
            const long frames = pythonwaveframes(audio);
            ASSERT_GE(frames, 0) << audio;
            EXPECT_EQ(static_cast<std::uintmax_t>(frames) * 2 + 44, fs::file_size(audio)) << audio;
            const double seconds = static_cast<double>(frames) / rate;
            EXPECT_NEAR(soxseconds(audio), seconds, 0.01) << audio;
            EXPECT_NEAR(ffprobeseconds(audio), seconds, 0.01) << audio;
            EXPECT_EQ(sndfileframes(audio), frames) << audio;
            EXPECT_NEAR(length, seconds, 0.3) << audio;
        } else {
            EXPECT_EQ(fs::path(audio).extension(), ".mp3");
            const double seconds = ffprobeseconds(audio);
            EXPECT_GT(seconds, 0.0) << audio;
            EXPECT_GT(soxseconds(audio), 0.0) << audio;
            EXPECT_NEAR(length, seconds, 0.3) << audio;
        }
    }

    // Nothing was overwritten: a WAV is still the audio the killed run wrote (less a cut frame),
    // or it was compressed into the MP3 its descriptor names.
    for (const auto& [wav, was] : left) {
        // A file killed as it opened holds no frame; the restart removes it with its descriptor.
        if (was.audio.empty() && !fs::exists(wav))
            continue;
        const bool compressed = k.codec == 1 && std::find(named.begin(), named.end(), wav) != named.end();
        EXPECT_NE(fs::exists(wav), compressed) << wav;
        if (compressed) {
            EXPECT_TRUE(fs::exists(fs::path(wav).replace_extension(".mp3"))) << wav;
        }
        if (!fs::exists(wav))
            continue;
        const std::string now = readall(wav).substr(44);
        EXPECT_LE(was.audio.size() - now.size(), 1u) << wav;
        EXPECT_EQ(was.audio.compare(0, now.size(), now), 0) << wav;
    }
    // No leftovers anywhere.
    for (const std::string& file : filesbelow(root.root())) {
        const std::string extension = fs::path(file).extension().string();
        EXPECT_TRUE(extension != ".part" && extension != ".wave") << file;
    }

    // The killed run's lines were filed while it ran; the restart appended its own after them.
    std::string log;
    for (const std::string& file : filesbelow(common + "Logs", ".log"))
        log += readall(file);
    std::size_t activated = 0;
    for (auto at = log.find("VELK System Activated."); at != std::string::npos; at = log.find("VELK System Activated.", at + 1))
        ++activated;
    EXPECT_EQ(activated, 2u) << log;
    EXPECT_NE(log.find("Record started: Man1"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Moments, KillRestartTest,
    ::testing::Values(KillCase{"UnderHalfASecondIntoTheRecording", 0, false, false, "Record started: Man2", 1, 200},
                      KillCase{"MidFile", 0, false, false, "Record started: Man2", 1, 2500},
                      KillCase{"AtASplit", 0, true, false, "New file: ", 3, 0},
                      KillCase{"DuringAConversion", 1, false, true, "Compression started for: ", 1, 0},
                      KillCase{"WhileCompressedRecordingsRun", 1, false, false, "Record started: Man2", 1, 1500}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velk
