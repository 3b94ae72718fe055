// Random and mutated inputs for the descriptor and task-list readers: none may crash, read out of
// bounds (the sanitizers watch) or yield an entry that breaks the readers' promises.
#include <gtest/gtest.h>

#include <random>

#include "core/main_thread_queue.h"
#include "core/text_encoding.h"
#include "recfiles/descriptor_files.h"
#include "recfiles/task_list.h"
#include "tests/support/temp_folder.h"

namespace velk {
namespace {

std::string randombytes(std::mt19937& rng, std::size_t size)
{
    std::string s(size, '\0');
    std::uniform_int_distribution<int> byte(0, 255);
    for (char& c : s)
        c = static_cast<char>(byte(rng));
    return s;
}

std::string mutate(std::mt19937& rng, std::string s)
{
    std::uniform_int_distribution<int> kind(0, 3);
    const int edits = 1 + static_cast<int>(rng() % 8);
    for (int i = 0; i < edits && !s.empty(); ++i) {
        const std::size_t at = rng() % s.size();
        switch (kind(rng)) {
        case 0: s[at] = static_cast<char>(rng()); break;
        case 1: s.erase(at, rng() % 16); break;
        case 2: s.insert(at, randombytes(rng, rng() % 16)); break;
        default: s.resize(at); break;
        }
    }
    return s;
}

TEST(ReadersFuzz, DescriptorReaderSurvivesAnyFile)
{
    test::TempDataRoot root;
    test::TempFolder folder;
    ScopedMainQueue queue;
    std::mt19937 rng(20261209);
    TRecDescriptor valid;
    valid.setname("Channel1");
    valid.setpath("/rec/a.wav");
    valid.samplerate = 44100;
    const auto bytes = valid.serialize();
    const std::string seed(bytes.begin(), bytes.end());
    const std::string path = folder.file("f.velk");
    for (int i = 0; i < 1500; ++i) {
        const std::string content = i % 2 ? mutate(rng, seed) : randombytes(rng, rng() % 3000);
        test::writetextfile(path, content);
        TRecDescriptor d;
        const bool ok = readdescriptor(path, d);
        ASSERT_EQ(ok, !content.empty());
        // Texts without a terminating NUL or with broken surrogates still convert.
        EXPECT_TRUE(isvalidutf8(d.getname()));
        EXPECT_TRUE(isvalidutf8(d.getpath()));
        EXPECT_LE(d.getname().size(), 4u * 129);
        queue.queue().discard();
    }
}

TEST(ReadersFuzz, TaskListReaderSurvivesAnyFile)
{
    test::TempFolder folder;
    std::mt19937 rng(7);
    const std::string seed = "/data/2024/03/05/09-07-02-Studio A.velk\r\n/data/x.velk\r\n/data/y.velk\n";
    const std::string path = folder.file("audiotask.velx");
    for (int i = 0; i < 1500; ++i) {
        const std::string content = i % 2 ? mutate(rng, seed) : randombytes(rng, rng() % 2000);
        test::writetextfile(path, content);
        std::vector<std::string> paths;
        ASSERT_TRUE(readtasklist(path, paths));
        for (const auto& p : paths) {
            EXPECT_FALSE(p.empty());
            EXPECT_EQ(p.find_first_of(std::string("\r\n\0", 3)), std::string::npos);
            EXPECT_TRUE(isvalidutf8(p));
        }
    }
}

}  // namespace
}  // namespace velk
