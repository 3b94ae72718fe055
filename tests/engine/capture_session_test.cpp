// The capture session over the virtual driver, all the way to WAV files: the slices channels
// receive, 16-bit conversion with clamping, levels, the card table's start-up with a failing
// driver, a reset while recording and a rate change while a manual channel records.

#include "engine/capture_session.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/card_table.h"
#include "core/user_notifier.h"
#include "engine/channel.h"
#include "tests/engine/engine_fixture.h"
#include "tests/recfiles/recording_fixture.h"

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
        settings = test::freerunning(8, 64);
        settings->sampletype = ASIOSTInt16LSB;
        for (int k = 0; k < 8; ++k)
            settings->signals.push_back(ramp(1000 * k));
    }

    // Opens the card on driver 0 and paces the driver by the card's spare blocks.
    std::unique_ptr<TSCapture> opencard()
    {
        auto card = std::make_unique<TSCapture>(0, 48000);
        TSCapture* raw = card.get();
        settings->canproduce = [raw] { return raw->freeblocks() > 4; };
        return card;
    }

    std::unique_ptr<TChannel> manualchannel(TSCapture& card, const std::string& name, int ch, bool stereo)
    {
        auto channel = std::make_unique<TChannel>(name, &card, ch, stereo);
        channel->mypath = recordings.path() + "/" + name;
        channel->voxmode = 1;
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
        for (const auto& l : sink.logs)
            if (l.rfind("New file: ", 0) != 0)
                out.push_back(l);
        return out;
    }

    std::shared_ptr<VirtualDriverSettings> settings;
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
    loudch->startrecording();
    card->start();
    stream(100);
    card->stop();  // every queued block is delivered by now
    // The decaying peak at the end of the last block: above full scale, at most 1.5 of it.
    EXPECT_GT(loudch->drawlevel.load(), 40000);
    EXPECT_LE(loudch->drawlevel.load(), 49151);
    EXPECT_EQ(quiet->drawlevel.load(), 0);
    loudch->stoprecording();
    drain();
    const auto w = wavsin("loud");
    ASSERT_EQ(w.size(), 1u);
    const auto [lo, hi] = std::minmax_element(w[0].samples.begin(), w[0].samples.end());
    EXPECT_EQ(*hi, 32767);
    EXPECT_EQ(*lo, -32768);
    loudch->disconnect();
    quiet->disconnect();
}

TEST_F(CaptureSessionTest, CardOperationsForTheDialogs)
{
    settings->inputs = 5;
    DriverSourceScope scope({virtualdescription("Card", settings)});
    TSCapture card(0, 48000);
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
    TSCapture declined(0, 48000);
    EXPECT_EQ(declined.configuredrate(), 48000);
    EXPECT_EQ(declined.actualrate(), 44100);
}

TEST_F(CaptureSessionTest, StartCardsNumbersTheCardsThatStartAndLogsTheOneThatDoesNot)
{
    auto second = test::freerunning();
    second->failcreatebuffers = true;
    auto third = test::freerunning(2);
    third->realtime = true;
    settings->realtime = true;
    DriverSourceScope scope({virtualdescription("First", settings), virtualdescription("Second", second),
                             virtualdescription("Third", third)});
    ASSERT_TRUE(startcards());
    EXPECT_EQ(cardtable().count, 2);
    EXPECT_EQ(cardtable().names[0], "First");
    EXPECT_EQ(cardtable().names[1], "Third");
    ASSERT_TRUE(captures()[1]);
    EXPECT_EQ(captures()[1]->host().DriverIndex(), 2);
    EXPECT_FALSE(captures()[0]->stopped());

    // Only card 1 is used by a configured channel.
    config().num = 1;
    config().channels[0].card = 1;
    config().channels[0].chnum = 1;
    config().channels[0].stereo = false;
    EXPECT_EQ(channelinputs(0), 2);
    EXPECT_EQ(channelinputname(0), "Input 2");
    stopidlecards();
    EXPECT_TRUE(captures()[0]->stopped());
    EXPECT_FALSE(captures()[1]->stopped());
    startcard(0);
    EXPECT_FALSE(captures()[0]->stopped());
    closecards();
    EXPECT_FALSE(captures()[0]);
    cardtable() = Tcard{};
    drain();
    const std::vector<std::string> expected = {"Audio Devices Enumeration...", "Starting Sound Cards...",
                                               "Could not start Second, Asio buffers could not be created!"};
    EXPECT_EQ(sink.logs, expected);
}

TEST_F(CaptureSessionTest, StartCardsWithoutDriversTellsTheUser)
{
    struct Recorder : UserNotifier {
        std::vector<std::string> errors;
        void error(const std::string& title, const std::string& text) override { errors.push_back(title + "|" + text); }
        void information(const std::string&, const std::string&) override {}
    } notifier;
    setusernotifier(&notifier);
    DriverSourceScope scope({});
    EXPECT_FALSE(startcards());
    setusernotifier(nullptr);
    closecards();
    drain();
    ASSERT_EQ(notifier.errors.size(), 1u);
    EXPECT_EQ(notifier.errors[0], "Could not locate active audio devices.|VELK could not locate any ASIO drivers.\n"
                                  "Please try to use DirectSound version.");
    const std::vector<std::string> expected = {"Audio Devices Enumeration...", "Check the audio devices and restart VELK"};
    EXPECT_EQ(sink.logs, expected);
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
    EXPECT_EQ(mono->writer->captureformat().nSamplesPerSec, 44100u);
    EXPECT_TRUE(mono->writer->fileopen());
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
