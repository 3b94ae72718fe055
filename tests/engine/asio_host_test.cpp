// The driver host over the virtual driver: loading and its failures, buffer-size choice, the
// sample-rate rules, activation, message answers, buffers converted on the driver's thread, and
// reset, latency and rate notices carried to the main thread in order. Also the driver list.

#include "engine/asio_host.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "core/errors.h"
#include "core/main_thread_queue.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/message_recorder.h"
#include "tests/support/temp_folder.h"

namespace velk {
namespace {

using test::MessageRecorder;
using test::DriverSourceScope;
using test::freerunning;
using test::waituntil;

std::string loaderror(const std::shared_ptr<VirtualDriverSettings>& settings)
{
    DriverSourceScope scope({virtualdescription("Card", settings)});
    TAsioHost host;
    try {
        host.setDriverIndex(test::listed(), 0);
    } catch (const EVelkError& e) {
        EXPECT_EQ(host.DriverIndex(), -1);
        EXPECT_EQ(host.BufferSize(), 0);
        EXPECT_EQ(host.InputChannelCount(), 0);
        return e.what();
    }
    return "";
}

TEST(AsioHost, LoadingFailuresRaiseTheirTextsAndLeaveNoDriver)
{
    auto failinit = freerunning();
    failinit->failinit = true;
    EXPECT_EQ(loaderror(failinit), "Asio driver failed!");

    auto failcreate = freerunning();
    failcreate->failcreatebuffers = true;
    EXPECT_EQ(loaderror(failcreate), "Asio buffers could not be created!");

    auto badtype = freerunning();
    badtype->sampletype = 5;
    EXPECT_EQ(loaderror(badtype), "Converter type unknown");

    auto nopreferred = freerunning();
    nopreferred->bufferminimum = 64;
    nopreferred->buffermaximum = 512;
    nopreferred->bufferpreferred = 0;
    EXPECT_EQ(loaderror(nopreferred), "Prefered buffer size invalid!");

    // A library that is not a driver fails like a driver that does not initialise.
    TDavAsioDriverDescription notadriver;
    notadriver.name = "libc";
    notadriver.path = "libc.so.6";
    DriverSourceScope scope({notadriver});
    TAsioHost host;
    EXPECT_THROW(
        {
            try {
                host.setDriverIndex(test::listed(), 0);
            } catch (const EVelkError& e) {
                EXPECT_STREQ(e.what(), "Asio driver failed!");
                throw;
            }
        },
        EVelkError);
}

TEST(AsioHost, LoadingReadsTheDriversValuesAndRunsAtThePreferredSize)
{
    auto settings = freerunning(6);
    settings->bufferminimum = 64;
    settings->buffermaximum = 1024;
    settings->bufferpreferred = 512;
    settings->inputlatency = 300;
    settings->rate = 44100;
    settings->name = "Virtual Six";
    DriverSourceScope scope({virtualdescription("Listed name", settings)});
    TAsioHost host;
    EXPECT_EQ(host.SampleRate(), 44100);
    host.setDriverIndex(test::listed(), 0);
    EXPECT_EQ(host.DriverIndex(), 0);
    EXPECT_EQ(host.DriverName(), "Virtual Six");
    EXPECT_EQ(host.BufferSize(), 512);
    EXPECT_EQ(host.InputChannelCount(), 6);
    EXPECT_EQ(host.InputLatency(), 300);
    EXPECT_TRUE(host.BuffersCreated());
    EXPECT_FALSE(host.Active());
    EXPECT_STREQ(host.InputChannelInfo(5).name, "Input 6");
    try {
        host.InputChannelInfo(6);
        ADD_FAILURE();
    } catch (const EVelkError& e) {
        EXPECT_STREQ(e.what(), "Index out of bounds 6");
    }

    // Equal minimum and maximum win over the preferred size.
    settings->bufferminimum = settings->buffermaximum = 256;
    host.setDriverIndex(test::listed(), -1);
    EXPECT_EQ(host.DriverName(), "");
    host.setDriverIndex(test::listed(), 0);
    EXPECT_EQ(host.BufferSize(), 256);
}

TEST(AsioHost, SampleRateRules)
{
    auto settings = freerunning();
    settings->rates = {44100, 48000};
    settings->rate = 44100;
    DriverSourceScope scope({virtualdescription("Card", settings)});
    TAsioHost host;
    host.setDriverIndex(test::listed(), 0);
    host.setSampleRate(-48000);
    EXPECT_EQ(host.SampleRate(), 48000);
    host.setSampleRate(0);
    EXPECT_EQ(host.SampleRate(), 44100);
    host.setSampleRate(48000);
    host.setSampleRate(2000000);
    EXPECT_EQ(host.SampleRate(), 44100);
    // A rate the driver declines leaves the rate unchanged.
    host.setSampleRate(32000);
    EXPECT_EQ(host.SampleRate(), 44100);
}

TEST(AsioHost, AnswersDriverMessages)
{
    ScopedMainQueue queue;
    TAsioHost host;
    const std::pair<std::int32_t, std::int32_t> answers[] = {{kAsioSelectorSupported, 1}, {kAsioEngineVersion, 2},
                                                             {kAsioSupportsTimeInfo, 1}, {kAsioSupportsTimeCode, 1},
                                                             {kAsioMMCCommand, 0},       {42, 0}};
    for (auto [selector, answer] : answers)
        EXPECT_EQ(host.asioMessage(selector, 3), answer) << selector;
    // Requests are answered with 1 at once; without a driver their work does nothing.
    for (std::int32_t selector : {kAsioResetRequest, kAsioBufferSizeChange, kAsioResyncRequest, kAsioLatenciesChanged})
        EXPECT_EQ(host.asioMessage(selector, 0), 1);
    MessageRecorder collector;
    queue.queue().drain(&collector);
    EXPECT_EQ(host.DriverIndex(), -1);
}

TEST(AsioHost, BuffersAreConvertedAndHandedOnOnTheDriversThread)
{
    auto settings = freerunning(2, 32);
    settings->sampletype = ASIOSTInt24MSB;
    VirtualSignal ramp;
    ramp.kind = VirtualSignal::ramp;
    VirtualSignal shifted = ramp;
    shifted.offset = 500;
    settings->signals = {ramp, shifted};
    DriverSourceScope scope({virtualdescription("Card", settings)});
    TAsioHost host;
    host.setDriverIndex(test::listed(), 0);

    std::atomic<int> buffers{0};
    std::atomic<bool> wrongthread{false}, wrongvalue{false};
    const auto mainid = std::this_thread::get_id();
    std::int64_t expected = 0;  // frames seen, touched only by the driver's thread
    host.OnBufferSwitch32 = [&](TAsioHost& sender, float* const* in, float* const*) {
        if (std::this_thread::get_id() == mainid)
            wrongthread = true;
        for (std::int32_t i = 0; i < sender.BufferSize(); ++i, ++expected) {
            const long v0 = std::lrint(in[0][i] * 32767.0);
            const long v1 = std::lrint(in[1][i] * 32767.0);
            if (v0 != expected % 20000 - 10000 || v1 != (expected + 500) % 20000 - 10000)
                wrongvalue = true;
        }
        ++buffers;
    };
    host.setActive(true);
    EXPECT_TRUE(host.Active());
    ASSERT_TRUE(waituntil([&] { return buffers >= 50; }));
    host.setActive(false);
    EXPECT_FALSE(host.Active());
    EXPECT_FALSE(wrongthread);
    EXPECT_FALSE(wrongvalue);
}

TEST(AsioHost, AFailingStartLeavesTheHostInactiveWithoutAnError)
{
    auto settings = freerunning();
    settings->failstart = true;
    DriverSourceScope scope({virtualdescription("Card", settings)});
    TAsioHost host;
    host.setDriverIndex(test::listed(), 0);
    host.setActive(true);
    EXPECT_FALSE(host.Active());
}

TEST(AsioHost, NoticesReachTheMainThreadInTheOrderTheDriverSentThem)
{
    ScopedMainQueue queue;
    auto settings = freerunning(4, 64);
    settings->realtime = true;  // slow enough that the reset meets a streaming driver
    DriverSourceScope scope({virtualdescription("Card", settings)});
    TAsioHost host;
    host.setDriverIndex(test::listed(), 0);
    std::vector<std::string> events;
    host.OnReset = [&](TAsioHost& h) { events.push_back("reset " + std::to_string(h.BufferSize())); };
    host.OnLatencyChanged = [&](TAsioHost& h) {
        events.push_back("latency " + std::to_string(h.InputLatency()) + " " + std::to_string(h.BufferSize()));
    };
    host.OnSampleRateChanged = [&](TAsioHost& h) { events.push_back("rate " + std::to_string(int(h.SampleRate()))); };
    host.setActive(true);

    settings->bufferminimum = settings->buffermaximum = settings->bufferpreferred = 128;
    settings->inputlatency = 400;
    ASSERT_TRUE(settings->control->reportsamplerate(44100));
    ASSERT_TRUE(settings->control->requestreset());
    ASSERT_TRUE(settings->control->reportlatencychange());
    EXPECT_TRUE(events.empty());  // nothing runs on the driver's thread

    MessageRecorder collector;
    queue.queue().drain(&collector);
    // The latency notice the old instance sent after its reset request is dropped: the re-opened
    // instance has reported its own latencies by then.
    const std::vector<std::string> expected = {"rate 44100", "reset 64", "latency 400 128"};
    EXPECT_EQ(events, expected);
    // Re-opened with the new size and streaming again, as before the reset.
    EXPECT_TRUE(host.Active());
    EXPECT_EQ(host.BufferSize(), 128);
    const std::uint64_t before = settings->control->buffers();
    EXPECT_TRUE(waituntil([&] { return settings->control->buffers() > before + 2; }));
}

TEST(AsioHost, AResetWhoseReopenFailsIsLoggedAndLeavesNoDriver)
{
    ScopedMainQueue queue;
    auto settings = freerunning();
    DriverSourceScope scope({virtualdescription("Card", settings)});
    TAsioHost host;
    host.setDriverIndex(test::listed(), 0);
    settings->failinit = true;
    settings->control->requestreset();
    MessageRecorder collector;
    queue.queue().drain(&collector);
    ASSERT_EQ(collector.texts.size(), 1u);
    EXPECT_EQ(collector.texts[0], "Could not start VELK Virtual Card, Asio driver failed!");
    EXPECT_FALSE(host.Active());
}

TEST(DriverList, ReadsEntriesInNameOrderAndSkipsBrokenOnes)
{
    test::TempFolder folder;
    const std::string lib = folder.file("driver.so");
    test::writetextfile(lib, "not really a library");
    test::writetextfile(folder.file("B"), "clsid={11111111-2222-3333-4444-555555555555}\ndescription=Second\nlibrary=" + lib + "\n");
    test::writetextfile(folder.file("A"), "clsid={11111111-2222-3333-4444-555555555556}\ndescription=\nlibrary=" + lib + "\n");
    test::writetextfile(folder.file("C"), "clsid={11111111-2222-3333-4444-555555555557}\nlibrary=/nowhere/missing.so\n");
    test::writetextfile(folder.file("D"), "clsid=not-a-guid\nlibrary=" + lib + "\n");
    test::writetextfile(folder.file("E"), "description=No id\nlibrary=" + lib + "\n");
    // Found under its file name in the driver folder itself.
    test::writetextfile(folder.file("F"), "clsid={11111111-2222-3333-4444-555555555558}\ndescription=Moved\nlibrary=/old/place/driver.so\n");
    test::writetextfile(folder.file("G"), "clsid={11111111-2222-3333-4444-555555555559}\ndescription=Virtual\nlibrary=builtin:virtual\n");

    const auto list = readdriverfolder(folder.path());
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].name, "A");
    EXPECT_EQ(list[1].name, "Second");
    EXPECT_EQ(list[1].classid.str(), "{11111111-2222-3333-4444-555555555555}");
    EXPECT_EQ(list[1].path, lib);
    EXPECT_EQ(list[2].name, "Moved");
    EXPECT_EQ(list[2].path, lib);
    EXPECT_EQ(list[3].name, "Virtual");
    EXPECT_TRUE(createdriver(list[3]) != nullptr);
}

TEST(DriverList, VirtualCardsVariableListsExactlyThatManyCards)
{
    setenv("VELK_VIRTUAL_CARDS", "3", 1);
    TDavAsioDriverList list;
    list.enumerate();
    unsetenv("VELK_VIRTUAL_CARDS");
    ASSERT_EQ(list.count(), 3u);
    EXPECT_EQ(list.item(0).name, "VELK Virtual Card 1");
    EXPECT_EQ(list.item(2).name, "VELK Virtual Card 3");
    EXPECT_FALSE(list.item(0).classid == list.item(1).classid);
    const VirtualDriverSettings s = virtualcardsettings(2);
    EXPECT_EQ(s.inputs, 8);
    EXPECT_TRUE(s.realtime);
    EXPECT_EQ(s.signals[7].frequency, 8 * 220.0);
    EXPECT_EQ(s.signals[7].offseconds, 8.0);
}

TEST(DriverList, WithNoCardAtAllOneVirtualCardStandsIn)
{
    test::TempFolder empty;
    setenv("VELK_DRIVER_FOLDER", empty.path().c_str(), 1);
    setenv("JACK_DEFAULT_SERVER", ("velk-none-" + std::to_string(::getpid())).c_str(), 1);
    TDavAsioDriverList list;
    list.enumerate();
    unsetenv("VELK_DRIVER_FOLDER");
    unsetenv("JACK_DEFAULT_SERVER");
    ASSERT_EQ(list.count(), 1u);
    EXPECT_EQ(list.item(0).name, "VELK Virtual Card 1");
    EXPECT_TRUE(list.item(0).standin);
}

TEST(DriverList, ParsesClassIds)
{
    EXPECT_TRUE(TGuid::parse("{6a61636b-5645-4c4b-8000-000000000001}"));
    EXPECT_TRUE(TGuid::parse("6A61636B-5645-4C4B-8000-000000000001"));
    EXPECT_FALSE(TGuid::parse("{6A61636B-5645-4C4B-8000-00000000000}"));
    EXPECT_FALSE(TGuid::parse("{6A61636B-5645-4C4B-8000-00000000000G}"));
    EXPECT_FALSE(TGuid::parse(""));
}

}  // namespace
}  // namespace velk
