// velkasio with its windows as a user runs it: started on a virtual card with its channel switched
// on at start-up, ended by SIGTERM, which closes the window in order; and on an X display that
// dies under it, which must not cost the recording.
#include <gtest/gtest.h>
#include <signal.h>

#include <ctime>
#include <filesystem>
#include <thread>

#include "config/config.h"
#include "config/config_file.h"
#include "recfiles/descriptor_files.h"
#include "tests/gui/gui_fixture.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_folder.h"
#include "tests/support/xvfb_server.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

using test::filesbelow;

// One channel "Desk" on the virtual card, written before the program starts.
class WindowedProgram : public ::testing::Test {
protected:
    void configure(bool autorecording) { common = test::writedeskconfig(root, autorecording); }

    // Waits until the recording's descriptor appears (the window has started the recorder).
    std::vector<std::string> waitfordescriptor()
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (filesbelow(common + "Data", ".velk").empty() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return filesbelow(common + "Data", ".velk");
    }

    // The recording was finished in order: final descriptor, one file, the session in the log.
    void expectfinished(const std::string& descriptor)
    {
        TRecDescriptor d;
        ASSERT_TRUE(readdescriptor(descriptor, d));
        EXPECT_EQ(d.state, DESC_FINAL);
        EXPECT_EQ(filesbelow(root.root() + "/rec", ".wav").size(), 1u);
        EXPECT_NE(log().find("; Record started: Desk\r\n"), std::string::npos) << log();
        EXPECT_NE(log().find("; VELK Closed.\r\n"), std::string::npos) << log();
    }

    std::string log()
    {
        std::string text;
        for (const auto& file : filesbelow(common + "Logs", ".log"))
            text += test::readtextfile(file);
        return text;
    }

    test::TempDataRoot root;
    std::string common;
};

TEST_F(WindowedProgram, RecordsFromStartUpAndATerminationSignalClosesTheWindowInOrder)
{
    configure(true);
    test::ChildProcess program(VELKASIO_PATH, {},
                               {"VELK_DATA_ROOT=" + root.root(), "VELK_VIRTUAL_CARDS=1", "QT_QPA_PLATFORM=offscreen"});
    const auto descriptors = waitfordescriptor();
    ASSERT_EQ(descriptors.size(), 1u) << program.output();
    program.signal(SIGTERM);
    ASSERT_EQ(program.wait(), 0) << program.output();
    // With windows the lines go to the list, not to stdout.
    EXPECT_EQ(program.output().find("VELK System Activated."), std::string::npos) << program.output();
    expectfinished(descriptors[0]);
}

// Runs xdotool on `display`; returns its standard output.
std::string xdotool(const std::string& display, const std::string& args)
{
    return test::commandoutput("DISPLAY=" + display + " xdotool " + args + " 2>/dev/null");
}

// A user at a real X display: a mouse click on the panel's record button starts the recording,
// and Alt+F4 closes the window, which finishes it.
TEST_F(WindowedProgram, AClickOnTheRecordButtonRecordsAndAltF4FinishesTheRecording)
{
    configure(false);
    test::XvfbServer xserver;
    test::ChildProcess program(VELKASIO_PATH, {},
                               {"VELK_DATA_ROOT=" + root.root(), "VELK_VIRTUAL_CARDS=1", "QT_QPA_PLATFORM=xcb",
                                "DISPLAY=" + xserver.display()});
    std::string window;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (window.empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        window = xdotool(xserver.display(), "search --onlyvisible --name 'Quorlith VELK'");
        window = window.substr(0, window.find('\n'));
    }
    ASSERT_FALSE(window.empty()) << program.output();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the window settles at its size
    // One row of panels: the window is (bar) + 59 + 28 + 100 (the log list) pixels high, and the
    // first panel's button is centred 46 pixels from the left and (bar) + 34 from the top.
    const std::string geometry = xdotool(xserver.display(), "getwindowgeometry " + window);
    const auto at = geometry.find("Geometry: ");
    ASSERT_NE(at, std::string::npos) << geometry;
    const int height = std::stoi(geometry.substr(geometry.find('x', at) + 1));
    const int bar = height - 187;
    ASSERT_GT(bar, 20) << geometry;
    xdotool(xserver.display(), "mousemove --window " + window + " 46 " + std::to_string(bar + 34) + " click 1");
    const auto descriptors = waitfordescriptor();
    ASSERT_EQ(descriptors.size(), 1u) << program.output();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // some audio
    xdotool(xserver.display(), "key alt+F4");
    ASSERT_EQ(program.wait(), 0) << program.output();
    expectfinished(descriptors[0]);
}

// The X server ends under the program (a crash, a session torn down without notice): the window
// system ends the process, and the recorder still finishes the recording and files its log.
// --record switches the channel on in the windowed program too.
TEST_F(WindowedProgram, ADisplayThatDiesDoesNotCostTheRecording)
{
    configure(false);
    test::XvfbServer xserver;
    test::ChildProcess program(VELKASIO_PATH, {"--record"},
                               {"VELK_DATA_ROOT=" + root.root(), "VELK_VIRTUAL_CARDS=1", "QT_QPA_PLATFORM=xcb",
                                "DISPLAY=" + xserver.display(),
                                // The process ends with its windows still allocated.
                                "ASAN_OPTIONS=detect_leaks=0"});
    const auto descriptors = waitfordescriptor();
    ASSERT_EQ(descriptors.size(), 1u) << program.output();
    xserver.kill();
    EXPECT_EQ(program.wait(), 1) << program.output();
    expectfinished(descriptors[0]);
    EXPECT_NE(log().find("; The display is gone: closing.\r\n"), std::string::npos) << log();
}

// A scheduled stop under exit protection opens the password prompt (nobody answers it); a
// termination signal then closes the prompt as refused and the window in order, instead of
// shutting the recorder down under the prompt's caller.
TEST_F(WindowedProgram, ATerminationSignalDuringAScheduledStopsPasswordPromptClosesInOrder)
{
    common = test::writedeskconfig(root, true);
    TConfig c;
    loadconfig(c);
    c.passw = "pw";
    c.exitpass = true;
    saveconfig(c);
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    if (local.tm_hour == 23 && local.tm_min == 59)
        GTEST_SKIP() << "the schedule would run across midnight";
    auto clock = [](std::time_t t) {
        std::tm tm{};
        ::localtime_r(&t, &tm);
        char text[16];
        std::strftime(text, sizeof text, "%H:%M:%S", &tm);
        return std::string(text);
    };
    const std::time_t stop = now + 3;
    test::writetextfile(common + "scheduler.xml",
                        R"(<Scheduler Version="3"><Scheduler Enabled="1" Count="1"/><Schedule0 Channel="0" Start=")" +
                            clock(now - 3600) + R"(" Stop=")" + clock(stop) + R"("/></Scheduler>)");
    test::ChildProcess program(VELKASIO_PATH, {},
                               {"VELK_DATA_ROOT=" + root.root(), "VELK_VIRTUAL_CARDS=1", "QT_QPA_PLATFORM=offscreen",
                                "LC_ALL=C"});
    const auto descriptors = waitfordescriptor();
    ASSERT_EQ(descriptors.size(), 1u) << program.output();
    // The stop fires at its second; its prompt is open a moment later.
    while (std::time(nullptr) < stop + 2)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    program.signal(SIGTERM);
    ASSERT_EQ(program.wait(), 0) << program.output();
    expectfinished(descriptors[0]);
    EXPECT_NE(log().find("; Scheduled stop refused, the channel keeps recording: Desk\r\n"), std::string::npos)
        << log();
}

}  // namespace
}  // namespace velk
