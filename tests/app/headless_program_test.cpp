// The programs as a user meets them: started headless on an empty data folder, stopped with a
// signal, started again.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/support/child_process.h"
#include "tests/support/temp_folder.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

class HeadlessProgramTest : public ::testing::Test {
protected:
    std::vector<std::string> env() { return {"VELK_DATA_ROOT=" + folder.path(), "LC_ALL=C"}; }
    std::string common() { return folder.path() + "/Quorlith/VELK/4.0/"; }
    std::string logs()
    {
        std::string all;
        for (const auto& entry : fs::directory_iterator(common() + "Logs"))
            all += test::readtextfile(entry.path().string());
        return all;
    }

    test::TempFolder folder;
};

TEST_F(HeadlessProgramTest, FirstStartMakesTheFoldersAndSavesDefaultsAtShutdown)
{
    {
        test::ChildProcess asio(VELKASIO_PATH, {"--headless"}, env());
        ASSERT_TRUE(asio.waitforline("VELK System Activated.")) << asio.output();
        asio.signal(SIGTERM);
        EXPECT_EQ(asio.wait(), 0) << asio.output();
        EXPECT_NE(asio.output().find("VELK Closed."), std::string::npos);
        EXPECT_EQ(asio.output().find("Loading settings..."), std::string::npos);
    }
    for (const char* sub : {"Logs", "Data", "Recordings"})
        EXPECT_TRUE(fs::is_directory(common() + sub)) << sub;
    for (const char* file : {"config.xml", "format.dat"}) {
        struct stat st {};
        ASSERT_EQ(::stat((common() + file).c_str(), &st), 0) << file;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << file;  // the password is stored there
    }
    EXPECT_EQ(fs::file_size(common() + "format.dat"), 531u);
    const std::string log = logs();
    const auto init = log.find("; VELK System Initialization...\r\n");
    const auto active = log.find("; VELK System Activated.\r\n");
    const auto closed = log.find("; VELK Closed.\r\n");
    ASSERT_NE(init, std::string::npos) << log;
    ASSERT_NE(active, std::string::npos);
    ASSERT_NE(closed, std::string::npos);
    EXPECT_LT(init, active);
    EXPECT_LT(active, closed);

    // The second start reads what the first saved; the log file grows.
    test::ChildProcess again(VELKASIO_PATH, {"--headless"}, env());
    ASSERT_TRUE(again.waitforline("Loading settings...")) << again.output();
    ASSERT_TRUE(again.waitforline("VELK System Activated."));
    again.signal(SIGINT);
    EXPECT_EQ(again.wait(), 0);
    EXPECT_GT(logs().size(), log.size());
    EXPECT_FALSE(fs::exists(common() + "configds.xml"));
}

TEST_F(HeadlessProgramTest, OnlyOneInstanceOfEitherEditionRuns)
{
    test::ChildProcess asio(VELKASIO_PATH, {"--headless"}, env());
    ASSERT_TRUE(asio.waitforline("VELK System Activated."));
    test::ChildProcess wdm(VELKWDM_PATH, {"--headless"}, env());
    EXPECT_EQ(wdm.wait(), 1);
    EXPECT_NE(wdm.output().find("VELK is already running."), std::string::npos) << wdm.output();
    asio.signal(SIGTERM);
    EXPECT_EQ(asio.wait(), 0);

    // Killed outright, the first instance leaves nothing behind that blocks the next start.
    test::ChildProcess killed(VELKWDM_PATH, {"--headless"}, env());
    ASSERT_TRUE(killed.waitforline("VELK System Activated."));
    killed.signal(SIGKILL);
    killed.wait();
    test::ChildProcess next(VELKWDM_PATH, {"--headless"}, env());
    ASSERT_TRUE(next.waitforline("VELK System Activated.")) << next.output();
    next.signal(SIGTERM);
    EXPECT_EQ(next.wait(), 0);
    EXPECT_TRUE(fs::exists(common() + "configds.xml"));
}

TEST_F(HeadlessProgramTest, ADamagedConfigurationIsReportedAndReplacedByDefaults)
{
    fs::create_directories(common());
    const std::string damaged = "<VELK Version=\"4\"><Password Key=\"";
    test::writetextfile(common() + "config.xml", damaged);
    test::writetextfile(common() + "format.dat", std::string(531, '\0'));
    test::ChildProcess asio(VELKASIO_PATH, {"--headless"}, env());
    ASSERT_TRUE(asio.waitforline("Configuration file corrupted. VELK will load default settings.")) << asio.output();
    ASSERT_TRUE(asio.waitforline("VELK System Activated."));
    asio.signal(SIGTERM);
    EXPECT_EQ(asio.wait(), 0);
    EXPECT_NE(asio.output().find("it is kept as \"" + common() + "config.xml.bad\" and the default settings are used."),
              std::string::npos)
        << asio.output();
    EXPECT_NE(test::readtextfile(common() + "config.xml").find("<Channels Number=\"1\">"), std::string::npos);
    // The user's file is kept as it was, for repair by hand.
    EXPECT_EQ(test::readtextfile(common() + "config.xml.bad"), damaged);
}

TEST(ProgramOptions, HelpVersionAndUnknownOptions)
{
    test::ChildProcess version(VELKASIO_PATH, {"--version"});
    EXPECT_EQ(version.wait(), 0);
    EXPECT_NE(version.output().find("Quorlith VELK 4.0.0 (ASIO)"), std::string::npos) << version.output();
    test::ChildProcess help(VELKWDM_PATH, {"--help"});
    EXPECT_EQ(help.wait(), 0);
    EXPECT_NE(help.output().find("--headless"), std::string::npos);
    test::ChildProcess bad(VELKWDM_PATH, {"--bogus"});
    EXPECT_EQ(bad.wait(), 2);
    EXPECT_NE(bad.output().find("unknown option '--bogus'"), std::string::npos);
}

// A log folder the recorder cannot write: it records all the same, says so at once, and exits
// with a failure, since its account of the run is lost.
TEST_F(HeadlessProgramTest, AnUnusableLogFolderIsReportedAndFailsTheExitStatus)
{
    fs::create_directories(common());
    test::writetextfile(common() + "Logs", "not a folder");
    test::ChildProcess asio(VELKASIO_PATH, {"--headless"}, env());
    ASSERT_TRUE(asio.waitforline("VELK System Activated.")) << asio.output();
    asio.signal(SIGTERM);
    EXPECT_EQ(asio.wait(), 1) << asio.output();
    EXPECT_NE(asio.output().find("the log folder " + common() + "Logs cannot be used (not a folder)"),
              std::string::npos)
        << asio.output();
    EXPECT_NE(asio.output().find("Could not save log file"), std::string::npos) << asio.output();
    EXPECT_NE(asio.output().find("the status log could not be filed in " + common() + "Logs"), std::string::npos)
        << asio.output();
}

}  // namespace
}  // namespace velk
