// A real JACK server with its dummy backend, started and stopped by the test under a server name
// of its own (so no user's server is touched): a small client plays known signals on its output
// ports, the JACK driver's inputs are connected to them, and the capture session records mono
// and stereo channels whose WAV files are checked sample for sample. Skipped, with the reason,
// only when jackd cannot start here.

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "engine/capture_session.h"
#include "engine/channel.h"
#include "engine/jack_driver.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/recording_fixture.h"
#include "tests/support/child_process.h"

namespace velk {
namespace {

using test::waituntil;

// Port k plays the integer ramp ((n + 1000 k) mod 20000) - 10000 as floats of full scale 32767.
class Feeder {
public:
    explicit Feeder(const std::string& server)
    {
        jack_status_t status{};
        client_ = jack_client_open("feeder", static_cast<jack_options_t>(JackNoStartServer | JackServerName), &status,
                                   server.c_str());
        if (!client_)
            return;
        for (int k = 0; k < 4; ++k)
            ports_[k] = jack_port_register(client_, ("out_" + std::to_string(k + 1)).c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                           JackPortIsOutput, 0);
        jack_set_process_callback(client_, &Feeder::process, this);
        jack_activate(client_);
    }
    ~Feeder()
    {
        if (client_) {
            jack_deactivate(client_);
            jack_client_close(client_);
        }
    }
    bool ok() const { return client_ != nullptr; }
    // Asks the server for another buffer size, as a user's patchbay would.
    int setbuffersize(jack_nframes_t frames) { return jack_set_buffer_size(client_, frames); }
    std::uint64_t frames() const { return frames_.load(); }

private:
    static int process(jack_nframes_t nframes, void* arg)
    {
        auto* self = static_cast<Feeder*>(arg);
        const std::uint64_t start = self->frames_.load();
        for (int k = 0; k < 4; ++k) {
            auto* out = static_cast<float*>(jack_port_get_buffer(self->ports_[k], nframes));
            for (jack_nframes_t i = 0; i < nframes; ++i) {
                const auto v = static_cast<std::int64_t>((start + i + 1000u * k) % 20000) - 10000;
                out[i] = static_cast<float>(static_cast<double>(v) / 32767.0);
            }
        }
        self->frames_ = start + nframes;
        return 0;
    }

    jack_client_t* client_ = nullptr;
    jack_port_t* ports_[4] = {};
    std::atomic<std::uint64_t> frames_{0};
};

// The ramp value that follows `v` on port-relative time.
std::int16_t next(std::int16_t v) { return static_cast<std::int16_t>(v == 9999 ? -10000 : v + 1); }
std::int16_t shifted(std::int16_t v, int by) { return static_cast<std::int16_t>((v + 10000 + by) % 20000 - 10000); }

class JackEndToEndTest : public test::RecordingTest {
protected:
    void SetUp() override
    {
        server_ = "velktest" + std::to_string(::getpid());
        // Everything in this process that asks for the default server gets ours.
        setenv("JACK_DEFAULT_SERVER", server_.c_str(), 1);
        setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
        startserver();
        if (!waituntil([&] { return JackDriver::serverrunning(server_); }, std::chrono::seconds(10)))
            GTEST_SKIP() << "jackd could not start here: " << jackd_->output();
    }
    void startserver()
    {
        jackd_ = std::make_unique<test::ChildProcess>(
            "/usr/bin/jackd", std::vector<std::string>{"-n", server_, "-d", "dummy", "-r", "48000", "-p", "256"},
            std::vector<std::string>{"JACK_NO_AUDIO_RESERVATION=1"});
    }
    // The JACK driver of the card: the feeder's ports on our server.
    TDavAsioDriverDescription jackdescription(int ports)
    {
        JackDriverSettings js;
        js.servername = server_;
        for (int k = 1; k <= ports; ++k)
            js.sources.push_back("feeder:out_" + std::to_string(k));
        TDavAsioDriverDescription d;
        d.name = "JACK";
        d.path = "builtin:jack";
        d.factory = [js] { return DriverPtr(new JackDriver(js)); };
        return d;
    }
    void TearDown() override
    {
        if (jackd_) {
            jackd_->signal(SIGTERM);
            jackd_->wait(std::chrono::seconds(10));
        }
        unsetenv("JACK_DEFAULT_SERVER");
    }

    std::string server_;
    std::unique_ptr<test::ChildProcess> jackd_;
};

TEST_F(JackEndToEndTest, RecordsMonoAndStereoChannelsFromJackPortsSampleForSample)
{
    config().samplerate = 6;
    config().format = pcmwaveformat(48000, 1, 16);
    publishrecordingsettings();
    Feeder feeder(server_);
    ASSERT_TRUE(feeder.ok());

    JackDriverSettings js;
    js.servername = server_;
    js.sources = {"feeder:out_1", "feeder:out_2", "feeder:out_3", "feeder:out_4"};
    TDavAsioDriverDescription d;
    d.name = "JACK";
    d.path = "builtin:jack";
    d.factory = [js] { return DriverPtr(new JackDriver(js)); };
    test::DriverSourceScope scope({d});

    TSCapture card(test::listed(), 0, 48000);
    EXPECT_EQ(card.actualrate(), 48000);
    EXPECT_EQ(card.host().BufferSize(), 256);
    EXPECT_EQ(card.inputcount(false), 4);
    EXPECT_EQ(card.inputname(0, false), "feeder:out_1");

    TChannel mono("mono", &card, 1, false);
    mono.setfolder(recordings.path() + "/mono");
    mono.connect(&card);
    TChannel pair("pair", &card, 1, true);
    pair.setfolder(recordings.path() + "/pair");
    pair.connect(&card);
    mono.startrecording();
    pair.startrecording();
    card.start();
    const std::uint64_t until = feeder.frames() + 48000 / 2;
    ASSERT_TRUE(waituntil([&] { return feeder.frames() >= until; }));
    card.stop();
    mono.stoprecording();
    pair.stoprecording();
    mono.disconnect();
    pair.disconnect();
    drain();

    const auto monofiles = filesin(recordings.path() + "/mono");
    const auto pairfiles = filesin(recordings.path() + "/pair");
    ASSERT_EQ(monofiles.size(), 1u);
    ASSERT_EQ(pairfiles.size(), 1u);
    const test::WavFile m = test::readwav(recordings.path() + "/mono/" + monofiles[0]);
    const test::WavFile p = test::readwav(recordings.path() + "/pair/" + pairfiles[0]);
    ASSERT_GE(m.samples.size(), 48000u / 4);
    EXPECT_EQ(m.samples.size() % 256, 0u);
    // The first cycles after activation may be silent: the inputs are connected once the client
    // runs. From the first sound on, input 1 plays the ramp: every sample follows its predecessor.
    // The ports are connected one after the other, so each input's sound begins on its own cycle.
    ASSERT_EQ(p.samples.size(), 2 * m.samples.size());
    std::size_t first = 0;
    while (first < m.samples.size() &&
           (m.samples[first] == 0 || p.samples[2 * first] == 0 || p.samples[2 * first + 1] == 0))
        ++first;
    ASSERT_LT(first, m.samples.size() / 2);
    for (std::size_t i = first + 1; i < m.samples.size(); ++i)
        ASSERT_EQ(m.samples[i], next(m.samples[i - 1])) << i;
    EXPECT_EQ(p.fmt.nChannels, 2);
    for (std::size_t i = first + 1; i < m.samples.size(); ++i) {
        // Pair 1 is inputs 2 and 3: 1000 and 2000 frames ahead of input 1.
        ASSERT_EQ(p.samples[2 * i], shifted(m.samples[i], 1000)) << i;
        ASSERT_EQ(p.samples[2 * i + 1], shifted(m.samples[i], 2000)) << i;
    }
    EXPECT_EQ(card.lostblocks(), 0u);
}

TEST_F(JackEndToEndTest, AServerBufferSizeChangeReopensTheCardAtTheNewSize)
{
    Feeder feeder(server_);
    ASSERT_TRUE(feeder.ok());
    JackDriverSettings js;
    js.servername = server_;
    js.sources = {"feeder:out_1", "feeder:out_2"};
    TDavAsioDriverDescription d;
    d.name = "JACK";
    d.path = "builtin:jack";
    d.factory = [js] { return DriverPtr(new JackDriver(js)); };
    test::DriverSourceScope scope({d});

    TSCapture card(test::listed(), 0, 48000);
    card.start();
    ASSERT_EQ(card.host().BufferSize(), 256);
    ASSERT_EQ(feeder.setbuffersize(512), 0);
    // The reset request travels through the main-thread queue, which this test thread drains.
    ASSERT_TRUE(waituntil([&] {
        drain();
        return card.host().BufferSize() == 512;
    }));
    EXPECT_FALSE(card.stopped());
    EXPECT_TRUE(card.host().Active());
    const std::uint64_t before = feeder.frames();
    ASSERT_TRUE(waituntil([&] { return feeder.frames() > before + 4096; }));
    card.stop();
    drain();
    // One reset sequence: the requests the old client made after it was replaced are dropped.
    EXPECT_EQ(sink.textswith("Reset Command received for card: "),
              std::vector<std::string>{"Reset Command received for card: 0"});
    EXPECT_EQ(sink.textswith("Latency changed to ").size(), 1u) << ::testing::PrintToString(sink.texts);
    EXPECT_TRUE(sink.textswith("JACK: ").empty()) << ::testing::PrintToString(sink.texts);
    EXPECT_EQ(card.lostblocks(), 0u);
}

TEST_F(JackEndToEndTest, AServerReplacedUnderTheSameNameWhileRecordingRecordsIntoANewFile)
{
    config().samplerate = 6;
    config().format = pcmwaveformat(48000, 1, 16);
    publishrecordingsettings();
    auto feeder = std::make_unique<Feeder>(server_);
    ASSERT_TRUE(feeder->ok());
    test::DriverSourceScope scope({jackdescription(1)});
    TSCapture card(test::listed(), 0, 48000);
    TChannel mono("mono", &card, 0, false);
    mono.setfolder(recordings.path() + "/mono");
    mono.connect(&card);
    mono.startrecording();
    card.start();
    std::uint64_t until = feeder->frames() + 48000 / 4;
    ASSERT_TRUE(waituntil([&] { return feeder->frames() >= until; }));

    // The server goes and another one takes its name before the recorder notices.
    jackd_->signal(SIGKILL);
    jackd_->wait(std::chrono::seconds(10));
    feeder.reset();
    startserver();
    ASSERT_TRUE(waituntil([&] { return JackDriver::serverrunning(server_); }, std::chrono::seconds(10)));
    feeder = std::make_unique<Feeder>(server_);
    ASSERT_TRUE(feeder->ok());
    clock.advance(std::chrono::seconds(5));  // the next file gets another name
    // The main thread's queue and the card watch's check, as the program runs them.
    ASSERT_TRUE(waituntil([&] {
        drain();
        card.checkdevice(test::listed());
        return !card.inputlost() && card.host().Active() && mono.writer().fileopen();
    }));
    until = feeder->frames() + 48000 / 4;
    ASSERT_TRUE(waituntil([&] { return feeder->frames() >= until; }));
    card.stop();
    mono.stoprecording();
    mono.disconnect();
    drain();

    EXPECT_EQ(sink.textswith("Sound card lost: JACK").size(), 1u) << ::testing::PrintToString(sink.texts);
    EXPECT_EQ(sink.textswith("Sound card back: JACK").size(), 1u) << ::testing::PrintToString(sink.texts);
    const auto files = filesin(recordings.path() + "/mono");
    ASSERT_EQ(files.size(), 2u);
    // The second file grows with the new server's audio: the ramp, sample after sample.
    const test::WavFile w = test::readwav(recordings.path() + "/mono/" + files[1]);
    ASSERT_GE(w.samples.size(), 48000u / 8);
    std::size_t first = 0;
    while (first < w.samples.size() && w.samples[first] == 0)
        ++first;
    ASSERT_LT(first, w.samples.size() / 2);
    for (std::size_t i = first + 1; i < w.samples.size(); ++i)
        ASSERT_EQ(w.samples[i], next(w.samples[i - 1])) << i;
    for (const auto& d : descriptors())
        EXPECT_EQ(d.d.state, 3) << d.file;
}

}  // namespace
}  // namespace velk
