// velkasio with its windows (offscreen) as a user runs it: started on a virtual card with its
// channel switched on at start-up, ended by SIGTERM, which closes the window in order.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <thread>

#include "config/config.h"
#include "config/config_file.h"
#include "recfiles/descriptor_files.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_folder.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> filesbelow(const std::string& folder, const std::string& extension)
{
    std::vector<std::string> out;
    std::error_code ec;
    if (!fs::exists(folder, ec))
        return out;
    for (const auto& e : fs::recursive_directory_iterator(folder, ec))
        if (e.is_regular_file() && e.path().extension() == extension)
            out.push_back(e.path().string());
    return out;
}

TEST(WindowedProgram, RecordsFromStartUpAndATerminationSignalClosesTheWindowInOrder)
{
    test::TempDataRoot root;
    loadconfig(config());
    TConfig& c = config();
    c.num = 1;
    c.channels[0] = TChannelConfig{};
    c.channels[0].name = "Desk";
    c.channels[0].folder = root.root() + "/rec";
    c.autorecording = true;
    saveconfig(c);
    const std::string common = c.common_path;
    config() = TConfig{};

    test::ChildProcess program(VELKASIO_PATH, {},
                               {"VELK_DATA_ROOT=" + root.root(), "VELK_VIRTUAL_CARDS=1", "QT_QPA_PLATFORM=offscreen"});
    // The recording's descriptor appears once the window has started the recorder.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (filesbelow(common + "Data", ".velk").empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto descriptors = filesbelow(common + "Data", ".velk");
    ASSERT_EQ(descriptors.size(), 1u) << program.output();
    program.signal(SIGTERM);
    ASSERT_EQ(program.wait(), 0) << program.output();
    // With windows the lines go to the list, not to stdout.
    EXPECT_EQ(program.output().find("VELK System Activated."), std::string::npos) << program.output();

    TRecDescriptor d;
    ASSERT_TRUE(readdescriptor(descriptors[0], d));
    EXPECT_EQ(d.state, DESC_FINAL);
    EXPECT_EQ(filesbelow(root.root() + "/rec", ".wav").size(), 1u);
    std::string log;
    for (const auto& file : filesbelow(common + "Logs", ".log"))
        log += test::readtextfile(file);
    EXPECT_NE(log.find("; Record started: Desk\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("; VELK Closed.\r\n"), std::string::npos) << log;
}

}  // namespace
}  // namespace velk
