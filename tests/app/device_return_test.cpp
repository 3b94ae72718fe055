// The ASIO edition recording from a real JACK server (dummy backend, under a server name of the
// test's own) while the server goes away: killed and started again under a recording
// `velkasio --headless`, and started only after the recorder. The gap shows in the files'
// lengths and in their descriptors' times; the configuration keeps the channel and the card's name.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <thread>

#include "config/config.h"
#include "config/config_file.h"
#include "core/clock.h"
#include "engine/jack_driver.h"
#include "recfiles/descriptor_files.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/recording_fixture.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_folder.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::waituntil;

constexpr double dayseconds = 86400.0;

class DeviceReturnTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        server_ = "velkdevices" + std::to_string(::getpid());
        recordings_ = root_.root() + "/rec";
    }
    void TearDown() override { stopserver(SIGTERM); }

    void startserver()
    {
        jackd_ = std::make_unique<test::ChildProcess>(
            "/usr/bin/jackd", std::vector<std::string>{"-n", server_, "-d", "dummy", "-r", "48000", "-p", "1024"},
            std::vector<std::string>{"JACK_NO_AUDIO_RESERVATION=1"});
    }
    bool serverup() { return waituntil([&] { return JackDriver::serverrunning(server_); }, std::chrono::seconds(10)); }
    void stopserver(int signo)
    {
        if (!jackd_)
            return;
        jackd_->signal(signo);
        jackd_->wait(std::chrono::seconds(10));
        jackd_.reset();
    }

    // One manual channel "Man" on card 0, switched on at start-up; card 0 stored as `cardname`.
    void writeconfig(const std::string& cardname)
    {
        const TConfig saved = config();
        loadconfig(config());
        TConfig& c = config();
        c.num = 1;
        c.channels[0] = TChannelConfig{};
        c.channels[0].name = "Man";
        c.channels[0].folder = recordings_ + "/Man";
        c.channels[0].mode = 1;
        c.cardnames = {};
        c.cardnames[0] = cardname;
        c.samplerate = 6;
        c.format = pcmwaveformat(48000, 1, 16);
        c.codec = 0;
        c.autorecording = true;
        saveconfig(c);
        common_ = c.common_path;
        config() = saved;
    }

    std::unique_ptr<test::ChildProcess> startrecorder()
    {
        return std::make_unique<test::ChildProcess>(
            VELKASIO_PATH, std::vector<std::string>{"--headless"},
            std::vector<std::string>{"VELK_DATA_ROOT=" + root_.root(), "VELK_DRIVER_FOLDER=" + drivers_.path(),
                                     "JACK_DEFAULT_SERVER=" + server_, "JACK_NO_AUDIO_RESERVATION=1", "LC_ALL=C"});
    }

    std::vector<std::string> wavs() const
    {
        std::vector<std::string> out;
        if (fs::exists(recordings_))
            for (const auto& e : fs::recursive_directory_iterator(recordings_))
                if (e.is_regular_file() && e.path().extension() == ".wav")
                    out.push_back(e.path().string());
        std::sort(out.begin(), out.end());
        return out;
    }
    // Waits until recording number `n` (0-based) holds at least `seconds` of audio on disk.
    bool recorded(std::size_t n, double seconds)
    {
        return waituntil(
            [&] {
                const auto w = wavs();
                std::error_code ec;
                return w.size() > n && static_cast<double>(fs::file_size(w[n], ec)) >= 44 + seconds * 96000;
            },
            std::chrono::seconds(20));
    }
    std::vector<TRecDescriptor> descriptors() const
    {
        std::vector<TRecDescriptor> out;
        for (const auto& e : fs::recursive_directory_iterator(common_ + "Data"))
            if (e.is_regular_file() && e.path().extension() == ".velk") {
                TRecDescriptor d;
                EXPECT_TRUE(readdescriptor(e.path().string(), d)) << e.path();
                out.push_back(d);
            }
        std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.start < b.start; });
        return out;
    }
    static double seconds(const std::string& wav) { return test::readwav(wav).samples.size() / 48000.0; }

    // libjack's own messages reach the output only as status-log lines, each text once.
    static void expectjackmessagesonce(const std::string& output)
    {
        std::istringstream in(output);
        std::vector<std::string> seen;
        for (std::string line; std::getline(in, line);) {
            const std::size_t at = line.find("; JACK: ");
            if (at == std::string::npos)
                continue;
            const std::string text = line.substr(at);
            EXPECT_EQ(std::count(seen.begin(), seen.end(), text), 0) << line;
            seen.push_back(text);
        }
        for (const char* raw : {"Cannot connect to server", "JackSocketClientChannel", "jack server is not running"}) {
            std::size_t from = 0;
            while ((from = output.find(raw, from)) != std::string::npos) {
                const std::size_t bol = output.rfind('\n', from);
                const std::string start = output.substr(bol == std::string::npos ? 0 : bol + 1, from - (bol == std::string::npos ? 0 : bol + 1));
                EXPECT_NE(start.find("; JACK: "), std::string::npos) << "unfiltered: " << start << raw;
                from += 1;
            }
        }
    }

    test::TempDataRoot root_;
    test::TempFolder drivers_;  // no registered drivers: JACK is the only card
    std::string server_;
    std::string recordings_;
    std::string common_;
    std::unique_ptr<test::ChildProcess> jackd_;
};

TEST_F(DeviceReturnTest, AServerKilledAndStartedAgainEndsTheFileAndRecordsIntoANewOne)
{
    startserver();
    if (!serverup())
        GTEST_SKIP() << "jackd could not start here: " << jackd_->output();
    writeconfig("");  // as an older configuration: cards by number
    auto program = startrecorder();
    ASSERT_TRUE(program->waitforline("Record started: Man")) << program->output();
    ASSERT_TRUE(recorded(0, 1.0)) << program->output();

    const TDateTime killed = appclock().nowlocal();
    stopserver(SIGKILL);
    ASSERT_TRUE(program->waitforline("Sound card lost: JACK", std::chrono::seconds(10))) << program->output();
    startserver();
    ASSERT_TRUE(serverup()) << jackd_->output();
    const TDateTime up = appclock().nowlocal();
    ASSERT_TRUE(program->waitforline("Sound card back: JACK", std::chrono::seconds(10))) << program->output();
    ASSERT_TRUE(program->waitforline("Record started: Man", std::chrono::seconds(5))) << program->output();
    ASSERT_TRUE(recorded(1, 1.0)) << program->output();
    program->signal(SIGTERM);
    ASSERT_EQ(program->wait(), 0) << program->output();
    const std::string out = program->output();
    expectjackmessagesonce(out);

    const auto files = wavs();
    ASSERT_EQ(files.size(), 2u) << out;
    const auto d = descriptors();
    ASSERT_EQ(d.size(), 2u);
    for (const auto& x : d)
        EXPECT_EQ(x.state, 3);
    // The first recording ends where its audio ends, when the server went.
    EXPECT_NEAR((d[0].stop - d[0].start) * dayseconds, seconds(files[0]), 1.5);
    EXPECT_NEAR((d[0].stop - killed) * dayseconds, 0.0, 1.5);
    // The second begins within 5 seconds of the server's return; the gap is the time without it.
    const double resumed = (d[1].start - up) * dayseconds;
    EXPECT_GE(resumed, -1.0);
    EXPECT_LE(resumed, 5.0);
    const double gap = (d[1].start - d[0].stop) * dayseconds;
    EXPECT_GE(gap, 0.0);
    EXPECT_LE(gap, (up - killed) * dayseconds + 5.0);
    EXPECT_NEAR((d[1].stop - d[1].start) * dayseconds, seconds(files[1]), 1.5);

    // The card's name is stored beside its number for the next start.
    const TConfig saved = config();
    loadconfig(config());
    EXPECT_EQ(config().cardnames[0], "JACK");
    config() = saved;
}

TEST_F(DeviceReturnTest, AConfiguredCardStartedAfterTheRecorderIsWaitedForAndRecorded)
{
    writeconfig("JACK");
    auto program = startrecorder();
    ASSERT_TRUE(program->waitforline("Waiting for sound card: JACK")) << program->output();
    ASSERT_TRUE(program->waitforline("VELK System Activated.")) << program->output();
    // The recorder runs a while without its card; nothing is recorded, nothing is dropped.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_TRUE(wavs().empty());
    startserver();
    if (!serverup())
        GTEST_SKIP() << "jackd could not start here: " << jackd_->output();
    const TDateTime up = appclock().nowlocal();
    ASSERT_TRUE(program->waitforline("Sound card back: JACK", std::chrono::seconds(10))) << program->output();
    ASSERT_TRUE(program->waitforline("Record started: Man", std::chrono::seconds(5))) << program->output();
    ASSERT_TRUE(recorded(0, 1.0)) << program->output();
    program->signal(SIGTERM);
    ASSERT_EQ(program->wait(), 0) << program->output();
    const std::string out = program->output();
    EXPECT_EQ(out.find("Sound card not exist"), std::string::npos) << out;
    EXPECT_EQ(out.find("No sound card found"), std::string::npos) << out;
    expectjackmessagesonce(out);

    ASSERT_EQ(wavs().size(), 1u);
    const auto d = descriptors();
    ASSERT_EQ(d.size(), 1u);
    EXPECT_LE((d[0].start - up) * dayseconds, 5.0);

    const TConfig saved = config();
    loadconfig(config());
    EXPECT_EQ(config().num, 1);
    EXPECT_EQ(config().channels[0].name, "Man");
    EXPECT_EQ(config().cardnames[0], "JACK");
    config() = saved;
}

}  // namespace
}  // namespace velk
