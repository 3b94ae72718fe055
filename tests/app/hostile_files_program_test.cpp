// The recorder given hostile files, as a tester on the same machine would: task lists and
// descriptors naming files elsewhere, symbolic links out of its folders, FIFOs under descriptor
// names, a lock held by another process, a umask of 0. Everything runs through `velkasio
// --headless`; files outside the recorder's folders must come out byte for byte as they went in.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>

#include "config/config.h"
#include "config/config_file.h"
#include "core/clock.h"
#include "core/date_time.h"
#include "platform/named_lock.h"
#include "recfiles/descriptor_files.h"
#include "recfiles/task_list.h"
#include "tests/support/compression_fixture.h"
#include "tests/support/recording_fixture.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_folder.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class HostileFilesTest : public ::testing::Test {
protected:
    void makefolders()
    {
        fs::create_directories(data() + "/2024/03/05");
        fs::create_directories(recordings());
    }
    // Waits for a line that may have come already, before lines waited for earlier.
    static bool seen(test::ChildProcess& program, const std::string& text)
    {
        return program.output().find(text) != std::string::npos || program.waitforline(text, 60s);
    }

    std::string common() const { return root.common(); }
    std::string data() const { return common() + "Data"; }
    std::string recordings() const { return common() + "Recordings"; }
    std::vector<std::string> env() const { return {"VELK_DATA_ROOT=" + root.root(), "LC_ALL=C"}; }

    // A state-2 descriptor at `path` for the recording `wav` (MP3 when `mp3`, else a PCM WAV
    // target), started at `start`.
    static void describe(const std::string& path, const std::string& wav, bool mp3, TDateTime start)
    {
        TRecDescriptor d;
        d.start = start;
        d.stop = start;
        d.state = DESC_WAITING;
        d.setname("Channel0");
        d.setpath(wav);
        d.samplerate = 44100;
        d.codec = mp3 ? 1 : 0;
        d.format = pcmwaveformat(44100, 1, 16);
        d.mp3mode = 0;
        d.bitrate = 5;
        writedescriptor(path, d);
    }
    static void record(const std::string& wav) { test::writepcmwav(wav, 44100, 1, test::tone(44100, 1, 44100)); }
    static std::int32_t stateof(const std::string& path)
    {
        TRecDescriptor d;
        return readdescriptor(path, d) ? d.state : -1;
    }

    // Saves a configuration of `channels` manual channels on the virtual card, switched on at
    // start-up; `adjust` changes it before the save.
    void configure(int channels, const std::function<void(TConfig&)>& adjust = {})
    {
        const TConfig saved = config();
        loadconfig(config());
        TConfig& c = config();
        c.num = channels;
        c.autorecording = true;
        for (int i = 0; i < channels; ++i) {
            TChannelConfig& ch = c.channels[static_cast<std::size_t>(i)];
            ch.chnum = i;
            ch.mode = 1;
        }
        if (adjust)
            adjust(c);
        saveconfig(c);
        config() = saved;
    }
    std::vector<std::string> recordingenv() const
    {
        auto e = env();
        e.push_back("VELK_VIRTUAL_CARDS=1");
        return e;
    }
    // The descriptors below the data folder (regular files only), and their states.
    std::map<std::string, std::int32_t> descriptorstates() const
    {
        std::map<std::string, std::int32_t> out;
        for (const auto& e : fs::recursive_directory_iterator(data()))
            if (e.is_regular_file() && !e.is_symlink() && e.path().extension() == ".velk")
                out[e.path().string()] = stateof(e.path().string());
        return out;
    }

    test::TempDataRoot root;
    test::TempFolder outside;
};

TEST_F(HostileFilesTest, TaskListsDescriptorsAndLinksNamingFilesElsewhereTouchNothingThere)
{
    makefolders();
    const TDateTime now = appclock().nowlocal();
    const TDateTime old = encodedatetime(2001, 1, 1, 12, 0, 0);
    // The files a hostile task list or descriptor names, and what they hold before the run.
    const std::string passwd = outside.file("passwd");
    test::writetextfile(passwd, "root:x:0:0:root:/root:/bin/bash\nuser:x:1000:1000::/home/user:/bin/sh\n");
    const std::string foreignwav = outside.file("foreign.wav");
    record(foreignwav);
    const std::string foreigndescriptor = outside.file("foreign.velk");
    describe(foreigndescriptor, recordings() + "/viaforeign.wav", true, now);
    record(recordings() + "/viaforeign.wav");
    const std::string linkedwav = outside.file("linked.wav");
    record(linkedwav);
    const std::string oldforeign = outside.file("oldforeign.wav");
    record(oldforeign);
    const std::string linkeddescriptor = outside.file("linked.velk");
    describe(linkeddescriptor, oldforeign, false, old);

    // In the recorder's folders: a descriptor naming a WAV elsewhere, one naming a link out of
    // the output folder, a folder link and a file link out of the data folder, an old descriptor
    // naming a foreign WAV, and for comparison an old recording of its own and one to compress.
    const std::string pointsout = data() + "/2024/03/05/pointsout.velk";
    describe(pointsout, foreignwav, true, now);
    const std::string wavlink = recordings() + "/wavlink.wav";
    fs::create_symlink(linkedwav, wavlink);
    const std::string throughlink = data() + "/2024/03/05/throughlink.velk";
    describe(throughlink, wavlink, true, now);
    fs::create_symlink(outside.path(), data() + "/away");
    fs::create_symlink(linkeddescriptor, data() + "/2024/linked.velk");
    const std::string oldpointsout = data() + "/2001/oldpointsout.velk";
    fs::create_directories(data() + "/2001");
    describe(oldpointsout, oldforeign, false, old);
    const std::string oldown = data() + "/2001/oldown.velk";
    record(recordings() + "/oldown.wav");
    describe(oldown, recordings() + "/oldown.wav", false, old);
    const std::string good = data() + "/2024/03/05/good.velk";
    record(recordings() + "/good.wav");
    describe(good, recordings() + "/good.wav", true, now);
    // Data/2024 and six steps up is the temporary folder that holds `outside`.
    const std::string climbing =
        data() + "/2024/../../../../../../" + fs::path(outside.path()).filename().string() + "/foreign.velk";
    writetasklist(common() + audiotaskfile,
                  {passwd, foreigndescriptor, data() + "/away/foreign.velk", climbing, pointsout, throughlink, good});

    std::map<std::string, std::string> before;
    for (const auto& entry : fs::directory_iterator(outside.path()))
        before[entry.path().string()] = test::readfile(entry.path().string());
    const std::string pointsoutbytes = test::readfile(pointsout);

    test::ChildProcess program(VELKASIO_PATH, {"--headless"}, env());
    ASSERT_TRUE(seen(program, "File: good compressed.")) << program.output();
    ASSERT_TRUE(seen(program, "Cleanup finished. Deleted 1 recordings")) << program.output();
    program.signal(SIGTERM);
    ASSERT_EQ(program.wait(), 0) << program.output();

    // Nothing outside was written, deleted or added.
    std::map<std::string, std::string> after;
    for (const auto& entry : fs::directory_iterator(outside.path()))
        after[entry.path().string()] = test::readfile(entry.path().string());
    EXPECT_EQ(after, before);
    EXPECT_TRUE(fs::is_symlink(wavlink));
    EXPECT_TRUE(fs::exists(recordings() + "/viaforeign.wav"));
    EXPECT_FALSE(fs::exists(recordings() + "/viaforeign.mp3"));

    // Each refusal is a status-log line naming the path.
    const std::string out = program.output();
    for (const std::string& line :
         {"Skipped " + passwd + ": not a descriptor file", "Skipped " + foreigndescriptor + ": outside the data folder",
          "Skipped " + data() + "/away/foreign.velk: reached through a symbolic link",
          "Skipped " + climbing + ": outside the data folder", "Skipped " + foreignwav + ": outside the output folders",
          "Skipped " + wavlink + ": a symbolic link", "Cleanup skipped " + data() + "/2024/linked.velk: not a regular file",
          "Cleanup skipped " + oldforeign + ": outside the output folders"})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;

    // The recorder's own files: the refused tasks failed, the good one was compressed, the old
    // recording of its own was cleaned up and the old one naming a foreign WAV was kept.
    EXPECT_EQ(stateof(pointsout), DESC_FAILED);
    EXPECT_EQ(stateof(throughlink), DESC_FAILED);
    EXPECT_EQ(stateof(good), DESC_FINAL);
    EXPECT_TRUE(fs::exists(recordings() + "/good.mp3"));
    EXPECT_FALSE(fs::exists(oldown));
    EXPECT_FALSE(fs::exists(recordings() + "/oldown.wav"));
    EXPECT_TRUE(fs::exists(oldpointsout));
    EXPECT_NE(test::readfile(pointsout), pointsoutbytes);  // state 4, the WAV named there untouched
}

// FIFOs under a descriptor's, a task's and a recording's name: no reader blocks on them, and the
// shutdown finishes the open recording in time.
TEST_F(HostileFilesTest, FifosUnderRecorderNamesNeitherHangTheWorkersNorTheShutdown)
{
    makefolders();
    configure(1);
    const std::string cleanupfifo = data() + "/2024/03/05/x.velk";
    const std::string taskfifo = data() + "/2024/03/05/task.velk";
    const std::string wavfifo = recordings() + "/fifo.wav";
    for (const auto& fifo : {cleanupfifo, taskfifo, wavfifo})
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0) << fifo;
    const std::string fifowav = data() + "/2024/03/05/fifowav.velk";
    describe(fifowav, wavfifo, true, appclock().nowlocal());
    const std::string good = data() + "/2024/03/05/good.velk";
    record(recordings() + "/good.wav");
    describe(good, recordings() + "/good.wav", true, appclock().nowlocal());
    writetasklist(common() + audiotaskfile, {taskfifo, fifowav, good});

    test::ChildProcess program(VELKASIO_PATH, {"--headless"}, recordingenv());
    ASSERT_TRUE(seen(program, "Record started: Channel0")) << program.output();
    ASSERT_TRUE(seen(program, "File: good compressed.")) << program.output();
    ASSERT_TRUE(seen(program, "Cleanup finished.")) << program.output();
    program.signal(SIGTERM);
    ASSERT_EQ(program.wait(), 0) << program.output();

    const std::string out = program.output();
    for (const std::string& line : {"Skipped " + taskfifo + ": not a regular file",
                                    "Skipped " + wavfifo + ": not a regular file",
                                    "Cleanup skipped " + cleanupfifo + ": not a regular file", std::string("File: good compressed.")})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    // The channel's recording was finished: final descriptor, complete WAV.
    std::size_t finished = 0;
    for (const auto& [path, state] : descriptorstates()) {
        TRecDescriptor d;
        ASSERT_TRUE(readdescriptor(path, d));
        if (d.getname() != "Channel0" || path == good || path == fifowav)
            continue;
        ++finished;
        EXPECT_EQ(state, DESC_FINAL) << path;
        const test::WavFile w = test::readwav(d.getpath());
        ASSERT_TRUE(w.ok) << d.getpath();
        EXPECT_FALSE(w.samples.empty());
        EXPECT_EQ(w.datasize + 44, w.filesize);
    }
    EXPECT_EQ(finished, 1u);
    EXPECT_TRUE(fs::exists(cleanupfifo));
}

// With a umask of 0 everything the recorder makes is still for its owner alone; a channel folder
// that is empty or relative means the global output folder; and a descriptor lock another process
// holds during the shutdown costs a few seconds, not the shutdown.
TEST_F(HostileFilesTest, UnderUmaskZeroFilesAreTheOwnersAndAHeldLockDoesNotStallTheShutdown)
{
    const std::string outfolder = root.root() + "/out";
    configure(2, [&](TConfig& c) {
        c.outfolder = outfolder;
        c.channels[0].name = "Blank";
        c.channels[0].folder = "";
        c.channels[1].name = "Rel";
        c.channels[1].folder = "rel";
    });
    ASSERT_FALSE(fs::exists("rel"));

    const mode_t previous = ::umask(0);
    test::ChildProcess program(VELKASIO_PATH, {"--headless"}, recordingenv());
    ::umask(previous);
    ASSERT_TRUE(program.waitforline("Record started: Rel")) << program.output();
    // "New file: yyyy-mm-dd-hh-nn-ss-Blank": the descriptor is "hh-nn-ss-Blank.velk".
    const std::string out = program.output();
    const auto end = out.find("-Blank");
    ASSERT_NE(end, std::string::npos) << out;
    const auto at = out.rfind("New file: ", end);
    ASSERT_NE(at, std::string::npos) << out;
    const std::string stem = out.substr(at + 10, end + 6 - at - 10);
    ASSERT_GE(stem.size(), 11u) << stem;
    const std::string lockname = stem.substr(11) + ".velk";
    {
        NamedLock held = NamedLock::acquire(lockname);
        program.signal(SIGTERM);
        ASSERT_EQ(program.wait(30s), 0) << program.output();
    }
    EXPECT_NE(program.output().find("The lock of " + lockname + " was not free within 5 s; going on without it"),
              std::string::npos)
        << program.output();

    // Both channels recorded into the global folder; each recording is final.
    std::size_t wavs = 0;
    for (const auto& e : fs::recursive_directory_iterator(outfolder))
        wavs += e.path().extension() == ".wav";
    EXPECT_EQ(wavs, 2u);
    EXPECT_FALSE(fs::exists("rel"));
    const auto states = descriptorstates();
    EXPECT_EQ(states.size(), 2u);
    for (const auto& [path, state] : states)
        EXPECT_EQ(state, DESC_FINAL) << path;

    // Folders 0700, files 0600, below the data root and in the output folder.
    for (const std::string& top : {root.root() + "/Quorlith", outfolder})
        for (const auto& e : fs::recursive_directory_iterator(top)) {
            struct stat st {};
            ASSERT_EQ(::lstat(e.path().c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, S_ISDIR(st.st_mode) ? 0700u : 0600u) << e.path();
        }
    EXPECT_TRUE(fs::exists(common() + "velk.locks"));
}

}  // namespace
}  // namespace velk
