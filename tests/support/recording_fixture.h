#pragma once
// What the recording tests share: a manual clock, a main-thread queue drained into a message
// recorder that stands in for the main window (it writes the descriptors as the real one does),
// a configuration restored after the test, temporary folders, and the WAV reader.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/recording_settings.h"
#include "core/clock.h"
#include "core/main_thread_queue.h"
#include "recfiles/descriptor_files.h"
#include "tests/support/message_recorder.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wav_file.h"

namespace velk::test {

// Everything a recording test runs in. The configuration is set to record 16-bit mono PCM at
// 8000 Hz as the final format (no compression), interval 30 minutes, no alignment, no overlap.
class RecordingTest : public ::testing::Test {
protected:
    RecordingTest() : clockscope_(clock), saved_(config())
    {
        sink.onsave = [](const std::string& path, const TRecDescriptor& d) { writedescriptor(path, d); };
        TConfig& c = config();
        c.namingrule = "%yy%-%mn%-%dd%-%hh%-%nn%-%ss%-%name%";
        c.velk_path = data.path() + "/Data";
        c.codec = 0;
        c.format = pcmwaveformat(8000, 1, 16);
        c.samplerate = 0;
        c.normalize = false;
        c.interval = 4;
        c.timealign = false;
        c.overlap = 0;
        publishrecordingsettings();
    }
    ~RecordingTest() override
    {
        config() = saved_;
        publishrecordingsettings();
    }

    std::size_t drain() { return queue.queue().drain(&sink); }

    // Sets the wall clock to a local time (the earlier instant of a repeated hour).
    void setlocal(int y, int mo, int d, int h, int mi, int s, int ms = 0)
    {
        clock.setlocal(encodedatetime(y, mo, d, h, mi, s, ms));
    }

    // Every descriptor file below the data folder, read back, ordered by start time then path.
    struct StoredDescriptor {
        std::string file;
        TRecDescriptor d;
    };
    std::vector<StoredDescriptor> descriptors()
    {
        std::vector<StoredDescriptor> out;
        const std::string root = config().velk_path;
        if (!std::filesystem::exists(root))
            return out;
        for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
            if (!e.is_regular_file() || e.path().extension() != ".velk")
                continue;
            StoredDescriptor s{e.path().string(), {}};
            EXPECT_TRUE(readdescriptor(s.file, s.d));
            out.push_back(s);
        }
        std::sort(out.begin(), out.end(), [](const StoredDescriptor& a, const StoredDescriptor& b) {
            return a.d.start != b.d.start ? a.d.start < b.d.start : a.file < b.file;
        });
        return out;
    }
    // Bare names of the files in `folder` (recursively), sorted.
    static std::vector<std::string> filesin(const std::string& folder)
    {
        std::vector<std::string> out;
        if (!std::filesystem::exists(folder))
            return out;
        for (const auto& e : std::filesystem::recursive_directory_iterator(folder))
            if (e.is_regular_file())
                out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }

    TempDataRoot dataroot;
    TempFolder data;
    TempFolder recordings;
    ManualClock clock;
    ScopedMainQueue queue;
    MessageRecorder sink;

private:
    ScopedAppClock clockscope_;
    TConfig saved_;
};

// A file-size limit makes writes fail as a full disk does.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { lift(); }
    void lift()
    {
        if (lifted_)
            return;
        lifted_ = true;
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_);
    }

private:
    rlimit saved_{};
    void (*previous_)(int) = SIG_DFL;
    bool lifted_ = false;
};

// Local time of a day count as "hh:mm:ss.mmm".
inline std::string clocktext(TDateTime t)
{
    const CalendarTime c = decodedatetime(t);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", c.hour, c.minute, c.second, c.millisecond);
    return buf;
}

}  // namespace velk::test
