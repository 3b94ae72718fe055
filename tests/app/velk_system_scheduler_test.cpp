// The scheduler inside the system: loaded at start-up from the edition's schedule file (a
// damaged file costs only the schedules after the fault), its events reach the channels, and
// the file is written back at shutdown.

#include "app/velk_system.h"

#include <gtest/gtest.h>

#include <clocale>
#include <filesystem>

#include "config/scheduler.h"
#include "core/clock.h"
#include "core/user_notifier.h"
#include "tests/support/capture.h"
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

TEST(VelkSystemScheduler, LoadsAtStartUpDespiteADamagedFileAndSavesAtShutdown)
{
    std::setlocale(LC_TIME, "C");
    test::TempDataRoot root;
    test::CapturingNotifier notifier;
    setusernotifier(&notifier);
    ManualClock clock(fromlocaldatetime(encodedatetime(2027, 6, 14, 12, 0)));
    ScopedAppClock useclock(clock);
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
    setusernotifier(nullptr);
    const std::string saved = test::readtextfile(root.common() + "schedulerds.xml");
    EXPECT_NE(saved.find(R"(Enabled="1" Count="1")"), std::string::npos) << saved;
    EXPECT_NE(saved.find(R"(<Schedule0 Channel="0" Start="11:00:00" Stop="13:00:00")"), std::string::npos) << saved;
}

}  // namespace
}  // namespace velk
