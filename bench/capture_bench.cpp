// Capture benchmark: 4 virtual cards x 64 inputs at 48 kHz with 256-frame buffers, free-running
// (each driver produces its next buffer as soon as its card has spare blocks), 256 mono channels
// recording manually all the way to 16-bit WAV files on disk. Prints the real-time factor, the
// CPU time per channel-second, the peak memory and, in the same run, a plain copy of the same
// bytes from memory to files, with the ratio of the two rates.
//
// Usage: capture_bench [seconds of audio per channel, default 10] [folder, default /tmp]

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "config/recording_settings.h"
#include "core/main_thread_queue.h"
#include "engine/capture_session.h"
#include "engine/channel.h"
#include "engine/driver_list.h"
#include "engine/sample_converter.h"
#include "platform/file_io.h"
#include "recfiles/descriptor_files.h"

using namespace velk;
namespace fs = std::filesystem;

namespace {

constexpr int cards = 4;
constexpr int inputs = 64;
constexpr int rate = 48000;
constexpr int frames = 256;

double cpuseconds(bool system = false)
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    const double user = static_cast<double>(u.ru_utime.tv_sec) + static_cast<double>(u.ru_utime.tv_usec) / 1e6;
    const double sys = static_cast<double>(u.ru_stime.tv_sec) + static_cast<double>(u.ru_stime.tv_usec) / 1e6;
    return system ? sys : user + sys;
}

double threadcpuseconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double peakmegabytes()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_maxrss) / 1024.0;
}

struct DescriptorWriter : MainMessageHandler {
    void channelstate(const ChannelStateMessage&) override {}
    void logline(LogLineMessage&) override {}
    void savedescriptor(SaveDescriptorMessage& m) override { writedescriptor(m.path, m.descriptor); }
    void filecomplete(FileCompleteMessage& m) override { writedescriptor(m.path, m.descriptor); }
};

std::uint64_t folderbytes(const std::string& folder)
{
    std::uint64_t total = 0;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        if (e.is_regular_file() && e.path().extension() == ".wav")
            total += e.file_size();
    return total;
}

}  // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const std::string base = argc > 2 ? argv[2] : "/tmp";
    std::string pattern = base + "/capture_bench.XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string root = pattern;
    const auto target = static_cast<std::uint64_t>(seconds * rate) / frames * frames;

    ScopedMainQueue queue;
    DescriptorWriter handler;
    TConfig c;
    c.velk_path = root + "/Data/";
    c.samplerate = 6;
    c.format = pcmwaveformat(rate, 1, 16);
    c.codec = 0;
    c.interval = 7;  // 180 minutes: no split during the run
    c.timealign = false;
    c.overlap = 0;
    publishrecordingsettings(c);

    // The cards and their drivers: a sine per input, 32-bit float samples (as JACK delivers them).
    std::vector<std::shared_ptr<VirtualDriverSettings>> settings;
    std::vector<TDavAsioDriverDescription> list;
    for (int k = 0; k < cards; ++k) {
        auto s = std::make_shared<VirtualDriverSettings>();
        s->name = "Bench " + std::to_string(k);
        s->inputs = inputs;
        s->sampletype = ASIOSTFloat32LSB;
        s->bufferminimum = s->buffermaximum = s->bufferpreferred = frames;
        s->rate = rate;
        s->realtime = false;
        for (int i = 0; i < inputs; ++i) {
            VirtualSignal sig;
            sig.kind = VirtualSignal::sine;
            sig.frequency = 100.0 + 37.0 * i;
            sig.amplitude = 0.5;
            s->signals.push_back(sig);
        }
        settings.push_back(s);
        list.push_back(virtualdescription(s->name, s, k));
    }
    setdriversource([list] { return list; });

    // The cards start (their block pools allocated, the drivers running) before the clock does;
    // the drivers hold their first buffer until `go`.
    std::atomic<bool> go{false};
    // Each driver thread's CPU time from the go to its last buffer, read on that thread: the
    // signal generation plus the hand-off of each buffer to the host and the card.
    std::vector<std::pair<double, double>> drivercpu(cards, {-1.0, 0.0});
    std::vector<std::unique_ptr<TSCapture>> capture;
    std::vector<std::unique_ptr<TChannel>> channels;
    TDavAsioDriverList listed;
    listed.enumerate();
    for (int k = 0; k < cards; ++k) {
        capture.push_back(std::make_unique<TSCapture>(listed, k, rate));
        TSCapture* card = capture.back().get();
        VirtualControl* control = settings[k]->control.get();
        // Free-running, paced only by the consumer: the next buffer once blocks are spare. The
        // driver asks again at once after a no; a short sleep keeps that waiting (the harness,
        // not the capture path) from spinning through the measured CPU time.
        settings[k]->canproduce = [card, control, target, &go, &driver = drivercpu[k]] {
            if (go.load()) {
                const double now = threadcpuseconds();
                if (driver.first < 0)
                    driver.first = now;
                driver.second = now;
            }
            if (go.load() && control->position() < target && card->freeblocks() > 8)
                return true;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            return false;
        };
        for (int i = 0; i < inputs; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "c%d_%02d", k, i);
            auto ch = std::make_unique<TChannel>(name, card, i, false);
            ch->setfolder(root + "/rec/" + name);
            ch->setmode(ChannelMode::manual);
            ch->connect(card);
            ch->startrecording();
            channels.push_back(std::move(ch));
        }
    }
    queue.queue().drain(&handler);

    for (auto& card : capture)
        card->start();
    const double cpu0 = cpuseconds();
    const double sys0 = cpuseconds(true);
    const auto t0 = std::chrono::steady_clock::now();
    go = true;
    auto done = [&] {
        for (int k = 0; k < cards; ++k)
            if (settings[k]->control->position() < target || capture[k]->freeblocks() != capture[k]->poolsize())
                return false;
        return true;
    };
    while (!done()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        queue.queue().drain(&handler);
    }
    for (auto& card : capture)
        card->stop();
    for (auto& ch : channels)
        ch->stoprecording();
    const auto t1 = std::chrono::steady_clock::now();
    const double cpu = cpuseconds() - cpu0;
    const double sys = cpuseconds(true) - sys0;
    const double wall = std::chrono::duration<double>(t1 - t0).count();
    double drivers = 0;
    for (const auto& d : drivercpu)
        drivers += d.first < 0 ? 0.0 : d.second - d.first;
    std::uint64_t lost = 0;
    for (auto& card : capture)
        lost += card->lostblocks();
    queue.queue().drain(&handler);
    const std::uint64_t bytes = folderbytes(root + "/rec");
    for (auto& ch : channels)
        ch->disconnect();
    channels.clear();
    capture.clear();
    queue.queue().drain(&handler);
    setdriversource(nullptr);
    // The recordings go before the copy starts, and what is left of them in the page cache is
    // flushed, so the copy does not share the disk with the pipeline's write-back.
    fs::remove_all(root + "/rec");
    fs::remove_all(root + "/Data");
    sync();

    // Baseline: the same number of bytes, in 100 ms pieces per file as the WAV writer buffers
    // them, copied from memory into 256 files.
    const std::size_t piece = rate / 10 * 2;
    const std::vector<char> memory(piece, 1);
    fs::create_directories(root + "/copy");
    std::chrono::steady_clock::time_point c0;
    double copycpu0 = 0;
    {
        // The files are created before the clock starts, as the channels' files are.
        std::vector<std::FILE*> files;
        for (int n = 0; n < cards * inputs; ++n)
            files.push_back(std::fopen((root + "/copy/" + std::to_string(n) + ".raw").c_str(), "wb"));
        c0 = std::chrono::steady_clock::now();
        copycpu0 = cpuseconds();
        const std::uint64_t perfile = bytes / (cards * inputs);
        for (std::uint64_t written = 0; written < perfile; written += piece)
            for (std::FILE* f : files)
                std::fwrite(memory.data(), 1, static_cast<std::size_t>(std::min<std::uint64_t>(piece, perfile - written)), f);
        for (std::FILE* f : files)
            std::fclose(f);
    }
    const double copywall = std::chrono::duration<double>(std::chrono::steady_clock::now() - c0).count();
    const double copycpu = cpuseconds() - copycpu0;
    fs::remove_all(root);

    const double channelseconds = static_cast<double>(target) / rate * cards * inputs;
    const double audio = static_cast<double>(target) / rate;
    std::printf("capture_bench: %d cards x %d inputs, %d Hz, %d-frame buffers, %d mono channels to WAV\n", cards,
                inputs, rate, frames, cards * inputs);
    std::printf("  audio per channel        %.1f s (%.1f MB written)\n", audio, static_cast<double>(bytes) / 1e6);
    std::printf("  wall time                %.3f s\n", wall);
    std::printf("  real-time factor         %.1f\n", audio / wall);
    std::printf("  CPU time                 %.3f s (%.2f %% of one core for real time)\n", cpu, 100.0 * cpu / audio);
    std::printf("  of which in the kernel   %.3f s\n", sys);
    std::printf("  of which driver threads  %.3f s (signal generation and hand-off of the buffers)\n", drivers);
    std::printf("  without driver threads   %.3f s (%.2f %% of one core for real time)\n", cpu - drivers,
                100.0 * (cpu - drivers) / audio);
    std::printf("  CPU per channel-second   %.1f us\n", 1e6 * cpu / channelseconds);
    std::printf("  peak memory              %.1f MB\n", peakmegabytes());
    std::printf("  blocks lost              %llu\n", static_cast<unsigned long long>(lost));
    std::printf("  pipeline rate            %.1f MB/s\n", static_cast<double>(bytes) / wall / 1e6);
    std::printf("  plain copy rate          %.1f MB/s\n", static_cast<double>(bytes) / copywall / 1e6);
    std::printf("  plain copy CPU time      %.3f s\n", copycpu);
    std::printf("  pipeline / plain copy    %.2f\n", copywall / wall);
    std::printf("  (CPU time includes the virtual drivers' signal generation; the line without the driver\n"
                "   threads leaves out that and the drivers' hand-off of each buffer into the card's pool)\n");
    return 0;
}
