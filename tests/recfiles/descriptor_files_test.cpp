#include "recfiles/descriptor_files.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "core/main_thread_queue.h"
#include "recfiles/descriptor_backlog.h"
#include "tests/support/recording_fixture.h"
#include "tests/support/message_recorder.h"
#include "tests/support/temp_folder.h"

namespace velk {
namespace {

TRecDescriptor descriptorinstate(std::int32_t state)
{
    TRecDescriptor d;
    d.start = 45356.25;
    d.stop = 45356.5;
    d.state = state;
    d.peak = state * 1000;
    d.setname("Channel1");
    d.setpath("/rec/2024-03-05-06-00-00-Channel1.wav");
    d.samplerate = 44100;
    d.format = pcmwaveformat(44100, 1, 16);
    d.mp3mode = 1;
    d.vbrmax = 13;
    d.mp3crc = 1;
    return d;
}

class DescriptorFilesTest : public ::testing::Test {
protected:
    std::vector<std::string> loglines()
    {
        queue.queue().drain(&log);
        return std::exchange(log.texts, {});
    }
    std::string path(const char* name) { return folder.file(name); }

    test::TempDataRoot root;
    test::TempFolder folder;
    ScopedMainQueue queue;
    test::MessageRecorder log;
};

TEST_F(DescriptorFilesTest, WrittenAndReadBackByteIdentical)
{
    const TRecDescriptor d = descriptorinstate(DESC_WAITING);
    writedescriptor(path("06-00-00-Channel1.velk"), d);
    const std::string raw = test::readtextfile(path("06-00-00-Channel1.velk"));
    const auto bytes = d.serialize();
    EXPECT_EQ(raw, std::string(bytes.begin(), bytes.end()));
    TRecDescriptor back;
    ASSERT_TRUE(readdescriptor(path("06-00-00-Channel1.velk"), back));
    EXPECT_EQ(back.serialize(), bytes);
    EXPECT_TRUE(loglines().empty());
}

TEST_F(DescriptorFilesTest, ReadFailuresAreLoggedAndReturnFalse)
{
    TRecDescriptor d;
    EXPECT_FALSE(readdescriptor(path("missing.velk"), d));
    test::writetextfile(path("empty.velk"), "");
    EXPECT_FALSE(readdescriptor(path("empty.velk"), d));
    EXPECT_EQ(loglines(), (std::vector<std::string>{"Can not open VELK file for reading: No such file or directory",
                                                    "Read from VELK file failed"}));
}

TEST_F(DescriptorFilesTest, AShortFileFillsOnlyItsBytes)
{
    const auto bytes = descriptorinstate(DESC_FINAL).serialize();
    test::writetextfile(path("short.velk"), std::string(bytes.begin(), bytes.begin() + 28));
    TRecDescriptor d = descriptorinstate(DESC_RECORDING);
    d.samplerate = 8000;
    ASSERT_TRUE(readdescriptor(path("short.velk"), d));
    EXPECT_EQ(d.state, DESC_FINAL);     // within the 28 bytes
    EXPECT_EQ(d.samplerate, 8000);      // beyond them: as it was
}

TEST_F(DescriptorFilesTest, WriteIntoAMissingFolderIsLogged)
{
    writedescriptor(path("no/such/folder/x.velk"), descriptorinstate(DESC_RECORDING));
    EXPECT_EQ(loglines(), std::vector<std::string>{"Can not open VELK file for writing: No such file or directory"});
}

TEST_F(DescriptorFilesTest, DeleteRemovesTheFile)
{
    writedescriptor(path("d.velk"), descriptorinstate(DESC_FINAL));
    deletedescriptor(path("d.velk"));
    EXPECT_FALSE(test::readtextfile(path("d.velk")).size());
    EXPECT_FALSE(unlockfile(nullptr));
    EXPECT_TRUE(unlockfile(lockfile(path("d.velk"))));
}

TEST_F(DescriptorFilesTest, AnInterruptedWriteKeepsThePreviousRecord)
{
    // A child process may write only 1000 bytes (as on a full disk): its descriptor write must
    // leave the previous record whole and say how much it wrote.
    const std::string target = path("torn.velk");
    writedescriptor(target, descriptorinstate(DESC_RECORDING));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{1000, 1000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ScopedMainQueue childqueue;
        test::MessageRecorder childlog;
        writedescriptor(target, descriptorinstate(DESC_FINAL));
        childqueue.queue().drain(&childlog);
        const bool logged = childlog.texts == std::vector<std::string>{"Write to VELK file, size mismatch: 1000"};
        ::_exit(logged ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    TRecDescriptor back;
    ASSERT_TRUE(readdescriptor(target, back));
    EXPECT_EQ(back.serialize(), descriptorinstate(DESC_RECORDING).serialize());
}

TEST_F(DescriptorFilesTest, ConcurrentReadersNeverSeeATornRecord)
{
    const std::string target = path("busy.velk");
    writedescriptor(target, descriptorinstate(DESC_RECORDING));
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < 2; ++w)
        threads.emplace_back([&, w] {
            for (int i = 0; i < 300; ++i)
                writedescriptor(target, descriptorinstate(1 + (i + w) % 4));
        });
    for (int r = 0; r < 2; ++r)
        threads.emplace_back([&] {
            while (!stop) {
                TRecDescriptor d;
                if (!readdescriptor(target, d))
                    continue;
                if (d.serialize() != descriptorinstate(d.state).serialize())
                    ++bad;
            }
        });
    threads[0].join();
    threads[1].join();
    stop = true;
    threads[2].join();
    threads[3].join();
    EXPECT_EQ(bad, 0);
    queue.queue().discard();
}

// A full data folder (here a file-size limit): the record is kept and written by a later retry;
// a newer record of the same file replaces it, and one whose recording is gone is dropped.
TEST_F(DescriptorFilesTest, BacklogKeepsUnwrittenDescriptorsUntilTheyCanBeWritten)
{
    const std::string audio = path("a.wav");
    test::writetextfile(audio, "x");
    TRecDescriptor started = descriptorinstate(DESC_RECORDING);
    started.setpath(audio);
    TRecDescriptor finished = started;
    finished.state = DESC_WAITING;
    TRecDescriptor deleted = descriptorinstate(DESC_RECORDING);
    deleted.setpath(path("deleted.wav"));

    DescriptorBacklog backlog;
    {
        test::FileSizeLimit limit(1000);
        EXPECT_FALSE(backlog.write(path("a.velk"), started, true));
        EXPECT_FALSE(backlog.write(path("a.velk"), finished, false));
        EXPECT_FALSE(backlog.write(path("deleted.velk"), deleted, false));
        EXPECT_EQ(backlog.size(), 2u);
        EXPECT_TRUE(backlog.retry().empty());
        EXPECT_EQ(backlog.size(), 1u);
    }
    loglines();
    EXPECT_EQ(backlog.retry(), std::vector<std::string>{path("a.velk")});
    EXPECT_EQ(backlog.size(), 0u);
    EXPECT_EQ(loglines(), std::vector<std::string>{"Recording descriptor written after a failed write: " + path("a.velk")});
    TRecDescriptor back;
    ASSERT_TRUE(readdescriptor(path("a.velk"), back));
    EXPECT_EQ(back.state, DESC_WAITING);
    EXPECT_FALSE(std::filesystem::exists(path("deleted.velk")));
}

}  // namespace
}  // namespace velk
