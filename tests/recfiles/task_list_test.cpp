#include "recfiles/task_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/support/temp_folder.h"

namespace velk {
namespace {

TEST(TaskList, ReadersAcceptEveryLineEnd)
{
    test::TempFolder folder;
    const std::string path = folder.file("audiotask.velx");
    struct Case {
        const char* content;
        std::vector<std::string> expected;
    } cases[] = {
        {"a\r\nb\r\n", {"a", "b"}},   // a line end after the last path adds no entry
        {"a\nb", {"a", "b"}},
        {"a\rb\r", {"a", "b"}},
        {"a\r\n\r\n\nb", {"a", "b"}},  // empty lines add nothing
        {"", {}},
        {"/Aufnahmen/K\xE4nal.velk\r\n", {"/Aufnahmen/K\xC3\xA4nal.velk"}},  // 8-bit text
    };
    for (const auto& c : cases) {
        test::writetextfile(path, c.content);
        std::vector<std::string> paths;
        EXPECT_TRUE(readtasklist(path, paths));
        EXPECT_EQ(paths, c.expected) << c.content;
    }
}

TEST(TaskList, MissingFileIsAnEmptyListAndWritesRoundTrip)
{
    test::TempFolder folder;
    const std::string path = folder.file("brokenfiles.velx");
    std::vector<std::string> paths{"stale"};
    EXPECT_TRUE(readtasklist(path, paths));
    EXPECT_TRUE(paths.empty());

    const std::vector<std::string> written{"/data/2024/03/05/09-07-02-Studio A.velk", "/data/x \xE2\x82\xAC.velk"};
    writetasklist(path, written);
    EXPECT_EQ(test::readtextfile(path), written[0] + "\r\n" + written[1] + "\r\n");
    EXPECT_TRUE(readtasklist(path, paths));
    EXPECT_EQ(paths, written);
}

TEST(TaskList, AnUnreadableListReportsFailure)
{
    test::TempFolder folder;
    ::mkdir(folder.file("audiotask.velx").c_str(), 0755);  // a folder where the file should be
    std::vector<std::string> paths;
    EXPECT_FALSE(readtasklist(folder.file("audiotask.velx"), paths));
    EXPECT_THROW(writetasklist(folder.file("no/such/list.velx"), {"x"}), std::exception);
}

}  // namespace
}  // namespace velk
