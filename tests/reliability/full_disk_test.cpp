// A full disk under a running `velkasio --headless`: small tmpfs mounts stand in for the output
// folder and for the data folder, are filled, and get their space back while the recorder runs.
// Also: the cleanup runs at start-up although nothing is compressed.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <vector>

#include "config/config.h"
#include "config/config_file.h"
#include "core/clock.h"
#include "recfiles/descriptor_files.h"
#include "tests/support/recording_fixture.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_folder.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool writeproc(const char* path, const std::string& text)
{
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

// Without root, a user and mount namespace of this test process (each test runs in a process of
// its own) lets it mount; the recorder started from here lives in the same namespace.
bool enternamespace()
{
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
        return false;
    writeproc("/proc/self/setgroups", "deny");
    return writeproc("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
           writeproc("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1") &&
           ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// A tmpfs of `bytes` mounted on `folder` for the test's lifetime.
class TmpfsMount {
public:
    TmpfsMount(const std::string& folder, std::size_t bytes) : folder_(folder)
    {
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
        mounted_ = ::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) == 0;
        if (!mounted_ && errno == EPERM && enternamespace())
            mounted_ = ::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) == 0;
        if (!mounted_)
            error_ = std::strerror(errno);
    }
    ~TmpfsMount()
    {
        if (mounted_)
            ::umount2(folder_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    const std::string& error() const { return error_; }

private:
    std::string folder_;
    bool mounted_ = false;
    std::string error_;
};

#define REQUIRE_MOUNT(m)                                                                                      \
    if (!(m).mounted())                                                                                       \
    GTEST_SKIP() << "cannot mount a small tmpfs here (needs root or user namespaces): " << (m).error()

// Fills the file system of `folder` with "<folder>/filler" until it is full, then gives back
// `leave` bytes.
void fill(const std::string& folder, std::size_t leave)
{
    const std::string path = folder + "/filler";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    std::vector<char> chunk(64 * 1024, 'x');
    off_t total = 0;
    for (;;) {
        const ssize_t n = ::write(fd, chunk.data(), chunk.size());
        if (n <= 0)
            break;
        total += n;
    }
    ASSERT_EQ(::ftruncate(fd, std::max<off_t>(0, total - static_cast<off_t>(leave))), 0);
    ::close(fd);
}

using test::filesbelow;

std::size_t count(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Reads the program's output until `done` holds for it.
bool waituntil(test::ChildProcess& program, const std::function<bool(const std::string&)>& done,
               std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done(program.output())) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        program.waitforline("\x01", 100ms);
    }
    return true;
}

// The whole line of the output that contains `text`.
std::string linewith(const std::string& output, const std::string& text)
{
    const auto at = output.find(text);
    if (at == std::string::npos)
        return {};
    const auto end = output.find('\n', at);
    return output.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// Saves a configuration of manual 8 kHz mono channels on the virtual card, switched on at start.
std::string saveconfiguration(const std::vector<std::string>& names, const std::string& outfolder,
                              const std::function<void(TConfig&)>& edit = {})
{
    const TConfig saved = config();
    loadconfig(config());
    TConfig& c = config();
    c.outfolder = outfolder;
    c.num = static_cast<std::int32_t>(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        TChannelConfig& ch = c.channels[i];
        ch = TChannelConfig{};
        ch.card = 0;
        ch.chnum = static_cast<std::int32_t>(i);
        ch.name = names[i];
        ch.folder = outfolder + "/" + names[i];
        ch.mode = 1;
    }
    c.samplerate = 0;
    c.format = pcmwaveformat(8000, 1, 16);
    c.codec = 0;
    c.autorecording = true;
    if (edit)
        edit(c);
    saveconfig(c);
    const std::string common = c.common_path;
    config() = saved;
    return common;
}

std::vector<std::string> programenv(const test::TempDataRoot& root)
{
    return {"VELK_DATA_ROOT=" + root.root(), "VELK_VIRTUAL_CARDS=1", "LC_ALL=C"};
}

// The output disk fills while two channels record: each channel's file is finished as far as it
// got, the error names the reason and the free space, the low-space alarm speaks once, and within
// five seconds of the space coming back each channel records into a new file; the gap is logged.
TEST(FullDisk, FullOutputDiskCutsTheFilesAndRecordingResumesWhenSpaceReturns)
{
    test::TempDataRoot root;
    test::TempFolder outside;
    const std::string out = outside.path() + "/out";
    fs::create_directories(out);
    TmpfsMount disk(out, 4 * 1024 * 1024);
    REQUIRE_MOUNT(disk);
    const std::string common =
        saveconfiguration({"Ch1", "Ch2"}, out, [](TConfig& c) { c.lowspaceminutes = 1; });
    // Two channels of 16000 bytes a second: this lasts about three seconds.
    fill(out, 96 * 1024);

    test::ChildProcess program(VELKASIO_PATH, {"--headless"}, programenv(root));
    ASSERT_TRUE(program.waitforline("VELK System Activated.")) << program.output();
    ASSERT_TRUE(waituntil(
        program,
        [](const std::string& o) {
            return o.find("Error: Failed to write data to file Ch1") != std::string::npos &&
                   o.find("Error: Failed to write data to file Ch2") != std::string::npos;
        },
        30s))
        << program.output();
    for (const char* name : {"Ch1", "Ch2"}) {
        const std::string line = linewith(program.output(), std::string("Error: Failed to write data to file ") + name);
        EXPECT_NE(line.find(std::string(name) + ": No space left on device ("), std::string::npos) << line;
        EXPECT_NE(line.find(" bytes free)"), std::string::npos) << line;
    }
    EXPECT_EQ(count(program.output(), "Low disk space: "), 1u) << program.output();

    fs::remove(out + "/filler");
    // The writer looks once per second of audio; five seconds is the promise.
    ASSERT_TRUE(waituntil(
        program,
        [](const std::string& o) {
            return o.find("Recording resumed after a gap of ") != std::string::npos &&
                   o.find(" s: Ch1") != std::string::npos && count(o, "Recording resumed after a gap of ") == 2;
        },
        5s))
        << program.output();
    ASSERT_TRUE(program.waitforline("Disk space recovered: ", 15s)) << program.output();
    program.signal(SIGTERM);
    ASSERT_EQ(program.wait(), 0) << program.output();

    const std::string output = program.output();
    EXPECT_EQ(count(output, "Low disk space: "), 1u) << output;
    EXPECT_EQ(count(output, "Disk space recovered: "), 1u) << output;
    EXPECT_EQ(count(output, "Error: "), 2u) << output;
    for (const char* name : {"Ch1", "Ch2"}) {
        const auto wavs = filesbelow(out + "/" + name, ".wav");
        ASSERT_EQ(wavs.size(), 2u) << name;
        for (const std::string& path : wavs) {
            const test::WavFile w = test::readwav(path);
            ASSERT_TRUE(w.ok) << path;
            EXPECT_EQ(w.filesize, 44u + w.datasize) << path;
            EXPECT_GT(w.datasize, 0u) << path;
        }
    }
    const auto descriptors = filesbelow(common + "Data", ".velk");
    ASSERT_EQ(descriptors.size(), 4u);
    std::vector<TRecDescriptor> ds;
    for (const std::string& path : descriptors) {
        TRecDescriptor d;
        ASSERT_TRUE(readdescriptor(path, d)) << path;
        EXPECT_EQ(d.state, DESC_FINAL) << path;
        ds.push_back(d);
    }
    // The cut-off file stops before the next one of its channel starts.
    for (const char* name : {"Ch1", "Ch2"}) {
        std::vector<TRecDescriptor> mine;
        for (const auto& d : ds)
            if (d.getname() == name)
                mine.push_back(d);
        ASSERT_EQ(mine.size(), 2u) << name;
        std::sort(mine.begin(), mine.end(), [](const auto& a, const auto& b) { return a.start < b.start; });
        EXPECT_LT(mine[0].stop, mine[1].start) << name;
    }
}

// A full data folder: the descriptors and the status-log lines wait in memory and are written
// once there is room; no recording is left without its descriptor.
TEST(FullDisk, FullDataFolderKeepsDescriptorsAndLogLinesUntilThereIsRoom)
{
    test::TempDataRoot root;
    test::TempFolder outside;
    TmpfsMount disk(root.root(), 2 * 1024 * 1024);
    REQUIRE_MOUNT(disk);
    const std::string common = saveconfiguration({"Ch1"}, outside.path());
    fill(root.root(), 0);

    test::ChildProcess program(VELKASIO_PATH, {"--headless"}, programenv(root));
    ASSERT_TRUE(program.waitforline("VELK System Activated.")) << program.output();
    ASSERT_TRUE(program.waitforline("Write to VELK file, size mismatch: 0")) << program.output();
    EXPECT_TRUE(filesbelow(common + "Data", ".velk").empty());

    fs::remove(root.root() + "/filler");
    ASSERT_TRUE(program.waitforline("Recording descriptor written after a failed write: ", 10s)) << program.output();
    const auto written = filesbelow(common + "Data", ".velk");
    ASSERT_EQ(written.size(), 1u);
    TRecDescriptor d;
    ASSERT_TRUE(readdescriptor(written[0], d));
    EXPECT_EQ(d.state, DESC_RECORDING);

    program.signal(SIGTERM);
    ASSERT_EQ(program.wait(), 0) << program.output();
    ASSERT_TRUE(readdescriptor(written[0], d));
    EXPECT_EQ(d.state, DESC_FINAL);
    EXPECT_EQ(filesbelow(outside.path(), ".wav").size(), 1u);
    // The lines logged while nothing could be filed reached the day's log.
    std::string logs;
    for (const std::string& path : filesbelow(common + "Logs", ".log"))
        logs += test::readtextfile(path);
    EXPECT_NE(logs.find("Write to VELK file, size mismatch: 0"), std::string::npos) << logs;
    EXPECT_NE(logs.find("VELK Closed."), std::string::npos);
}

// Plain WAV recordings are never compressed, and the old ones still go: the cleanup runs at
// start-up.
TEST(FullDisk, CleanupRunsAtStartUpWithoutAnyCompression)
{
    test::TempDataRoot root;
    test::TempFolder outside;
    const std::string common =
        saveconfiguration({}, outside.path(), [](TConfig& c) { c.cleanuptime = 100; });
    const std::string audio = outside.path() + "/old.wav";
    test::writetextfile(audio, "RIFF");
    const std::string folder = common + "Data/2020/01/01";
    fs::create_directories(folder);
    TRecDescriptor d;
    d.version = 2;
    d.start = appclock().nowlocal() - 200;
    d.stop = d.start + 0.01;
    d.state = DESC_FINAL;
    d.samplerate = 8000;
    d.setname("Old");
    d.setpath(audio);
    ASSERT_TRUE(writedescriptor(folder + "/00-00-00-Old.velk", d));

    test::ChildProcess program(VELKASIO_PATH, {"--headless"}, programenv(root));
    ASSERT_TRUE(program.waitforline("Cleanup finished. Deleted 1 recordings")) << program.output();
    program.signal(SIGTERM);
    ASSERT_EQ(program.wait(), 0) << program.output();
    EXPECT_FALSE(fs::exists(audio));
    EXPECT_FALSE(fs::exists(folder + "/00-00-00-Old.velk"));
}

}  // namespace
}  // namespace velk
