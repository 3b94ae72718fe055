#pragma once
// What the recording tests share: a manual clock, a main-thread queue drained by a stand-in for
// the main window (it writes descriptors as the real one does and keeps everything else), a
// configuration restored after the test, temporary folders, and a reader for the WAV files.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/recording_settings.h"
#include "core/byte_order.h"
#include "core/clock.h"
#include "core/main_thread_queue.h"
#include "recfiles/descriptor_files.h"
#include "tests/support/temp_folder.h"

namespace velk::test {

// A WAV file as read back from disk.
struct WavFile {
    bool ok = false;
    std::size_t filesize = 0;
    std::uint32_t riffsize = 0;
    std::uint32_t fmtsize = 0;
    tWAVEFORMATEX fmt;
    std::uint32_t datasize = 0;
    std::vector<std::int16_t> samples;  // the data chunk as 16-bit samples
};

inline WavFile readwav(const std::string& path)
{
    WavFile w;
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    w.filesize = bytes.size();
    if (bytes.size() < 44 || std::memcmp(bytes.data(), "RIFF", 4) != 0 || std::memcmp(bytes.data() + 8, "WAVE", 4) != 0 ||
        std::memcmp(bytes.data() + 12, "fmt ", 4) != 0 || std::memcmp(bytes.data() + 36, "data", 4) != 0)
        return w;
    w.riffsize = le::get32(bytes.data() + 4);
    w.fmtsize = le::get32(bytes.data() + 16);
    w.fmt = tWAVEFORMATEX::deserialize(bytes.data() + 20);
    w.fmt.cbSize = 0;  // a 16-byte PCM "fmt " has no extra-size field
    w.datasize = le::get32(bytes.data() + 40);
    const std::size_t have = std::min<std::size_t>(w.datasize, bytes.size() - 44);
    w.samples.resize(have / 2);
    for (std::size_t i = 0; i < w.samples.size(); ++i)
        w.samples[i] = static_cast<std::int16_t>(le::get16(bytes.data() + 44 + 2 * i));
    w.ok = true;
    return w;
}

// Stands in for the main window: writes every descriptor it is sent, queues the paths of
// WM_FILECOMPLETE for compression, and keeps state messages and log texts.
struct MainWindowSink : MainMessageHandler {
    struct Save {
        int code;           // WM_SAVEDESCRIPTOR or WM_FILECOMPLETE
        std::int32_t state; // descriptor state carried
        std::string path;
    };
    std::vector<ChannelStateMessage> states;
    std::vector<std::string> logs;  // the text after the time stamp
    std::vector<Save> saves;
    std::vector<std::string> compressionqueue;

    void channelstate(const ChannelStateMessage& m) override { states.push_back(m); }
    void logline(LogLineMessage& m) override
    {
        const auto cut = m.line.find("; ");
        logs.push_back(cut == std::string::npos ? m.line : m.line.substr(cut + 2));
    }
    void savedescriptor(SaveDescriptorMessage& m) override
    {
        writedescriptor(m.path, m.descriptor);
        saves.push_back({WM_SAVEDESCRIPTOR, m.descriptor.state, m.path});
    }
    void filecomplete(FileCompleteMessage& m) override
    {
        writedescriptor(m.path, m.descriptor);
        saves.push_back({WM_FILECOMPLETE, m.descriptor.state, m.path});
        compressionqueue.push_back(m.path);
    }

    std::vector<int> statecodes() const
    {
        std::vector<int> codes;
        for (const auto& s : states)
            codes.push_back(s.state);
        return codes;
    }
    // Log texts that start with `prefix`.
    std::vector<std::string> logswith(const std::string& prefix) const
    {
        std::vector<std::string> out;
        for (const auto& l : logs)
            if (l.rfind(prefix, 0) == 0)
                out.push_back(l);
        return out;
    }
    void clear()
    {
        states.clear();
        logs.clear();
        saves.clear();
        compressionqueue.clear();
    }
};

// Everything a recording test runs in. The configuration is set to record 16-bit mono PCM at
// 8000 Hz as the final format (no compression), interval 30 minutes, no alignment, no overlap.
class RecordingTest : public ::testing::Test {
protected:
    RecordingTest() : clockscope_(clock), saved_(config())
    {
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
    MainWindowSink sink;

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
