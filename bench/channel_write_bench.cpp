// Recording throughput: 64 mono channels of 48 kHz captured blocks (256 frames each) go through
// TChannel -> WAVwriter -> TACMWriter into real files, on one thread, as fast as possible. The
// same bytes are written in the same run with plain buffered writes (one FILE* per channel) as
// the baseline. Prints samples per second, the real-time factor per channel and the ratio of the
// two; then the same for the resampling path (card at 48000 Hz, recording at 44100 Hz).
//
// Usage: channel_write_bench [folder] [seconds of audio per channel]
// Goals: at least 0.7 of the plain write rate, at least 1000 channel-real-times per core.

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/recording_settings.h"
#include "core/clock.h"
#include "core/main_thread_queue.h"
#include "engine/capture_card.h"
#include "engine/channel.h"
#include "recfiles/descriptor_files.h"

// Every allocation of the program is counted, to show that the capture path allocates nothing
// once its recordings are open.
namespace {
std::atomic<std::uint64_t> allocations{0};
}

void* operator new(std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
// The replaced operator new above allocates with malloc, so free is the matching release; GCC
// cannot see that through inlined library code.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using namespace velk;
using Steady = std::chrono::steady_clock;

constexpr int channels = 64;
constexpr int inrate = 48000;
constexpr int frames = 256;
constexpr int poolblocks = 64;  // distinct blocks cycled through, so data is not one repeated block

class BenchCard : public TCaptureCard {
public:
    BenchCard(int configured, int actual) : configured_(configured), actual_(actual) {}
    int configuredrate() const override { return configured_; }
    int actualrate() const override { return actual_; }

private:
    int configured_;
    int actual_;
};

// Writes descriptors as the main window does; drops the rest.
struct Sink : MainMessageHandler {
    void channelstate(const ChannelStateMessage&) override {}
    void logline(LogLineMessage& m) override
    {
        if (m.line.find("Error: ") != std::string::npos)
            std::fprintf(stderr, "%s\n", m.line.c_str());
    }
    void savedescriptor(SaveDescriptorMessage& m) override { writedescriptor(m.path, m.descriptor); }
    void filecomplete(FileCompleteMessage& m) override { writedescriptor(m.path, m.descriptor); }
};

struct Figures {
    double seconds = 0;
    bool ok = true;
    std::uintmax_t bytes = 0;           // bytes in the files written
    std::uint64_t blockallocations = 0;  // allocations while blocks were delivered
};

std::uintmax_t bytesin(const std::string& folder, const std::string& extension)
{
    std::uintmax_t total = 0;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        if (e.is_regular_file() && e.path().extension() == extension)
            total += e.file_size();
    return total;
}

double since(Steady::time_point start)
{
    return std::chrono::duration<double>(Steady::now() - start).count();
}

// Plain buffered writes of the same blocks in the same order: the baseline.
Figures plainwrite(const std::string& folder, const std::vector<std::int16_t>& pool, long rounds)
{
    std::filesystem::create_directories(folder);
    std::vector<std::FILE*> files;
    for (int c = 0; c < channels; ++c)
        files.push_back(std::fopen((folder + "/plain-" + std::to_string(c) + ".raw").c_str(), "wb"));
    Figures f;
    const auto start = Steady::now();
    for (long r = 0; r < rounds; ++r) {
        for (int c = 0; c < channels; ++c) {
            const std::int16_t* block = pool.data() + static_cast<std::size_t>((r + c) % poolblocks) * frames;
            if (std::fwrite(block, sizeof(std::int16_t), frames, files[static_cast<std::size_t>(c)]) != frames)
                f.ok = false;
        }
    }
    for (std::FILE* file : files)
        if (std::fclose(file) != 0)
            f.ok = false;
    f.seconds = since(start);
    f.bytes = bytesin(folder, ".raw");
    return f;
}

// The recording path: every block through the channel's process() under the card lock, as the
// storage thread delivers it. Start and stop (file creation and completion) are timed too.
Figures recordpath(TConfig& settings, const std::string& folder, const std::vector<std::int16_t>& pool, long rounds,
                   int recordrate)
{
    ScopedMainQueue queue;
    Sink sink;
    settings.velk_path = folder + "/Data";
    settings.format = pcmwaveformat(static_cast<std::uint32_t>(recordrate), 1, 16);
    publishrecordingsettings(settings);
    BenchCard card(recordrate, inrate);
    std::vector<std::unique_ptr<TChannel>> chans;
    for (int c = 0; c < channels; ++c) {
        auto ch = std::make_unique<TChannel>("Bench" + std::to_string(c), &card, c, false);
        ch->setfolder(folder);
        ch->setid(c);
        ch->setmode(ChannelMode::manual);
        ch->connect(&card);
        chans.push_back(std::move(ch));
    }
    Figures f;
    const auto start = Steady::now();
    for (auto& ch : chans) {
        ch->startrecording();
        if (!ch->recording())
            f.ok = false;
    }
    const std::uint64_t before = allocations.load();
    for (long r = 0; r < rounds && f.ok; ++r) {
        std::lock_guard<std::recursive_mutex> lock(card.cardlock());
        int c = 0;
        for (TChannel* ch : card.channellist()) {
            const std::int16_t* block = pool.data() + static_cast<std::size_t>((r + c) % poolblocks) * frames;
            ch->process(block, frames * sizeof(std::int16_t), 12000);
            ++c;
        }
    }
    f.blockallocations = allocations.load() - before;
    for (auto& ch : chans)
        ch->stoprecording();
    f.seconds = since(start);
    for (auto& ch : chans)
        ch->disconnect();
    chans.clear();
    queue.queue().drain(&sink);
    f.bytes = bytesin(folder, ".wav");
    return f;
}

void report(const char* name, const Figures& f, long rounds)
{
    const double samples = static_cast<double>(rounds) * frames * channels;
    const double audio = static_cast<double>(rounds) * frames / inrate;  // seconds per channel
    std::printf("%-28s %8.3f s  %12.0f samples/s  real-time factor per channel %8.0f  channel-real-times per core %8.0f\n",
                name, f.seconds, samples / f.seconds, audio / f.seconds, audio * channels / f.seconds);
}

// Allocations of the events between the blocks, each counted while the channel handles the block
// that causes it (under the card lock, as the storage thread would), on a clock the run moves.
struct EventAllocations {
    std::uint64_t statepost = 0;  // one channel state posted to the main thread
    std::uint64_t voxstart = 0;   // voice activation: a loud block opens a recording
    std::uint64_t voxstop = 0;    // voice activation: the hold time is over, the recording closes
    std::uint64_t split = 0;      // a manual recording split at its interval
};

EventAllocations eventpath(TConfig settings, const std::string& folder, const std::vector<std::int16_t>& pool)
{
    ManualClock clock;
    ScopedAppClock clockscope(clock);
    ScopedMainQueue queue;
    Sink sink;
    settings.velk_path = folder + "/Data";
    settings.format = pcmwaveformat(static_cast<std::uint32_t>(inrate), 1, 16);
    settings.interval = 0;  // one minute
    publishrecordingsettings(settings);
    BenchCard card(inrate, inrate);
    TChannel vox("Voice", &card, 0, false);
    TChannel manual("Manual", &card, 1, false);
    vox.setmode(ChannelMode::voiceactivated);
    vox.setvoxlevel(50);
    vox.setvoxtimer(1);
    manual.setmode(ChannelMode::manual);
    for (TChannel* ch : {&vox, &manual}) {
        ch->setfolder(folder);
        ch->connect(&card);
        ch->startrecording();
    }
    std::vector<std::int16_t> quiet(frames, 0);
    const auto bytes = static_cast<std::uint32_t>(frames * sizeof(std::int16_t));
    const auto counted = [&](TChannel& ch, const std::int16_t* block, int level) {
        std::lock_guard<std::recursive_mutex> lock(card.cardlock());
        const std::uint64_t before = allocations.load();
        ch.process(block, bytes, level);
        return allocations.load() - before;
    };
    EventAllocations e;
    // Warm: the first of everything may allocate once (the pool of a lazily made object).
    for (int i = 0; i < 2; ++i) {
        counted(vox, pool.data(), 32000);
        clock.advance(std::chrono::seconds(2));
        counted(vox, quiet.data(), 0);
        counted(manual, pool.data(), 12000);
        clock.advance(std::chrono::seconds(61));
        counted(manual, pool.data(), 12000);
        queue.queue().drain(&sink);
    }
    {
        const std::uint64_t before = allocations.load();
        queue.queue().post(ChannelStateMessage{0, static_cast<int>(ChannelState::listening)});
        e.statepost = allocations.load() - before;
    }
    e.voxstart = counted(vox, pool.data(), 32000);
    clock.advance(std::chrono::seconds(2));
    e.voxstop = counted(vox, quiet.data(), 0);
    counted(manual, pool.data(), 12000);
    clock.advance(std::chrono::seconds(61));
    e.split = counted(manual, pool.data(), 12000);
    vox.stoprecording();
    manual.stoprecording();
    vox.disconnect();
    manual.disconnect();
    queue.queue().drain(&sink);
    return e;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string base = argc > 1 ? argv[1] : (std::filesystem::temp_directory_path() / "velk-channel-bench").string();
    const double seconds = argc > 2 ? std::atof(argv[2]) : 30.0;
    const long rounds = static_cast<long>(seconds * inrate / frames);
    std::filesystem::remove_all(base);
    std::filesystem::create_directories(base);
    TConfig settings;
    settings.namingrule = "%yy%-%mn%-%dd%-%hh%-%nn%-%ss%-%name%";
    settings.codec = 0;
    settings.normalize = false;
    settings.interval = 7;  // 3 hours: no split during the run
    settings.timealign = false;
    settings.overlap = 0;

    // Noise at about a third of full scale.
    std::vector<std::int16_t> pool(static_cast<std::size_t>(poolblocks) * frames);
    std::mt19937 rng(42);
    std::uniform_int_distribution<int> dist(-12000, 12000);
    for (auto& s : pool)
        s = static_cast<std::int16_t>(dist(rng));

    std::printf("%d mono channels, %d Hz, %d-frame blocks, %.1f s of audio per channel, folder %s\n", channels, inrate,
                frames, static_cast<double>(rounds) * frames / inrate, base.c_str());

    // Best of three alternating runs of each, so neither side profits from the other's cache.
    Figures plain, path, resample;
    plain.seconds = path.seconds = resample.seconds = 1e30;
    bool resampleok = true;
    for (int run = 0; run < 3; ++run) {
        const std::string folder = base + "/run";
        const Figures p = plainwrite(folder, pool, rounds);
        std::filesystem::remove_all(folder);
        if (!p.ok)
            std::fprintf(stderr, "plain write failed\n");
        plain.seconds = std::min(plain.seconds, p.seconds);

        const Figures r = recordpath(settings, folder, pool, rounds, inrate);
        std::filesystem::remove_all(folder);
        // Every byte captured must be in the files, behind one 44-byte header per file.
        if (!r.ok || r.bytes != p.bytes + 44u * channels)
            std::fprintf(stderr, "recording path failed: %ju bytes written, %ju expected\n", r.bytes,
                         p.bytes + 44u * channels);
        path.seconds = std::min(path.seconds, r.seconds);
        path.blockallocations = std::max(path.blockallocations, r.blockallocations);

        const Figures s = recordpath(settings, folder, pool, rounds, 44100);
        std::filesystem::remove_all(folder);
        if (!s.ok)
            resampleok = false;
        resample.seconds = std::min(resample.seconds, s.seconds);
        resample.blockallocations = std::max(resample.blockallocations, s.blockallocations);
    }

    report("plain buffered writes", plain, rounds);
    report("channel -> writer -> file", path, rounds);
    std::printf("ratio recording path / plain writes: %.2f (goal >= 0.70)\n", plain.seconds / path.seconds);
    std::printf("allocations while delivering blocks: %ju\n", static_cast<std::uintmax_t>(path.blockallocations));
    if (resampleok) {
        report("resampling 48000 -> 44100", resample, rounds);
        std::printf("ratio resampling path / plain writes: %.2f\n", plain.seconds / resample.seconds);
        std::printf("allocations while delivering blocks: %ju\n", static_cast<std::uintmax_t>(resample.blockallocations));
    } else {
        std::printf("resampling path 48000 -> 44100: not available (the recording could not be opened)\n");
    }
    {
        const std::string folder = base + "/events";
        std::filesystem::create_directories(folder);
        const EventAllocations e = eventpath(settings, folder, pool);
        std::filesystem::remove_all(folder);
        std::printf("allocations of a channel state posted: %ju\n", static_cast<std::uintmax_t>(e.statepost));
        std::printf("allocations of a voice-activated start (state, log line, new file): %ju\n",
                    static_cast<std::uintmax_t>(e.voxstart));
        std::printf("allocations of a voice-activated stop (state, log line, file finished): %ju\n",
                    static_cast<std::uintmax_t>(e.voxstop));
        std::printf("allocations of a file split (file finished, next file opened): %ju\n",
                    static_cast<std::uintmax_t>(e.split));
    }
    std::filesystem::remove_all(base);
    return 0;
}
