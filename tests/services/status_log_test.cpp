#include "services/status_log.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <clocale>
#include <csignal>
#include <thread>

#include "core/clock.h"
#include "core/main_thread_queue.h"
#include "core/user_notifier.h"
#include "tests/support/capturing_notifier.h"
#include "tests/support/temp_folder.h"

namespace velk {
namespace {

struct LogSink : MainMessageHandler {
    StatusLog* log = nullptr;
    void channelstate(const ChannelStateMessage&) override {}
    void logline(LogLineMessage& m) override { log->append(std::move(m.line)); }
    void savedescriptor(SaveDescriptorMessage&) override {}
    void filecomplete(FileCompleteMessage&) override {}
};

class StatusLogTest : public ::testing::Test {
protected:
    StatusLogTest() : clock(fromlocaldatetime(encodedatetime(2024, 3, 5, 23, 59, 59)))
    {
        std::setlocale(LC_TIME, "C");
        setusernotifier(&notifier);
        log.setfolder(folder.path());
        sink.log = &log;
    }
    ~StatusLogTest() override { setusernotifier(nullptr); }

    std::string file(const char* name) { return test::readtextfile(folder.file(name)); }

    test::TempFolder folder;
    ManualClock clock;
    ScopedAppClock scopedclock{clock};
    ScopedMainQueue queue;
    test::CapturingNotifier notifier;
    StatusLog log;
    LogSink sink;
};

TEST_F(StatusLogTest, LinesAreStampedInTheCallersThreadAndArriveInOrder)
{
    std::thread worker([] { addlog("Record started: Studio A"); });
    worker.join();
    clock.advance(std::chrono::seconds(1));
    addlog("second");
    queue.queue().drain(&sink);
    // The C locale's short date and long time formats.
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"03/05/24 @ 23:59:59; Record started: Studio A",
                                                     "03/06/24 @ 00:00:00; second"}));
}

// A channel name or a path carrying a line break or other control characters cannot forge a log
// line of its own: the day's file gets exactly one stamped line per call.
TEST_F(StatusLogTest, ControlCharactersInATextCannotForgeLines)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Record started: A\r\n03/05/24 @ 23:59:59; VELK Closed.", "Record started: A\\r\\n03/05/24 @ 23:59:59; VELK Closed."},
        {"Tab\there\x1b[2J\x7f\x01", "Tab\\there\\x1b[2J\\x7f\\x01"},
        {"next\xc2\x85line\xe2\x80\xa8sep", "next\\u0085line\\u2028sep"},
        {"Studio \xc3\xa4 \xe2\x82\xac \xff", "Studio \xc3\xa4 \xe2\x82\xac \xff"},  // text and stray bytes stay
    };
    for (const auto& [text, shown] : cases)
        addlog(text);
    queue.queue().drain(&sink);
    ASSERT_TRUE(log.savelog());
    const std::string saved = file("2024-03-05.log");
    std::string expected;
    for (const auto& [text, shown] : cases)
        expected += "03/05/24 @ 23:59:59; " + shown + "\r\n";
    EXPECT_EQ(saved, expected);
}

TEST_F(StatusLogTest, SavingAppendsToTheFileOfTheDayOfSavingWithCrLf)
{
    log.append("a");
    clock.advance(std::chrono::seconds(2));  // now 6 March
    ASSERT_TRUE(log.savelog());
    EXPECT_EQ(file("2024-03-06.log"), "a\r\n");
    // A second run on the same day appends after the first; lines already filed are not repeated.
    log.append("b");
    ASSERT_TRUE(log.savelog());
    StatusLog second;
    second.setfolder(folder.path());
    second.append("c");
    ASSERT_TRUE(second.savelog());
    EXPECT_EQ(file("2024-03-06.log"), "a\r\nb\r\nc\r\n");
}

TEST_F(StatusLogTest, AFileHeldByAnotherProgramFailsTheSaveAndKeepsTheLines)
{
    clock.advance(std::chrono::seconds(2));
    const std::string path = folder.file("2024-03-06.log");
    UniqueFd other(::open(path.c_str(), O_RDWR | O_CREAT, 0644));
    ASSERT_EQ(::flock(other.get(), LOCK_EX), 0);
    log.append("kept");
    EXPECT_FALSE(log.savelog());
    ASSERT_EQ(notifier.errors.size(), 1u);
    EXPECT_EQ(notifier.errors[0].rfind("Could not save log file|", 0), 0u);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"kept"});
    other.reset();
    log.append("later");
    ASSERT_TRUE(log.savelog());
    EXPECT_EQ(file("2024-03-06.log"), "kept\r\nlater\r\n");
}

TEST_F(StatusLogTest, OverflowFilesTheListAndStartsANewOne)
{
    StatusLog small(3);
    small.setfolder(folder.path());
    for (const char* line : {"1", "2", "3", "4"})
        small.append(line);
    EXPECT_EQ(small.lines(), (std::vector<std::string>{"*** Log size limit reached, list reset.", "4"}));
    EXPECT_EQ(file("2024-03-05.log"), "1\r\n2\r\n3\r\n");
    ASSERT_TRUE(small.savelog());
    EXPECT_EQ(file("2024-03-05.log"), "1\r\n2\r\n3\r\n*** Log size limit reached, list reset.\r\n4\r\n");
}

TEST_F(StatusLogTest, OverflowWhileTheFileCannotBeWrittenLosesNoLine)
{
    StatusLog small(2);
    small.setfolder(folder.file("missing-folder"));
    for (const char* line : {"1", "2", "3"})
        small.append(line);
    EXPECT_EQ(notifier.errors.size(), 1u);
    EXPECT_EQ(small.lines(), (std::vector<std::string>{"*** Log size limit reached, list reset.", "3"}));
    small.setfolder(folder.path());
    ASSERT_TRUE(small.savelog());
    EXPECT_EQ(file("2024-03-05.log"), "1\r\n2\r\n*** Log size limit reached, list reset.\r\n3\r\n");
}

// The error box runs an event loop that keeps delivering lines; each overflow among them would
// save again. One box is shown at a time, and once the folder works every line is filed in order.
TEST_F(StatusLogTest, LinesArrivingWhileTheSaveErrorIsShownQueueBehindOneBox)
{
    struct Arriving : UserNotifier {
        StatusLog* log = nullptr;
        int boxes = 0;
        void error(const std::string&, const std::string&) override
        {
            ++boxes;
            for (int i = 0; i < 7; ++i)
                log->append("during " + std::to_string(i));
        }
        void information(const std::string&, const std::string&) override {}
    } arriving;
    StatusLog small(3);
    arriving.log = &small;
    setusernotifier(&arriving);
    small.setfolder(folder.file("missing-folder"));
    for (const char* line : {"1", "2", "3", "4"})
        small.append(line);
    EXPECT_EQ(arriving.boxes, 1);
    small.setfolder(folder.path());
    ASSERT_TRUE(small.savelog());
    const std::string reset = "*** Log size limit reached, list reset.\r\n";
    EXPECT_EQ(file("2024-03-05.log"), "1\r\n2\r\n3\r\n" + reset + "4\r\nduring 0\r\n" + reset +
                                          "during 1\r\nduring 2\r\n" + reset + "during 3\r\nduring 4\r\n" + reset +
                                          "during 5\r\nduring 6\r\n");
    setusernotifier(&notifier);
}

// A full disk takes part of an append: that part is taken back, the lines stay unfiled, and the
// next filing writes every line exactly once.
TEST_F(StatusLogTest, AFullDiskKeepsTheLinesAndTheNextFilingWritesEachOnce)
{
    log.append("first line");
    log.append("second line");
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 8;
    ::setrlimit(RLIMIT_FSIZE, &small);
    const bool filed = log.savelog();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(filed);
    EXPECT_EQ(file("2024-03-05.log"), "");
    log.append("third line");
    ASSERT_TRUE(log.savelog());
    EXPECT_EQ(file("2024-03-05.log"), "first line\r\nsecond line\r\nthird line\r\n");
}

}  // namespace
}  // namespace velk
