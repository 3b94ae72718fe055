// The rule that keeps the converter and the cleanup inside the recorder's folders, and the readers
// that must never block on a file that is not a regular one.
#include "recfiles/own_folders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/data_folders.h"
#include "recfiles/descriptor_files.h"
#include "recfiles/task_list.h"
#include "recfiles/wavein.h"
#include "tests/support/compression_fixture.h"
#include "tests/support/message_recorder.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using Kind = OwnFolders::Kind;

class OwnFoldersTest : public ::testing::Test {
protected:
    OwnFoldersTest()
    {
        for (const auto& f : {data() + "/2024", out() + "/sub", channel(), elsewhere()})
            fs::create_directories(f);
        for (const auto& f : {data() + "/2024/a.velk", out() + "/sub/a.wav", out() + "/a.mp3", out() + "/a.txt",
                              channel() + "/c.wav", elsewhere() + "/x.velk", elsewhere() + "/x.wav"})
            test::writetextfile(f, "x");
        fs::create_symlink(elsewhere(), data() + "/away");
        fs::create_symlink(elsewhere() + "/x.velk", data() + "/2024/link.velk");
        fs::create_symlink(elsewhere(), out() + "/away");
        fs::create_symlink(elsewhere() + "/x.wav", out() + "/link.wav");
        ::mkfifo((data() + "/2024/fifo.velk").c_str(), 0600);
        fs::create_directories(data() + "/2024/dir.velk");
    }

    std::string data() const { return folder.file("Data"); }
    std::string out() const { return folder.file("rec"); }
    std::string channel() const { return folder.file("chan"); }
    std::string elsewhere() const { return folder.file("elsewhere"); }

    test::TempFolder folder;
    OwnFolders folders{data(), {out(), channel(), "relative"}};
};

TEST_F(OwnFoldersTest, OnlyRegularFilesReachedWithoutLinksInsideTheFoldersAreAllowed)
{
    struct Case {
        Kind kind;
        std::string path;
        const char* refusal;  // nullptr: allowed
    };
    const std::vector<Case> cases = {
        {Kind::descriptor, data() + "/2024/a.velk", nullptr},
        {Kind::descriptor, data() + "//2024/./a.velk", nullptr},
        {Kind::recording, out() + "/sub/a.wav", nullptr},
        {Kind::recording, out() + "/a.mp3", nullptr},
        {Kind::recording, channel() + "/c.wav", nullptr},
        {Kind::descriptor, elsewhere() + "/x.velk", ": outside the data folder"},
        {Kind::descriptor, data() + "/2024/../../elsewhere/x.velk", ": outside the data folder"},
        {Kind::descriptor, "2024/a.velk", ": outside the data folder"},
        {Kind::recording, data() + "/../rec/a.mp3", ": outside the output folders"},
        {Kind::recording, elsewhere() + "/x.wav", ": outside the output folders"},
        {Kind::recording, "relative/c.wav", ": outside the output folders"},
        {Kind::descriptor, out() + "/sub/a.wav", ": not a descriptor file"},
        {Kind::recording, out() + "/a.txt", ": not a recording file"},
        {Kind::recording, data() + "/2024/a.velk", ": not a recording file"},
        {Kind::descriptor, data() + "/away/x.velk", ": reached through a symbolic link"},
        {Kind::recording, out() + "/away/x.wav", ": reached through a symbolic link"},
        {Kind::descriptor, data() + "/2024/link.velk", ": a symbolic link"},
        {Kind::recording, out() + "/link.wav", ": a symbolic link"},
        {Kind::descriptor, data() + "/2024/fifo.velk", ": not a regular file"},
        {Kind::descriptor, data() + "/2024/dir.velk", ": not a regular file"},
        {Kind::recording, out() + "/gone.wav", ": No such file or directory"},
        {Kind::recording, out() + "/gone/gone.wav", ": No such file or directory"},
    };
    for (const auto& c : cases) {
        std::string why;
        EXPECT_EQ(folders.allows(c.kind, c.path, why), c.refusal == nullptr) << c.path;
        if (c.refusal) {
            EXPECT_EQ(why, c.path + c.refusal);
        }
    }
    // Missing files inside count as allowed where nothing has to be there.
    std::string why;
    EXPECT_TRUE(folders.allows(Kind::recording, out() + "/gone/gone.wav", why, true));
    EXPECT_FALSE(folders.allows(Kind::recording, elsewhere() + "/gone.wav", why, true));
}

TEST_F(OwnFoldersTest, RemovalDeletesOwnFilesAndNeverFollowsALink)
{
    std::string why;
    EXPECT_TRUE(folders.remove(Kind::recording, out() + "/sub/a.wav", why));
    EXPECT_FALSE(fs::exists(out() + "/sub/a.wav"));
    EXPECT_TRUE(folders.remove(Kind::recording, out() + "/sub/a.wav", why)) << "already gone";
    EXPECT_TRUE(folders.remove(Kind::descriptor, data() + "/2024/a.velk", why));
    EXPECT_FALSE(fs::exists(data() + "/2024/a.velk"));

    for (const auto& [kind, path] : std::vector<std::pair<Kind, std::string>>{
             {Kind::recording, out() + "/link.wav"},
             {Kind::recording, out() + "/away/x.wav"},
             {Kind::descriptor, data() + "/away/x.velk"},
             {Kind::recording, elsewhere() + "/x.wav"}}) {
        EXPECT_FALSE(folders.remove(kind, path, why)) << path;
        EXPECT_NE(why.find(path), std::string::npos) << why;
    }
    EXPECT_TRUE(fs::is_symlink(out() + "/link.wav"));
    EXPECT_EQ(test::readfile(elsewhere() + "/x.wav"), "x");
    EXPECT_EQ(test::readfile(elsewhere() + "/x.velk"), "x");
}

TEST(OwnFolders, AChannelWithoutAnAbsoluteFolderRecordsIntoTheGlobalOne)
{
    test::TempDataRoot root;
    const std::string fallback = velkcommonfolder() + "Recordings";
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {"/rec/chan", "/rec", "/rec/chan"},
        {"", "/rec", "/rec"},
        {"rel", "/rec", "/rec"},
        {"./rel", "/rec", "/rec"},
        {"", "", fallback},
        {"rel", "out", fallback},
    };
    for (const auto& [channel, global, expected] : cases)
        EXPECT_EQ(OwnFolders::recordingfolder(channel, global), expected) << channel << " / " << global;
}

// A FIFO under a descriptor's, a task list's or a recording's name would block a blocking open
// until a writer comes; every reader refuses it at once instead.
TEST(SpecialFiles, ReadersRefuseAFifoWithoutBlocking)
{
    test::TempDataRoot root;
    test::TempFolder folder;
    ScopedMainQueue queue;
    test::MessageRecorder log;
    const std::string fifo = folder.file("x.velk");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    TRecDescriptor d;
    EXPECT_FALSE(readdescriptor(fifo, d));
    std::vector<std::string> paths;
    EXPECT_FALSE(readtasklist(fifo, paths));
    TWavein wav(fifo);
    EXPECT_FALSE(wav.ok());
    EXPECT_EQ(wav.error(), "WaveIn: not a regular file: " + fifo);

    queue.queue().drain(&log);
    ASSERT_EQ(log.texts.size(), 1u);
    EXPECT_EQ(log.texts[0], "Can not open VELK file for reading: " + fifo + " is not a regular file");
}

}  // namespace
}  // namespace velk
