#include "app/velk_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "config/config.h"
#include "core/clock.h"
#include "core/errors.h"
#include "core/user_notifier.h"
#include "recfiles/descriptor_files.h"
#include "recfiles/processor.h"
#include "tests/support/capturing_notifier.h"
#include "tests/support/temp_folder.h"

namespace velk {
namespace {

class VelkSystemTest : public ::testing::Test {
protected:
    VelkSystemTest() { setusernotifier(&notifier); }
    ~VelkSystemTest() override { setusernotifier(nullptr); }

    test::TempDataRoot root;
    test::CapturingNotifier notifier;
};

TEST_F(VelkSystemTest, HandlesTheFourMessagesInPostingOrder)
{
    VelkSystem system(Edition::Asio);
    system.startup();
    std::vector<std::pair<int, int>> states;
    system.onchannelstate = [&](const ChannelStateMessage& m) { states.emplace_back(m.channel, m.state); };

    // No conversion may start, so the queued path stays in the queue and its descriptor in state 2.
    ASSERT_NE(system.processor(), nullptr);
    system.processor()->stopqueue();
    TRecDescriptor d;
    d.samplerate = 44100;
    d.state = DESC_RECORDING;
    const std::string path = config().velk_path + "/x.velk";
    mainqueue().post(SaveDescriptorMessage{d, path});
    mainqueue().post(ChannelStateMessage{2, 1});
    d.state = DESC_WAITING;
    mainqueue().post(FileCompleteMessage{d, path});
    system.runqueue();

    EXPECT_EQ(states, (std::vector<std::pair<int, int>>{{2, 1}}));
    TRecDescriptor back;
    ASSERT_TRUE(readdescriptor(path, back));
    EXPECT_EQ(back.state, DESC_WAITING);  // the later write won
    EXPECT_EQ(system.compressionqueue(), std::vector<std::string>{path});
    system.shutdown();
}

TEST_F(VelkSystemTest, ShutdownFilesEveryLineEndingWithClosedAndIgnoresLaterOnes)
{
    {
        VelkSystem system(Edition::Wdm);
        system.startup();
        addlog("from a worker");
        system.shutdown();
        addlog("too late");
        system.runqueue();
        const auto& lines = system.statuslog().lines();
        ASSERT_GE(lines.size(), 4u);
        EXPECT_NE(lines.back().find("; VELK Closed."), std::string::npos);
    }
    std::string filed;
    for (const auto& e : std::filesystem::directory_iterator(root.common() + "Logs"))
        filed += test::readtextfile(e.path().string());
    EXPECT_NE(filed.find("; from a worker\r\n"), std::string::npos);
    EXPECT_EQ(filed.find("too late"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(root.common() + "configds.xml"));
}

// A crash costs at most the last minute of log lines: the log is filed right after start-up and
// then once a minute, each time with only the lines not filed before.
TEST_F(VelkSystemTest, TheLogIsFiledAfterStartUpAndEveryMinuteWithNoLineTwice)
{
    ManualClock clock;
    ScopedAppClock scope(clock);
    auto filed = [&] {
        std::string text;
        if (std::filesystem::exists(root.common() + "Logs"))
            for (const auto& e : std::filesystem::directory_iterator(root.common() + "Logs"))
                text += test::readtextfile(e.path().string());
        return text;
    };
    auto count = [](const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    };
    VelkSystem system(Edition::Asio);
    system.startup();
    system.runqueue();
    EXPECT_EQ(count(filed(), "; VELK System Activated.\r\n"), 1u);

    clock.advance(std::chrono::seconds(30));
    addlog("half a minute on");
    system.runqueue();
    EXPECT_EQ(filed().find("half a minute on"), std::string::npos);
    EXPECT_EQ(system.untillogfiling(), std::chrono::seconds(30));

    clock.advance(std::chrono::seconds(30));
    system.runqueue();
    EXPECT_EQ(count(filed(), "; half a minute on\r\n"), 1u);
    system.shutdown();
    const std::string text = filed();
    EXPECT_EQ(count(text, "; VELK System Activated.\r\n"), 1u);
    EXPECT_EQ(count(text, "; half a minute on\r\n"), 1u);
    EXPECT_EQ(count(text, "; VELK Closed.\r\n"), 1u);
}

TEST_F(VelkSystemTest, ASaveThatFailsAtShutdownIsReportedAndShutdownGoesOn)
{
    VelkSystem system(Edition::Asio);
    system.startup();
    // A folder where the new configuration would be written: the save fails, also for root.
    std::filesystem::create_directory(root.common() + "config.xml.part");
    system.shutdown();
    ASSERT_EQ(notifier.errors.size(), 1u);
    EXPECT_EQ(notifier.errors[0].rfind("Could not save settings|", 0), 0u);
    EXPECT_NE(system.statuslog().lines().back().find("VELK Closed."), std::string::npos);
}

// The windows make their panels once the channels exist and before the system is declared active;
// a failure there ends the start-up, with the rest of it skipped.
TEST_F(VelkSystemTest, ThePanelsComeBeforeActivationAndAFailureToArrangeThemEndsTheStartUp)
{
    auto position = [](VelkSystem& system, const std::string& text) {
        const auto& lines = system.statuslog().lines();
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (lines[i].ends_with("; " + text))
                return static_cast<long>(i);
        return -1L;
    };
    {
        VelkSystem system(Edition::Asio);
        system.onchannelsready = [] { addlog("panels arranged"); };
        system.startup();
        system.runqueue();
        EXPECT_LT(position(system, "Starting Channels..."), position(system, "panels arranged"));
        EXPECT_LT(position(system, "panels arranged"), position(system, "VELK System Activated."));
        EXPECT_NE(system.scheduler(), nullptr);
        system.shutdown();
    }
    VelkSystem system(Edition::Asio);
    system.onchannelsready = [] { throw EVelkError("no room"); };
    EXPECT_THROW(system.startup(), EVelkError);
    system.runqueue();
    EXPECT_GE(position(system, "Failed to arrange channels"), 0);
    EXPECT_EQ(position(system, "VELK System Activated."), -1);
    EXPECT_EQ(system.scheduler(), nullptr);
    system.shutdown();
}

}  // namespace
}  // namespace velk
