// Writes and reads back 100 000 recording descriptors through the locked descriptor routines and,
// in the same run, the same number of plain 1372-byte files without locks, then prints both rates
// and their ratio. Usage: descriptor_bench [count] [folder]
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/main_thread_queue.h"
#include "recfiles/descriptor_files.h"

using namespace velk;

namespace {

struct Discard : MainMessageHandler {
    std::size_t lines = 0;
    void channelstate(const ChannelStateMessage&) override {}
    void logline(LogLineMessage&) override { ++lines; }
    void savedescriptor(SaveDescriptorMessage&) override {}
    void filecomplete(FileCompleteMessage&) override {}
};

std::vector<std::string> makepaths(const std::string& root, const char* kind, int count)
{
    std::vector<std::string> paths;
    paths.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        // Day folders of a thousand recordings each, as the data folder has.
        const std::string folder = root + "/" + kind + "/" + std::to_string(i / 1000);
        if (i % 1000 == 0)
            std::filesystem::create_directories(folder);
        char name[64];
        std::snprintf(name, sizeof name, "/%02d-%02d-%02d-Channel%d.velk", (i / 3600) % 24, (i / 60) % 60, i % 60, i % 7);
        paths.push_back(folder + name);
    }
    return paths;
}

double seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

}  // namespace

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 100000;
    std::string root = argc > 2 ? argv[2] : (std::filesystem::temp_directory_path() / "velk-descriptor-bench").string();
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root);
    ::setenv("VELK_DATA_ROOT", root.c_str(), 1);

    ScopedMainQueue queue;
    Discard sink;
    TRecDescriptor d;
    d.setname("Channel1");
    d.setpath("/rec/2024-03-05-09-07-02-Channel1.wav");
    d.samplerate = 44100;
    d.state = DESC_FINAL;
    const auto bytes = d.serialize();

    const auto locked = makepaths(root, "locked", count);
    const auto plain = makepaths(root, "plain", count);

    auto t0 = std::chrono::steady_clock::now();
    for (const auto& p : locked)
        writedescriptor(p, d);
    std::size_t ok = 0;
    for (const auto& p : locked) {
        TRecDescriptor back;
        ok += readdescriptor(p, back) && back.state == DESC_FINAL;
    }
    const double lockedtime = seconds(std::chrono::steady_clock::now() - t0);
    queue.queue().drain(&sink);

    t0 = std::chrono::steady_clock::now();
    for (const auto& p : plain) {
        const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            return 1;
        ::close(fd);
    }
    std::size_t plainok = 0;
    for (const auto& p : plain) {
        std::uint8_t back[TRecDescriptor::size];
        const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
        plainok += fd >= 0 && ::read(fd, back, sizeof back) == static_cast<ssize_t>(sizeof back);
        ::close(fd);
    }
    const double plaintime = seconds(std::chrono::steady_clock::now() - t0);

    const double lockedrate = count / lockedtime;
    const double plainrate = count / plaintime;
    std::printf("descriptors: %d written and read back (%zu verified, %zu log lines)\n", count, ok, sink.lines);
    std::printf("locked routines: %10.0f descriptors/s (write + read)\n", lockedrate);
    std::printf("plain files:     %10.0f descriptors/s (write + read, %zu verified)\n", plainrate, plainok);
    std::printf("ratio locked/plain: %.2f (goal: at least 0.50)\n", lockedrate / plainrate);
    std::filesystem::remove_all(root);
    return ok == static_cast<std::size_t>(count) ? 0 : 1;
}
