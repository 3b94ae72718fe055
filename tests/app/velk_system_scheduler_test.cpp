// The scheduler inside the system: loaded at start-up from the edition's schedule file (a
// damaged file costs only the schedules after the fault), its events reach the channels, and
// the file is written back at shutdown.

#include "app/velk_system.h"

#include <gtest/gtest.h>

#include <clocale>
#include <filesystem>

#include "config/config.h"
#include "config/config_file.h"
#include "config/edition.h"
#include "services/scheduler.h"
#include "core/clock.h"
#include "core/user_notifier.h"
#include "tests/support/capturing_notifier.h"
#include "tests/support/temp_folder.h"

namespace velk {
namespace {

bool haslog(VelkSystem& system, const std::string& part)
{
    for (const auto& line : system.statuslog().lines())
        if (line.find(part) != std::string::npos)
            return true;
    return false;
}

// A data folder of its own, captured message boxes, and noon on a Monday.
class VelkSystemScheduler : public ::testing::Test {
protected:
    VelkSystemScheduler()
    {
        std::setlocale(LC_TIME, "C");
        setusernotifier(&notifier);
    }
    ~VelkSystemScheduler() override { setusernotifier(nullptr); }

    test::TempDataRoot root;
    test::CapturingNotifier notifier;
    ManualClock clock{fromlocaldatetime(encodedatetime(2027, 6, 14, 12, 0))};
    ScopedAppClock useclock{clock};
};

TEST_F(VelkSystemScheduler, LoadsAtStartUpDespiteADamagedFileAndSavesAtShutdown)
{
    std::filesystem::create_directories(root.common());
    // The WDM edition starts no cards here, so channel 0 does not exist.
    test::writetextfile(root.common() + "schedulerds.xml",
                        R"(<Scheduler Version="3"><Scheduler Enabled="1" Count="2"/>
                           <Schedule0 Channel="0" Start="11:00:00" Stop="13:00:00"/>
                           <Schedule1 Channel="1" Start="noon" Stop="13:00:00"/></Scheduler>)");
    {
        VelkSystem system(Edition::Wdm);
        system.startup();
        system.runqueue();
        ASSERT_NE(system.scheduler(), nullptr);
        EXPECT_EQ(system.scheduler()->getcount(), 1u);
        EXPECT_TRUE(system.scheduler()->isactive());
        EXPECT_TRUE(haslog(system, "Scheduler file damaged (not a time: Schedule1)"));
        EXPECT_TRUE(haslog(system, "Scheduler error: No channel 0 to switch"));
        EXPECT_TRUE(haslog(system, "VELK System Activated."));
        system.shutdown();
        EXPECT_EQ(system.scheduler(), nullptr);
    }
    const std::string saved = test::readtextfile(root.common() + "schedulerds.xml");
    EXPECT_NE(saved.find(R"(Enabled="1" Count="1")"), std::string::npos) << saved;
    EXPECT_NE(saved.find(R"(<Schedule0 Channel="0" Start="11:00:00" Stop="13:00:00")"), std::string::npos) << saved;
}

// A channel dropped at start-up (its card is gone) closes up the channel table; its schedules go
// with it and the later channels' schedules follow them, so the channel that moved into its place
// is not switched by the dropped one's schedule.
TEST_F(VelkSystemScheduler, SchedulesFollowTheChannelsDroppedAtStartUp)
{
    setenv("VELK_VIRTUAL_CARDS", "1", 1);
    setedition(Edition::Asio);  // the configuration file of the edition that starts below
    TConfig c;
    loadconfig(c);
    c.num = 3;
    for (int i = 0; i < 3; ++i) {
        c.channels[static_cast<std::size_t>(i)] = TChannelConfig{};
        c.channels[static_cast<std::size_t>(i)].name = "Ch" + std::to_string(i);
        c.channels[static_cast<std::size_t>(i)].chnum = i;
        c.channels[static_cast<std::size_t>(i)].folder = root.root() + "/rec";
    }
    c.channels[1].card = 5;  // no such card
    saveconfig(c);
    // Channel 1 would record now (11:00-13:00); channel 2 from 14:00.
    test::writetextfile(root.common() + "scheduler.xml",
                        R"(<Scheduler Version="3"><Scheduler Enabled="1" Count="2"/>
                           <Schedule0 Channel="1" Start="11:00:00" Stop="13:00:00"/>
                           <Schedule1 Channel="2" Start="14:00:00" Stop="15:00:00"/></Scheduler>)");
    {
        VelkSystem system(Edition::Asio);
        system.startup();
        system.runqueue();
        EXPECT_TRUE(haslog(system, "Sound card not exist for channel: Ch1"));
        ASSERT_EQ(system.channels().size(), 2u);
        EXPECT_EQ(system.channels().at(1).name(), "Ch2");
        EXPECT_EQ(system.channels().at(1).id(), 1);
        EXPECT_EQ(system.config().num, 2);
        EXPECT_EQ(system.config().channels[1].name, "Ch2");
        EXPECT_FALSE(system.channels().at(1).recording());
        ASSERT_EQ(system.scheduler()->getcount(), 1u);
        EXPECT_EQ(system.scheduler()->getschedule(0).channel, 1);
        EXPECT_DOUBLE_EQ(system.scheduler()->getschedule(0).start, 14.0 / 24);
        system.shutdown();
    }
    unsetenv("VELK_VIRTUAL_CARDS");
}

}  // namespace
}  // namespace velk
