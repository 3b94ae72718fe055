// One instance across both editions: a second start of either program, refused by the lock,
// brings the running window to the front through its local socket and exits with 1.
#include <signal.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "gui/instance_server.h"
#include "tests/gui/gui_fixture.h"
#include "tests/support/child_process.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

TEST(SingleInstance, ARequestReachesTheRunningInstanceAndIsConfirmed)
{
    test::TempDataRoot root;
    int activated = 0;
    TInstanceServer server([&] { ++activated; });
    ASSERT_TRUE(server.listening());
    std::atomic<bool> done{false};
    bool confirmed = false;
    std::thread client([&] {
        confirmed = activaterunning();
        done = true;
    });
    const bool finished = test::pumpuntil([&] { return done.load(); });
    client.join();
    ASSERT_TRUE(finished);
    EXPECT_TRUE(confirmed);
    EXPECT_EQ(activated, 1);
}

TEST(SingleInstance, NoRunningWindowMeansNoConfirmation)
{
    test::TempDataRoot root;
    EXPECT_FALSE(activaterunning(500));
}

TEST(SingleInstance, ASecondStartOfEitherEditionExitsAndTheFirstRunsOn)
{
    test::TempDataRoot root;
    const std::string data = test::writedeskconfig(root, true) + "Data";
    const std::vector<std::string> env{"VELK_DATA_ROOT=" + root.root(), "VELK_VIRTUAL_CARDS=1",
                                       "QT_QPA_PLATFORM=offscreen"};

    test::ChildProcess first(VELKASIO_PATH, {}, env);
    // The recording's descriptor shows the window has started the recorder (and listens).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto started = [&] {
        std::error_code ec;
        if (!fs::exists(data, ec))
            return false;
        for (const auto& e : fs::recursive_directory_iterator(data, ec))
            if (e.path().extension() == ".velk")
                return true;
        return false;
    };
    while (!started() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(started()) << first.output();

    const std::string wdm = fs::path(VELKASIO_PATH).parent_path().string() + "/velkwdm";
    for (const std::string& program : {std::string(VELKASIO_PATH), wdm}) {
        test::ChildProcess second(program, {}, env);
        EXPECT_EQ(second.wait(), 1) << program;
        EXPECT_NE(second.output().find("VELK is already running."), std::string::npos) << second.output();
    }

    first.signal(SIGTERM);
    EXPECT_EQ(first.wait(), 0) << first.output();
}

}  // namespace
}  // namespace velk
