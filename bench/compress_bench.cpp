// Compresses a 10-minute 44.1 kHz stereo recording through the compression processor, to MP3
// (CBR 128 kbit/s) and to IMA ADPCM WAV, and in the same run encodes the same WAV with the `lame`
// and `ffmpeg` command-line programs at the same settings. Prints each speed as a multiple of real
// time and the processor's ratio to the program (goal: at least 0.9). Each side runs twice; the
// faster run counts. Usage: compress_bench [minutes] [folder]
#include <poll.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/recording_settings.h"
#include "core/byte_order.h"
#include "core/main_thread_queue.h"
#include "recfiles/codec_manager.h"
#include "recfiles/descriptor_files.h"
#include "recfiles/processor.h"

using namespace velk;
namespace fs = std::filesystem;

namespace {

struct Quiet : MainMessageHandler {
    void channelstate(const ChannelStateMessage&) override {}
    void logline(LogLineMessage&) override {}
    void savedescriptor(SaveDescriptorMessage&) override {}
    void filecomplete(FileCompleteMessage&) override {}
};

void writewav(const std::string& path, std::size_t frames)
{
    const std::uint32_t data = static_cast<std::uint32_t>(frames * 4);
    std::vector<std::uint8_t> h(44);
    std::memcpy(h.data(), "RIFF", 4);
    le::put32(h.data() + 4, 36 + data);
    std::memcpy(h.data() + 8, "WAVEfmt ", 8);
    le::put32(h.data() + 16, 16);
    pcmformat(44100, 2, 16).serialize(h.data() + 20);
    std::memcpy(h.data() + 36, "data", 4);
    le::put32(h.data() + 40, data);
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(h.data()), 44);
    // Speech-like material: two tones with a slow envelope and some noise.
    std::vector<std::uint8_t> block(44100 * 4);
    std::uint32_t noise = 1;
    for (std::size_t f = 0; f < frames;) {
        const std::size_t n = std::min<std::size_t>(44100, frames - f);
        for (std::size_t i = 0; i < n; ++i, ++f) {
            const double t = static_cast<double>(f) / 44100;
            const double env = 0.5 + 0.5 * std::sin(2 * M_PI * 0.3 * t);
            noise = noise * 1664525u + 1013904223u;
            const double l = env * 9000 * std::sin(2 * M_PI * 220 * t) + static_cast<int>(noise >> 21) - 1024;
            const double r = env * 9000 * std::sin(2 * M_PI * 330 * t) + static_cast<int>(noise >> 21) - 1024;
            le::put16(block.data() + 4 * i, static_cast<std::uint16_t>(static_cast<std::int16_t>(l)));
            le::put16(block.data() + 4 * i + 2, static_cast<std::uint16_t>(static_cast<std::int16_t>(r)));
        }
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n * 4));
    }
}

double seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// Runs one compression of a fresh copy of `master` through the processor; returns its seconds.
double processorrun(const TConfig& settings, const std::string& folder, const std::string& master,
                    const TRecDescriptor& base, MainThreadQueue& queue)
{
    const std::string wav = folder + "/take.wav";
    fs::copy_file(master, wav, fs::copy_options::overwrite_existing);
    fs::remove(folder + "/take.mp3");
    TRecDescriptor d = base;
    d.setpath(wav);
    const std::string task = folder + "/12-00-00-Bench.velk";
    writedescriptor(task, d);
    Quiet quiet;
    TProcessor processor(folder + "/", OwnFolders::of(settings), recordingsettings());
    const auto start = std::chrono::steady_clock::now();
    processor.addtask(task);
    while (!processor.queue().empty()) {
        pollfd fd{queue.wakeupfd(), POLLIN, 0};
        ::poll(&fd, 1, 1000);
        queue.drain(&quiet);
    }
    const double s = seconds(std::chrono::steady_clock::now() - start);
    TRecDescriptor back;
    if (!readdescriptor(task, back) || back.state != DESC_FINAL) {
        std::fprintf(stderr, "compression failed\n");
        std::exit(1);
    }
    return s;
}

double commandrun(const std::string& command)
{
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
    return seconds(std::chrono::steady_clock::now() - start);
}

void report(const char* what, const char* program, double audio, double ours, double theirs)
{
    std::printf("%-22s processor %7.1fx real time   %-7s %7.1fx real time   ratio %.2f (goal >= 0.90)\n", what,
                audio / ours, program, audio / theirs, theirs / ours);
}

}  // namespace

int main(int argc, char** argv)
{
    const double minutes = argc > 1 ? std::atof(argv[1]) : 10.0;
    const std::string folder = argc > 2 ? argv[2] : (fs::temp_directory_path() / "velk-compress-bench").string();
    fs::remove_all(folder);
    fs::create_directories(folder);
    ::setenv("VELK_DATA_ROOT", folder.c_str(), 1);
    ScopedMainQueue queue;
    TConfig c;
    c.normalize = false;
    c.samplerate = 5;  // 44100: bitrate index 5 is 128 kbit/s
    publishrecordingsettings(c);

    const double audio = minutes * 60;
    const std::string master = folder + "/master.wav";
    writewav(master, static_cast<std::size_t>(audio * 44100));

    TRecDescriptor base;
    base.state = DESC_WAITING;
    base.samplerate = 44100;
    base.peak = 16000;
    base.codec = 1;
    base.mp3mode = 0;
    base.bitrate = 5;
    base.mp3crc = 1;

    // MP3: CBR 128, plain stereo, quality 5, CRC, as the processor's encoder is set up.
    double ours = 1e9, theirs = 1e9;
    for (int i = 0; i < 2; ++i) {
        theirs = std::min(theirs, commandrun("lame --silent --nohist --noreplaygain -t -b 128 -m s -q 5 -p '" + master + "' '" + folder +
                                             "/lame.mp3'"));
        ours = std::min(ours, processorrun(c, folder, master, base, queue.queue()));
    }
    report("MP3 CBR 128 kbit/s", "lame", audio, ours, theirs);

    base.codec = 0;
    base.format = *codecmanager().suggest(WAVE_FORMAT_IMA_ADPCM, pcmformat(44100, 2, 16));
    ours = 1e9;
    theirs = 1e9;
    for (int i = 0; i < 2; ++i) {
        theirs = std::min(theirs, commandrun("ffmpeg -v error -y -i '" + master + "' -c:a adpcm_ima_wav '" + folder +
                                             "/ffmpeg.wav'"));
        ours = std::min(ours, processorrun(c, folder, master, base, queue.queue()));
    }
    report("IMA ADPCM WAV", "ffmpeg", audio, ours, theirs);
    fs::remove_all(folder);
    return 0;
}
