// The compression inside the start-up and shutdown order: leftovers re-queued after "VELK System
// Activated.", finished recordings handled during shutdown stored instead of converted.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <filesystem>

#include "app/velk_system.h"
#include "config/config.h"
#include "core/clock.h"
#include "core/user_notifier.h"
#include "recfiles/descriptor_files.h"
#include "recfiles/processor.h"
#include "recfiles/task_list.h"
#include "tests/support/compression_fixture.h"
#include "tests/support/capturing_notifier.h"
#include "tests/support/message_recorder.h"
#include "tests/support/temp_folder.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

class VelkSystemCompressionTest : public ::testing::Test {
protected:
    VelkSystemCompressionTest() { setusernotifier(&notifier); }
    ~VelkSystemCompressionTest() override { setusernotifier(nullptr); }

    // The WAV of a finished recording in the default output folder; returns the path its
    // descriptor goes to, below the data folder (the compression touches nothing elsewhere).
    std::string recording(const std::string& name)
    {
        fs::create_directories(recordings());
        fs::create_directories(root.common() + "Data");
        test::writepcmwav(recordings() + "/" + name + ".wav", 8000, 1, test::tone(8000, 1, 8000));
        return root.common() + "Data/" + name + ".velk";
    }
    std::string recordings() const { return root.common() + "Recordings"; }
    // Its descriptor: waiting for MP3 compression.
    TRecDescriptor descriptorof(const std::string& name)
    {
        TRecDescriptor d;
        d.start = appclock().nowlocal();
        d.state = DESC_WAITING;
        d.setpath(recordings() + "/" + name + ".wav");
        d.samplerate = 8000;
        d.codec = 1;
        return d;
    }
    std::vector<std::string> texts(VelkSystem& system)
    {
        std::vector<std::string> out;
        for (const auto& line : system.statuslog().lines())
            out.push_back(line.substr(line.find("; ") + 2));
        return out;
    }

    test::TempDataRoot root;
    test::TempFolder folder;
    test::CapturingNotifier notifier;
};

TEST_F(VelkSystemCompressionTest, LeftoversRunAfterStartupAndLateRecordingsAreStoredAtShutdown)
{
    const std::string left = recording("left");
    fs::create_directories(root.common());
    writedescriptor(left, descriptorof("left"));
    writetasklist(root.common() + audiotaskfile, {left});

    VelkSystem system(Edition::Asio);
    system.startup();
    ASSERT_NE(system.processor(), nullptr);
    for (int i = 0; i < 600 && !system.compressionqueue().empty(); ++i) {
        pollfd fd{system.queue().wakeupfd(), POLLIN, 0};
        ::poll(&fd, 1, 100);
        system.runqueue();
    }
    auto lines = texts(system);
    const auto activated = std::find(lines.begin(), lines.end(), "VELK System Activated.");
    const auto queued = std::find(lines.begin(), lines.end(), "  1 files queued for compression");
    ASSERT_NE(queued, lines.end());
    EXPECT_LT(activated, queued);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "File: left compressed."), lines.end());

    // A recording that finishes while the system shuts down is stored, not converted.
    const std::string late = recording("late");
    mainqueue().post(FileCompleteMessage{descriptorof("late"), late});
    system.shutdown();
    EXPECT_EQ(system.processor(), nullptr);
    std::vector<std::string> pending;
    ASSERT_TRUE(readtasklist(root.common() + audiotaskfile, pending));
    EXPECT_EQ(pending, std::vector<std::string>{late});
    TRecDescriptor d;
    ASSERT_TRUE(readdescriptor(late, d));
    EXPECT_EQ(d.state, DESC_WAITING);
    EXPECT_TRUE(fs::exists(recordings() + "/late.wav"));
    lines = texts(system);
    EXPECT_EQ(std::find(lines.begin(), lines.end(), "Compression started for: late"), lines.end());
    EXPECT_EQ(lines.back(), "VELK Closed.");
}

TEST(ProcessorEncoderBox, ShownOnlyWhenAskedFor)
{
    test::TempDataRoot root;
    test::TempFolder folder;
    ScopedMainQueue queue;
    test::CapturingNotifier notifier;
    setusernotifier(&notifier);
    const TConfig saved = config();
    config().velk_path = folder.path();  // the compression acts only inside the recorder's folders
    config().outfolder = folder.path();
    for (const bool box : {false, true}) {
        const std::string wav = folder.file("x.wav");
        test::writepcmwav(wav, 8000, 3, test::tone(8000, 3, 800));  // three channels: no encoder
        TRecDescriptor d;
        d.state = DESC_WAITING;
        d.setpath(wav);
        d.samplerate = 8000;
        d.codec = 1;
        writedescriptor(folder.file("x.velk"), d);
        TProcessor processor(folder.path() + "/", nullptr, box);
        test::MessageRecorder log;
        processor.addtask(folder.file("x.velk"));
        while (!processor.queue().empty()) {
            pollfd fd{queue.queue().wakeupfd(), POLLIN, 0};
            ASSERT_GT(::poll(&fd, 1, 60000), 0);
            queue.queue().drain(&log);
        }
        EXPECT_EQ(log.texts.back(), "Unable to compress file: x. Can not initialize MP3 encoder");
        EXPECT_EQ(notifier.errors, box ? std::vector<std::string>{"MP3 Encoder Error|Error opening encoding stream"}
                                       : std::vector<std::string>{});
    }
    config() = saved;
    setusernotifier(nullptr);
}

}  // namespace
}  // namespace velk
