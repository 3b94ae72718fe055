#pragma once
// What the compression and cleanup tests share: a manual clock, a main-thread queue with a message
// recorder, a configuration restored after the test, temporary folders, recorded WAV files and
// their descriptors, and the command-line audio tools to read results back.

#include <gtest/gtest.h>
#include <poll.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/recording_settings.h"
#include "core/byte_order.h"
#include "core/clock.h"
#include "core/main_thread_queue.h"
#include "recfiles/descriptor_files.h"
#include "tests/support/child_process.h"
#include "tests/support/message_recorder.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wav_file.h"

namespace velk::test {

// `frames` frames of a 440 Hz tone (a fifth higher on the right) with a little noise, at `level`.
inline std::vector<std::int16_t> tone(int rate, int channels, std::size_t frames, double level = 12000)
{
    std::vector<std::int16_t> s(frames * static_cast<std::size_t>(channels));
    std::uint32_t noise = 12345;
    for (std::size_t f = 0; f < frames; ++f)
        for (int c = 0; c < channels; ++c) {
            noise = noise * 1664525u + 1013904223u;
            const double t = static_cast<double>(f) / rate;
            const double v = level * std::sin(2 * M_PI * (440.0 + 220.0 * c) * t) + static_cast<int>(noise >> 22) - 512;
            s[f * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)] = static_cast<std::int16_t>(v);
        }
    return s;
}

inline std::string readfile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs a shell command and returns its standard output.
inline std::string run(const std::string& command)
{
    return commandoutput(command);
}

// One "key=value" of ffprobe's flat output for the first audio stream; empty when missing.
inline std::string probe(const std::string& path, const std::string& key)
{
    const std::string out =
        run("ffprobe -v error -select_streams a:0 -show_entries stream=" + key + " -of default=nw=1:nk=1 '" + path + "'");
    return out.substr(0, out.find('\n'));
}

class CompressionFixture : public ::testing::Test {
protected:
    CompressionFixture() : saved(config())
    {
        std::filesystem::create_directories(recordings());
        std::filesystem::create_directories(data());
        config().velk_path = data();
        config().outfolder = recordings();
        config().common_path = root.common();
        std::filesystem::create_directories(root.common());
        clock.setlocal(encodedatetime(2024, 3, 5, 12, 0, 0));
        publishrecordingsettings();
    }
    ~CompressionFixture() override
    {
        config() = saved;
        publishrecordingsettings();
    }

    std::string recordings() const { return folder.file("rec"); }
    std::string data() const { return folder.file("Data"); }

    // Delivers what waits in the main-thread queue.
    void drain() { queue.queue().drain(&log); }
    // Drains until `done` holds, waiting on the queue's wake-up descriptor in between; false if
    // nothing arrived for 60 s.
    bool drainuntil(const std::function<bool()>& done)
    {
        drain();
        while (!done()) {
            pollfd fd{queue.queue().wakeupfd(), POLLIN, 0};
            if (::poll(&fd, 1, 60000) <= 0)
                return false;
            drain();
        }
        return true;
    }
    std::vector<std::string> logtexts() { return std::exchange(log.texts, {}); }

    // A finished recording: its WAV at recordings()/<name>.wav and its descriptor (state 2) at
    // data()/<name>.velk. Returns the descriptor path.
    std::string record(const std::string& name, int rate, int channels, const std::vector<std::int16_t>& samples,
                       const std::function<void(TRecDescriptor&)>& adjust = {})
    {
        const std::string wav = recordings() + "/" + name + ".wav";
        writepcmwav(wav, rate, channels, samples);
        TRecDescriptor d;
        d.start = clock.nowlocal();
        d.stop = d.start;
        d.state = DESC_WAITING;
        d.peak = 0;
        d.setname("Channel1");
        d.setpath(wav);
        d.samplerate = rate;
        d.format = pcmwaveformat(static_cast<std::uint32_t>(rate), static_cast<std::uint16_t>(channels), 16);
        d.codec = 0;
        if (adjust)
            adjust(d);
        const std::string path = data() + "/" + name + ".velk";
        writedescriptor(path, d);
        drain();
        logtexts();
        return path;
    }
    TRecDescriptor descriptor(const std::string& path)
    {
        TRecDescriptor d;
        EXPECT_TRUE(readdescriptor(path, d)) << path;
        return d;
    }

    TempDataRoot root;
    TempFolder folder;
    ScopedMainQueue queue;
    MessageRecorder log;
    ManualClock clock;
    ScopedAppClock scopedclock{clock};
    TConfig saved;
};

}  // namespace velk::test
