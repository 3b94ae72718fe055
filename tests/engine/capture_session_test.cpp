// The capture session over the virtual driver, all the way to WAV files: the slices channels
// receive, 16-bit conversion with clamping, levels, the card table's start-up with a failing
// driver, a reset while recording and a rate change while a manual channel records.

#include "engine/capture_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "engine/card_set.h"
#include "core/user_notifier.h"
#include "engine/channel.h"
#include "tests/support/capturing_notifier.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/recording_fixture.h"

namespace velk {
namespace {

using test::DriverSourceScope;
using test::waituntil;

VirtualSignal ramp(std::int64_t offset)
{
    VirtualSignal s;
    s.kind = VirtualSignal::ramp;
    s.offset = offset;
    return s;
}

std::int16_t rampat(std::int64_t frame, std::int64_t offset)
{
    return static_cast<std::int16_t>((frame + offset) % 20000 - 10000);
}

class CaptureSessionTest : public test::RecordingTest {
protected:
    CaptureSessionTest()
    {
        config().samplerate = 6;  // 48000 Hz
        config().format = pcmwaveformat(48000, 1, 16);
        publishrecordingsettings();
        settings = test::freerunning(8, 64);
        settings->sampletype = ASIOSTInt16LSB;
        for (int k = 0; k < 8; ++k)
            settings->signals.push_back(ramp(1000 * k));
    }

    // Opens the card on driver 0 and paces the driver by the card's spare blocks.
    std::unique_ptr<TSCapture> opencard()
    {
        auto card = std::make_unique<TSCapture>(test::listed(), 0, 48000);
        TSCapture* raw = card.get();
        settings->canproduce = [raw] { return raw->freeblocks() > 4; };
        return card;
    }

    std::unique_ptr<TChannel> manualchannel(TSCapture& card, const std::string& name, int ch, bool stereo)
    {
        auto channel = std::make_unique<TChannel>(name, &card, ch, stereo);
        channel->setfolder(recordings.path() + "/" + name);
        channel->setmode(ChannelMode::manual);
        channel->connect(&card);
        return channel;
    }

    // Streams until the driver has delivered `count` more buffers.
    void stream(std::uint64_t count)
    {
        const std::uint64_t target = settings->control->buffers() + count;
        ASSERT_TRUE(waituntil([&] { return settings->control->buffers() >= target; }));
    }

    std::vector<test::WavFile> wavsin(const std::string& name)
    {
        std::vector<test::WavFile> out;
        for (const std::string& f : filesin(recordings.path() + "/" + name))
            out.push_back(test::readwav(recordings.path() + "/" + name + "/" + f));
        return out;
    }

    // The log without the writer's file lines.
    std::vector<std::string> sessionlines() const
    {
        std::vector<std::string> out;
        for (const auto& l : sink.texts)
            if (l.rfind("New file: ", 0) != 0)
                out.push_back(l);
        return out;
    }

    std::shared_ptr<VirtualDriverSettings> settings;
    TCardSet cards{config()};
};

TEST_F(CaptureSessionTest, ChannelsReceiveTheirInputsAndPairsSampleForSample)
{
    DriverSourceScope scope({virtualdescription("Card", settings)});
    auto card = opencard();
    auto mono = manualchannel(*card, "mono", 3, false);
    auto pair = manualchannel(*card, "pair", 1, true);
    mono->startrecording();
    pair->startrecording();
    card->start();
    stream(200);
    card->stop();
    EXPECT_EQ(card->lostblocks(), 0u);
    const std::uint64_t frames = settings->control->position();
    mono->stoprecording();
    pair->stoprecording();
    drain();

    const auto m = wavsin("mono");
    ASSERT_EQ(m.size(), 1u);
    ASSERT_EQ(m[0].samples.size(), frames);
    EXPECT_EQ(m[0].fmt, pcmformat(48000, 1, 16));
    for (std::size_t i = 0; i < frames; ++i)
        ASSERT_EQ(m[0].samples[i], rampat(i, 3000)) << i;

    const auto p = wavsin("pair");
    ASSERT_EQ(p.size(), 1u);
    ASSERT_EQ(p[0].samples.size(), 2 * frames);
    EXPECT_EQ(p[0].fmt.nChannels, 2);
    for (std::size_t i = 0; i < frames; ++i) {
        ASSERT_EQ(p[0].samples[2 * i], rampat(i, 2000)) << i;
        ASSERT_EQ(p[0].samples[2 * i + 1], rampat(i, 3000)) << i;
    }
    mono->disconnect();
    pair->disconnect();
}

// Every recording setting changes on the main thread, again and again, while 16 channels record
// on one card: each change applies from a block on, and every file comes out whole, sample for
// sample, with no frame missing between one file and the next.
TEST_F(CaptureSessionTest, SettingsChangedWhileSixteenChannelsRecordLeaveEveryFileWhole)
{
    settings = test::freerunning(16, 64);
    settings->sampletype = ASIOSTInt16LSB;
    for (int k = 0; k < 16; ++k)
        settings->signals.push_back(ramp(1000 * k));
    DriverSourceScope scope({virtualdescription("Card", settings)});
    setlocal(2026, 3, 5, 10, 0, 0);
    auto card = opencard();
    // Exactly `count` more buffers per call, so every file stays shorter than the ramp's period.
    std::atomic<std::uint64_t> limit{0};
    TSCapture* raw = card.get();
    VirtualDriverSettings* driver = settings.get();
    settings->canproduce = [raw, driver, &limit] {
        return raw->freeblocks() > 4 && driver->control->buffers() < limit.load();
    };
    std::size_t pool = 0;  // every block back in the pool: the channels have had them all
    auto paced = [&](std::uint64_t count) {
        limit += count;
        ASSERT_TRUE(waituntil([&] { return driver->control->buffers() >= limit.load() && raw->freeblocks() == pool; }));
    };
    std::vector<std::unique_ptr<TChannel>> channels;
    for (int k = 0; k < 16; ++k) {
        channels.push_back(manualchannel(*card, "ch" + std::to_string(k), k, false));
        channels.back()->startrecording();
    }
    card->start();
    pool = card->freeblocks();
    const std::vector<std::string> datafolders{config().velk_path, data.path() + "/Data2"};
    for (int step = 0; step < 24; ++step) {
        TConfig& c = config();
        // A split at nearly every step (one minute, 61 s later), now and then a longer interval.
        c.interval = step % 3 == 2 ? (step / 3) % 8 : 0;
        c.timealign = step % 2 == 1;
        c.overlap = (step * 7) % 61;
        c.codec = step % 4 == 3 ? 1 : 0;
        c.format = step % 5 == 4 ? pcmwaveformat(8000, 1, 16) : pcmwaveformat(48000, 1, 16);
        c.mp3mode = step % 3;
        c.vbrmax = step % 14;
        c.bitrate = step % 14;
        c.avgbitrate = (step + 3) % 14;
        c.vbrquality = step % 10;
        c.mp3crc = step % 2 == 0;
        c.normalize = step % 6 == 5;
        c.samplerate = step % 7;
        c.namingrule = step % 2 == 0 ? "%yy%-%mn%-%dd%-%hh%-%nn%-%ss%-%name%" : "%name%-%hh%%nn%%ss%";
        c.velk_path = datafolders[static_cast<std::size_t>(step / 4 % 2)];
        c.cleanuptime = step;
        publishrecordingsettings();
        paced(8);
        clock.advance(std::chrono::seconds(61));
        paced(8);
    }
    card->stop();
    for (auto& ch : channels)
        ch->stoprecording();
    drain();
    for (auto& ch : channels)
        ch->disconnect();

    // The recordings by channel, in the order they started.
    std::map<std::string, std::vector<TRecDescriptor>> bychannel;
    std::size_t files = 0;
    for (const auto& folder : datafolders) {
        if (!std::filesystem::exists(folder))
            continue;
        for (const auto& e : std::filesystem::recursive_directory_iterator(folder)) {
            if (!e.is_regular_file() || e.path().extension() != ".velk")
                continue;
            TRecDescriptor d;
            ASSERT_TRUE(readdescriptor(e.path().string(), d));
            EXPECT_TRUE(d.state == DESC_WAITING || d.state == DESC_FINAL) << e.path();
            bychannel[d.getname()].push_back(d);
            ++files;
        }
    }
    ASSERT_EQ(bychannel.size(), 16u);
    EXPECT_EQ(sink.textswith("New file: ").size(), files);
    for (auto& [name, list] : bychannel) {
        std::sort(list.begin(), list.end(), [](const TRecDescriptor& a, const TRecDescriptor& b) {
            return a.start < b.start;
        });
        EXPECT_GE(list.size(), 16u) << name;
        const int k = std::stoi(name.substr(2));
        // Ramp positions modulo its period; no file holds a whole period.
        auto position = [k](std::int16_t sample) { return ((sample + 10000) - 1000 * k + 40000) % 20000; };
        std::int64_t lastfirst = -1, lastlength = 0;
        for (const auto& d : list) {
            const auto w = test::readwav(d.getpath());
            ASSERT_TRUE(w.ok) << d.getpath();
            EXPECT_EQ(w.filesize, 44u + w.datasize) << d.getpath();
            EXPECT_EQ(w.fmt, pcmformat(48000, 1, 16)) << d.getpath();
            ASSERT_FALSE(w.samples.empty()) << d.getpath();
            ASSERT_LT(w.samples.size(), 20000u) << d.getpath();
            for (std::size_t i = 1; i < w.samples.size(); ++i)
                ASSERT_EQ(position(w.samples[i]), (position(w.samples[i - 1]) + 1) % 20000) << d.getpath() << " " << i;
            const std::int64_t first = position(w.samples[0]);
            // The next file starts inside the previous one (an overlap) or right after it.
            if (lastfirst >= 0) {
                EXPECT_LE((first - lastfirst + 20000) % 20000, lastlength) << d.getpath();
            }
            lastfirst = first;
            lastlength = static_cast<std::int64_t>(w.samples.size());
        }
    }
}

TEST_F(CaptureSessionTest, LoudFloatInputsAreClampedAndLevelsFollowThePeak)
{
    settings->sampletype = ASIOSTFloat32LSB;
    VirtualSignal loud;
    loud.kind = VirtualSignal::sine;
    loud.frequency = 1000;
    loud.amplitude = 1.5;
    settings->signals = {loud};
    DriverSourceScope scope({virtualdescription("Card", settings)});
    auto card = opencard();
    auto loudch = manualchannel(*card, "loud", 0, false);
    auto quiet = manualchannel(*card, "quiet", 1, false);
    // Detect level 100 (threshold 32768) is more than any block level: this channel never records.
    auto top = manualchannel(*card, "top", 0, false);
    top->setmode(ChannelMode::voiceactivated);
    top->setvoxlevel(100);
    loudch->startrecording();
    top->startrecording();
    card->start();
    stream(100);
    card->stop();  // every queued block is delivered by now
    // The decaying peak is above full scale; the block level is capped at 32767.
    EXPECT_EQ(loudch->drawlevel(), 32767);
    EXPECT_EQ(top->drawlevel(), 32767);
    EXPECT_EQ(quiet->drawlevel(), 0);
    loudch->stoprecording();
    top->stoprecording();
    drain();
    EXPECT_TRUE(wavsin("top").empty());
    const auto w = wavsin("loud");
    ASSERT_EQ(w.size(), 1u);
    const auto [lo, hi] = std::minmax_element(w[0].samples.begin(), w[0].samples.end());
    EXPECT_EQ(*hi, 32767);
    EXPECT_EQ(*lo, -32768);
    loudch->disconnect();
    quiet->disconnect();
    top->disconnect();
}

TEST_F(CaptureSessionTest, CardOperationsForTheDialogs)
{
    settings->inputs = 5;
    DriverSourceScope scope({virtualdescription("Card", settings)});
    TSCapture card(test::listed(), 0, 48000);
    EXPECT_EQ(card.inputcount(false), 5);
    EXPECT_EQ(card.inputcount(true), 2);
    EXPECT_EQ(card.inputname(1, true), "Input 3 + Input 4");
    EXPECT_EQ(card.inputname(4, false), "Input 5");
    EXPECT_FALSE(card.hasmixer());
    EXPECT_EQ(card.getvolume(0), 32767);
    EXPECT_EQ(card.actualrate(), 48000);
    EXPECT_EQ(card.configuredrate(), 48000);

    // A rate the card declines: the actual rate differs from the configured one.
    settings->rates = {44100};
    settings->rate = 44100;
    TSCapture declined(test::listed(), 0, 48000);
    EXPECT_EQ(declined.configuredrate(), 48000);
    EXPECT_EQ(declined.actualrate(), 44100);
}

TEST_F(CaptureSessionTest, StartCardsKeepsTheNumberOfACardThatFailsAndStoresTheNames)
{
    auto second = test::freerunning();
    second->failcreatebuffers = true;
    auto third = test::freerunning(2);
    third->realtime = true;
    settings->realtime = true;
    DriverSourceScope scope({virtualdescription("First", settings), virtualdescription("Second", second),
                             virtualdescription("Third", third)});
    ASSERT_TRUE(cards.startcards());
    // The failing card keeps its number, waiting for its driver, so the third card's channels
    // do not move onto it.
    EXPECT_EQ(cards.table().count, 3);
    EXPECT_EQ(cards.table().names[1], "Second");
    EXPECT_EQ(cards.table().names[2], "Third");
    ASSERT_TRUE(cards.at(1));
    EXPECT_TRUE(cards.at(1)->inputlost());
    EXPECT_EQ(cards.at(2)->host().DriverIndex(), 2);
    EXPECT_FALSE(cards.at(0)->stopped());
    const std::vector<std::string> names(config().cardnames.begin(), config().cardnames.begin() + 4);
    EXPECT_EQ(names, (std::vector<std::string>{"First", "Second", "Third", ""}));

    // Only card 2 is used by a configured channel.
    config().num = 1;
    config().channels[0].card = 2;
    config().channels[0].chnum = 1;
    config().channels[0].stereo = false;
    EXPECT_EQ(cards.channelinputs(0), 2);
    EXPECT_EQ(cards.channelinputname(0), "Input 2");
    cards.stopidlecards();
    EXPECT_TRUE(cards.at(0)->stopped());
    EXPECT_FALSE(cards.at(2)->stopped());
    cards.startcard(0);
    EXPECT_FALSE(cards.at(0)->stopped());
    cards.closecards();
    EXPECT_FALSE(cards.at(0));
    drain();
    const std::vector<std::string> expected = {"Audio Devices Enumeration...", "Starting Sound Cards...",
                                               "Could not start Second, Asio buffers could not be created!"};
    EXPECT_EQ(sink.texts, expected);
}

TEST_F(CaptureSessionTest, StartCardsFindsConfiguredCardsByNameAndWaitsForAMissingOne)
{
    auto gone = test::freerunning(2);
    auto other = test::freerunning(2);
    gone->realtime = other->realtime = settings->realtime = true;
    config().cardnames[0] = "Gone";
    config().cardnames[1] = "card";  // names match without regard to case
    {
        DriverSourceScope scope({virtualdescription("Other", other), virtualdescription("Card", settings)});
        ASSERT_TRUE(cards.startcards());
        EXPECT_EQ(cards.table().count, 3);
        ASSERT_TRUE(cards.at(0) && cards.at(1) && cards.at(2));
        EXPECT_TRUE(cards.at(0)->inputlost());
        EXPECT_EQ(cards.at(0)->inputcount(false), 0);
        EXPECT_EQ(cards.at(1)->name(), "Card");
        EXPECT_EQ(cards.at(1)->inputcount(false), 8);
        EXPECT_EQ(cards.at(2)->name(), "Other");
        EXPECT_EQ(config().cardnames[2], "Other");
        // Still missing: no further line.
        cards.checkcards();
        EXPECT_TRUE(cards.at(0)->inputlost());
    }
    DriverSourceScope back({virtualdescription("Other", other), virtualdescription("Gone", gone)});
    cards.checkcards();
    EXPECT_FALSE(cards.at(0)->inputlost());
    EXPECT_FALSE(cards.at(0)->stopped());
    EXPECT_EQ(cards.at(0)->inputcount(false), 2);
    cards.closecards();
    drain();
    const std::vector<std::string> expected = {"Audio Devices Enumeration...", "Starting Sound Cards...",
                                               "Waiting for sound card: Gone, retrying every 2 seconds",
                                               "Sound card back: Gone"};
    EXPECT_EQ(sink.texts, expected);
}

TEST_F(CaptureSessionTest, TheVirtualCardStandsInOnlyWhenTheConfigurationNamesNoCard)
{
    TDavAsioDriverDescription standin = virtualdescription("VELK Virtual Card 1", settings);
    standin.standin = true;
    DriverSourceScope scope({standin});
    struct Case {
        std::string named;
        bool standsin;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"", true,
         {"Audio Devices Enumeration...", "Starting Sound Cards...",
          "No sound card found: recording from VELK Virtual Card 1 (test signal)"}},
        {"JACK", false,
         {"Audio Devices Enumeration...", "Starting Sound Cards...",
          "Waiting for sound card: JACK, retrying every 2 seconds"}},
    };
    for (const Case& c : cases) {
        config().cardnames = {};
        config().cardnames[0] = c.named;
        ASSERT_TRUE(cards.startcards()) << c.named;
        EXPECT_EQ(cards.table().count, 1) << c.named;
        ASSERT_TRUE(cards.at(0)) << c.named;
        EXPECT_EQ(cards.at(0)->inputlost(), !c.standsin) << c.named;
        // The stand-in's name is not stored: the next start looks for real cards again.
        EXPECT_EQ(config().cardnames[0], c.named) << c.named;
        cards.closecards();
        drain();
        EXPECT_EQ(sink.texts, c.lines) << c.named;
        sink.clear();
    }
}

TEST_F(CaptureSessionTest, AStandInRecordsFromTheFirstRealCardListedAfterIt)
{
    TDavAsioDriverDescription standin = virtualdescription("VELK Virtual Card 1", settings);
    standin.standin = true;
    auto real = test::freerunning(2);
    real->realtime = settings->realtime = true;
    {
        DriverSourceScope scope({standin});
        ASSERT_TRUE(cards.startcards());
    }
    auto channel = manualchannel(*cards.at(0), "mono", 0, false);
    channel->startrecording();
    clock.advance(std::chrono::seconds(5));
    DriverSourceScope later({virtualdescription("Real", real), standin});
    cards.checkcards();
    EXPECT_EQ(cards.at(0)->name(), "Real");
    EXPECT_FALSE(cards.at(0)->standin());
    EXPECT_FALSE(cards.at(0)->stopped());
    EXPECT_EQ(cards.at(0)->inputcount(false), 2);
    EXPECT_EQ(config().cardnames[0], "Real");
    EXPECT_TRUE(channel->writer().fileopen());
    channel->stoprecording();
    channel->disconnect();
    cards.closecards();
    drain();
    EXPECT_EQ(sink.textswith("Sound card found: "),
              std::vector<std::string>{"Sound card found: Real, recording from it instead of VELK Virtual Card 1"});
    EXPECT_EQ(wavsin("mono").size(), 2u);
}

TEST_F(CaptureSessionTest, StartCardsWithoutDriversTellsTheUser)
{
    test::CapturingNotifier notifier;
    setusernotifier(&notifier);
    DriverSourceScope scope({});
    EXPECT_FALSE(cards.startcards());
    setusernotifier(nullptr);
    cards.closecards();
    drain();
    ASSERT_EQ(notifier.errors.size(), 1u);
    EXPECT_EQ(notifier.errors[0], "Could not locate active audio devices.|VELK could not locate any ASIO drivers.\n"
                                  "Please try to use DirectSound version.");
    const std::vector<std::string> expected = {"Audio Devices Enumeration...", "Check the audio devices and restart VELK"};
    EXPECT_EQ(sink.texts, expected);
}

TEST_F(CaptureSessionTest, AStartListsTheDriversOnceForAllItsCards)
{
    TDavAsioDriverDescription standin = virtualdescription("VELK Virtual Card 1", settings);
    standin.standin = true;
    auto two = test::freerunning(2);
    two->realtime = settings->realtime = true;
    struct Case {
        std::vector<TDavAsioDriverDescription> listed;
        int cards;
        std::size_t standinlines;
    };
    const Case cases[] = {
        {{virtualdescription("First", settings), virtualdescription("Second", two)}, 2, 0},
        {{standin}, 1, 1},
    };
    for (const Case& c : cases) {
        int enumerations = 0;
        setdriversource([&] {
            ++enumerations;
            return c.listed;
        });
        config().cardnames = {};
        ASSERT_TRUE(cards.startcards());
        EXPECT_EQ(enumerations, 1) << c.cards;
        EXPECT_EQ(cards.table().count, c.cards);
        for (int k = 0; k < c.cards; ++k)
            EXPECT_FALSE(cards.at(k)->inputlost()) << k;
        cards.closecards();
        setdriversource(nullptr);
        drain();
        EXPECT_EQ(sink.textswith("No sound card found").size(), c.standinlines) << c.cards;
        sink.clear();
    }
}

TEST_F(CaptureSessionTest, EveryCardOpensTheDriverItWasListedWithWhenTheDriversChangeMeanwhile)
{
    // The first listing has two cards; any later one only the second, as when a JACK server goes
    // while the recorder starts.
    auto first = test::freerunning(2);
    auto second = test::freerunning(6);
    first->realtime = second->realtime = true;
    int enumerations = 0;
    setdriversource([&] {
        ++enumerations;
        if (enumerations == 1)
            return std::vector<TDavAsioDriverDescription>{virtualdescription("First", first),
                                                          virtualdescription("Second", second)};
        return std::vector<TDavAsioDriverDescription>{virtualdescription("Second", second)};
    });
    ASSERT_TRUE(cards.startcards());
    setdriversource(nullptr);
    ASSERT_TRUE(cards.at(0) && cards.at(1));
    EXPECT_EQ(cards.at(0)->name(), "First");
    EXPECT_FALSE(cards.at(0)->inputlost());
    EXPECT_EQ(cards.at(0)->inputcount(false), 2);
    EXPECT_EQ(cards.at(1)->name(), "Second");
    EXPECT_FALSE(cards.at(1)->inputlost());
    EXPECT_EQ(cards.at(1)->inputcount(false), 6);
    cards.closecards();
    drain();
    EXPECT_TRUE(sink.textswith("Could not start ").empty());
}

TEST_F(CaptureSessionTest, AResetWhileRecordingRestartsTheCardWithoutLosingABlock)
{
    settings->inputlatency = 64;
    DriverSourceScope scope({virtualdescription("Card", settings)});
    auto card = opencard();
    auto mono = manualchannel(*card, "mono", 5, false);
    mono->startrecording();
    card->start();
    stream(100);

    settings->bufferminimum = settings->buffermaximum = settings->bufferpreferred = 128;
    settings->inputlatency = 400;
    ASSERT_TRUE(settings->control->requestreset());
    drain();
    EXPECT_FALSE(card->stopped());
    EXPECT_EQ(card->host().BufferSize(), 128);
    stream(100);
    card->stop();
    mono->stoprecording();
    drain();

    const std::vector<std::string> expected = {"Record started: mono", "Reset Command received for card: 0",
                                               "Latency changed to 400 for card: 0", "Record complete: mono"};
    EXPECT_EQ(sessionlines(), expected);
    EXPECT_EQ(card->lostblocks(), 0u);
    const auto w = wavsin("mono");
    ASSERT_EQ(w.size(), 1u);
    const std::uint64_t frames = settings->control->position();
    ASSERT_EQ(w[0].samples.size(), frames);
    for (std::size_t i = 0; i < frames; ++i)
        ASSERT_EQ(w[0].samples[i], rampat(i, 5000)) << i;
    mono->disconnect();
}

TEST_F(CaptureSessionTest, OneDriverInstancesRepeatedRequestsGiveOneResetSequence)
{
    DriverSourceScope scope({virtualdescription("Card", settings)});
    auto card = opencard();
    card->start();
    stream(10);
    // Both are posted by the same instance; the first reset replaces it, so the second is stale.
    ASSERT_TRUE(settings->control->requestbuffersizechange());
    ASSERT_TRUE(settings->control->requestreset());
    drain();
    EXPECT_FALSE(card->stopped());
    EXPECT_TRUE(card->host().Active());
    const std::vector<std::string> expected = {"Reset Command received for card: 0",
                                               "Latency changed to 256 for card: 0"};
    EXPECT_EQ(sessionlines(), expected);
    card->stop();
}

TEST_F(CaptureSessionTest, AResetThatComesBackAtAnotherRateRebuildsTheWritersAtThatRate)
{
    DriverSourceScope scope({virtualdescription("Card", settings)});
    auto card = opencard();
    auto mono = manualchannel(*card, "mono", 0, false);
    mono->startrecording();
    card->start();
    stream(50);
    clock.advance(std::chrono::seconds(5));  // the next file gets another name

    // The re-opened driver runs at 44100 and declines 48000.
    settings->rates = {44100};
    settings->rate = 44100;
    ASSERT_TRUE(settings->control->requestreset());
    drain();
    EXPECT_EQ(card->actualrate(), 44100);
    EXPECT_EQ(mono->writer().captureformat().nSamplesPerSec, 44100u);
    EXPECT_TRUE(mono->writer().fileopen());
    stream(50);
    card->stop();
    mono->stoprecording();
    drain();

    const std::vector<std::string> expected = {"Record started: mono", "Reset Command received for card: 0",
                                               "Latency changed to 256 for card: 0", "Record started: mono",
                                               "Record complete: mono"};
    EXPECT_EQ(sessionlines(), expected);
    EXPECT_EQ(wavsin("mono").size(), 2u);
    mono->disconnect();
}

TEST_F(CaptureSessionTest, ALostCardFinishesItsRecordingsShowsNoInputAndRecordsAgainOnceBack)
{
    DriverSourceScope scope({virtualdescription("Card", settings)});
    auto card = opencard();
    auto mono = manualchannel(*card, "mono", 0, false);
    auto later = manualchannel(*card, "later", 1, false);
    later->setid(1);
    mono->startrecording();
    card->start();
    stream(50);
    const std::uint64_t before = settings->control->position();

    // The driver asks for a reset and cannot be opened again.
    settings->failinit = true;
    ASSERT_TRUE(settings->control->requestreset());
    drain();
    EXPECT_TRUE(card->inputlost());
    EXPECT_FALSE(mono->writer().fileopen());
    EXPECT_TRUE(mono->recording());
    card->checkdevice(test::listed());  // still failing: said once only
    card->checkdevice(test::listed());
    later->startrecording();  // switched on while lost: waits without a file
    drain();
    EXPECT_FALSE(later->writer().fileopen());
    EXPECT_EQ(sink.statecodes(), (std::vector<int>{1, channelnoinput, channelnoinput}));

    clock.advance(std::chrono::seconds(5));
    settings->failinit = false;
    card->checkdevice(test::listed());
    EXPECT_FALSE(card->inputlost());
    EXPECT_TRUE(mono->writer().fileopen());
    EXPECT_TRUE(later->writer().fileopen());
    stream(50);
    card->stop();
    mono->stoprecording();
    later->stoprecording();
    drain();

    const std::vector<std::string> expected = {
        "Record started: mono", "Reset Command received for card: 0",
        "Sound card lost: Card (Asio driver failed!), retrying every 2 seconds", "Record complete: mono",
        "Sound card back: Card", "Record started: mono", "Record started: later", "Record complete: mono",
        "Record complete: later"};
    EXPECT_EQ(sessionlines(), expected);
    const auto first = wavsin("mono");
    ASSERT_EQ(first.size(), 2u);
    // The first file holds what was streamed before the loss, all of it.
    EXPECT_GE(first[0].samples.size(), before);
    EXPECT_EQ(wavsin("later").size(), 1u);
    for (const auto& d : descriptors())
        EXPECT_EQ(d.d.state, 3) << d.file;
    mono->disconnect();
    later->disconnect();
}

TEST_F(CaptureSessionTest, ACardThatStopsDeliveringIsDeclaredLost)
{
    std::atomic<bool> stall{false};
    DriverSourceScope scope({virtualdescription("Card", settings)});
    TSCapture card(test::listed(), 0, 48000);
    settings->canproduce = [&] { return !stall.load() && card.freeblocks() > 4; };
    card.start();
    stream(10);
    card.checkdevice(test::listed());
    stall = true;
    // A check right after another counts for nothing.
    card.checkdevice(test::listed());
    card.checkdevice(test::listed());
    EXPECT_FALSE(card.inputlost());
    // A buffer under way may still arrive after the first counted check; from then on nothing does.
    clock.advance(std::chrono::seconds(2));
    card.checkdevice(test::listed());
    EXPECT_FALSE(card.inputlost());
    for (int k = 0; k < 3 && !card.inputlost(); ++k) {
        clock.advance(std::chrono::seconds(2));
        card.checkdevice(test::listed());
    }
    EXPECT_TRUE(card.inputlost());
    EXPECT_TRUE(card.stopped());
    drain();
    EXPECT_EQ(sessionlines(),
              std::vector<std::string>{"Sound card lost: Card (no audio from the driver), retrying every 2 seconds"});
}

TEST_F(CaptureSessionTest, ARateChangeWhileRecordingStartsANewRecordingAtTheNewRate)
{
    DriverSourceScope scope({virtualdescription("Card", settings)});
    auto card = opencard();
    auto mono = manualchannel(*card, "mono", 0, false);
    mono->startrecording();
    card->start();
    stream(50);
    clock.advance(std::chrono::seconds(5));  // the next file gets another name

    ASSERT_TRUE(settings->control->reportsamplerate(44100));
    drain();
    EXPECT_EQ(card->actualrate(), 44100);
    EXPECT_EQ(mono->writer().captureformat().nSamplesPerSec, 44100u);
    EXPECT_TRUE(mono->writer().fileopen());
    stream(50);
    card->stop();
    mono->stoprecording();
    drain();

    const std::vector<std::string> expected = {"Record started: mono", "Sampling Rate changed to 44100 for card: 0",
                                               "Record started: mono", "Record complete: mono"};
    EXPECT_EQ(sessionlines(), expected);
    EXPECT_EQ(wavsin("mono").size(), 2u);
    EXPECT_EQ(descriptors().size(), 2u);
    mono->disconnect();
}

}  // namespace
}  // namespace velk
