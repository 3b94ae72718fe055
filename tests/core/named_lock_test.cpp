#include "platform/named_lock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "core/errors.h"
#include "tests/support/temp_folder.h"

namespace velk {
namespace {

class NamedLockTest : public ::testing::Test {
protected:
    test::TempDataRoot root;
};

TEST_F(NamedLockTest, ThreadsOfOneProcessExcludeEachOther)
{
    NamedLock held = NamedLock::acquire("10-15-00-Channel1.velk");
    std::thread([] {
        EXPECT_FALSE(NamedLock::tryacquire("10-15-00-Channel1.velk").has_value());
        EXPECT_TRUE(NamedLock::tryacquire("10-15-00-Channel2.velk").has_value());
    }).join();
    {
        // The holding thread gets the name again at once, and keeps it after that inner release.
        std::optional<NamedLock> again = NamedLock::tryacquire("10-15-00-Channel1.velk");
        EXPECT_TRUE(again.has_value());
    }
    std::thread([] { EXPECT_FALSE(NamedLock::tryacquire("10-15-00-Channel1.velk").has_value()); }).join();

    std::atomic<bool> got{false};
    std::thread waiter([&] {
        NamedLock mine = NamedLock::acquire("10-15-00-Channel1.velk");
        got = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(got);
    EXPECT_TRUE(held.release());
    waiter.join();
    EXPECT_TRUE(got);
    EXPECT_FALSE(held.release());
}

TEST_F(NamedLockTest, ALockAbandonedByADeadProcessCountsAsFree)
{
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        NamedLock lock = NamedLock::acquire("VELK");
        const char c = 1;
        [[maybe_unused]] ssize_t n = ::write(ready[1], &c, 1);
        ::pause();  // killed while holding the lock
        ::_exit(0);
    }
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    EXPECT_FALSE(NamedLock::tryacquire("VELK").has_value());
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(NamedLock::tryacquire("VELK").has_value());
    ::close(ready[0]);
    ::close(ready[1]);
}

// A holder that never lets go (here another thread) costs a bounded wait, and the lock file is for
// its owner alone even under a umask of 0.
TEST_F(NamedLockTest, ABoundedWaitGivesUpAndTheLockFileIsTheOwnersAlone)
{
    const mode_t previous = ::umask(0);
    NamedLock held = NamedLock::acquire("10-15-00-Channel1.velk");
    ::umask(previous);
    std::thread([] {
        try {
            NamedLock::acquire("10-15-00-Channel1.velk", std::chrono::milliseconds(20));
            ADD_FAILURE() << "acquired a held lock";
        } catch (const EOSError& e) {
            EXPECT_EQ(e.code(), ETIMEDOUT);
        }
        EXPECT_TRUE(NamedLock::acquire("10-15-00-Channel2.velk", std::chrono::milliseconds(20)).held());
    }).join();
    struct stat st {};
    ASSERT_EQ(::stat((root.common() + "velk.locks").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(NamedLockTest, ManyNamesShareOneLockFile)
{
    for (int i = 0; i < 200; ++i)
        NamedLock::acquire("name" + std::to_string(i));
    int files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(root.common()))
        ++files;
    EXPECT_EQ(files, 1);
}

}  // namespace
}  // namespace velk
