// The compression: the sample routines, conversions to codec WAV and MP3 as read back from disk,
// the failure table, the queue with its task lists across restarts and shutdowns, full disks and
// unexpected errors.
#include "recfiles/processor.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include "core/byte_order.h"
#include "recfiles/cleanup_thread.h"
#include "recfiles/codec_manager.h"
#include "recfiles/converter.h"
#include "recfiles/mp3_writer.h"
#include "recfiles/task_list.h"
#include "recfiles/wake_event.h"
#include "tests/support/capturing_notifier.h"
#include "tests/support/compression_fixture.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::vector<std::uint8_t> bytesof(const std::vector<std::int16_t>& s)
{
    std::vector<std::uint8_t> b(s.size() * 4);  // room for duplication
    for (std::size_t i = 0; i < s.size(); ++i)
        le::put16(b.data() + 2 * i, static_cast<std::uint16_t>(s[i]));
    return b;
}
std::vector<std::int16_t> samplesof(const std::vector<std::uint8_t>& b, std::size_t bytes)
{
    std::vector<std::int16_t> s(bytes / 2);
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<std::int16_t>(le::get16(b.data() + 2 * i));
    return s;
}

TEST(SampleRoutines, DownmixDuplicateAndNormalisationGain)
{
    auto b = bytesof({-3, 5, 32767, 32767, -32768, -32768, -1, -1});
    EXPECT_EQ(downmix(b.data(), 16), 8u);
    EXPECT_EQ(samplesof(b, 8), (std::vector<std::int16_t>{1, 32766, -32768, 0}));

    b = bytesof({7, -2});
    EXPECT_EQ(duplicate(b.data(), 4), 8u);
    EXPECT_EQ(samplesof(b, 8), (std::vector<std::int16_t>{7, 7, -2, -2}));

    const float gain = normalizegain(16384);
    EXPECT_EQ(gain, 1.99993896484375f);
    b = bytesof({16384, -16384, -16385, 8192, 0});
    applygain(b.data(), 10, gain);
    // 8192 x gain = 16383.5: halves round to even.
    EXPECT_EQ(samplesof(b, 10), (std::vector<std::int16_t>{32767, -32767, -32768, 16384, 0}));

    EXPECT_EQ(normalizegain(0), 1.0f);
    b = bytesof({-32768, 123, 32767});
    applygain(b.data(), 6, normalizegain(0));
    EXPECT_EQ(samplesof(b, 6), (std::vector<std::int16_t>{-32768, 123, 32767}));
}

class ProcessorTest : public test::CompressionFixture {
protected:
    ProcessorTest() { setusernotifier(&notifier); }
    ~ProcessorTest() override { setusernotifier(nullptr); }

    std::unique_ptr<TProcessor> start()
    {
        return std::make_unique<TProcessor>(config().common_path, &cleanupevent);
    }
    // Runs the main-thread side until the processor has nothing queued.
    void finish(TProcessor& processor)
    {
        ASSERT_TRUE(drainuntil([&] { return processor.queue().empty(); }));
    }
    std::vector<std::string> tasklist(const char* name)
    {
        std::vector<std::string> paths;
        readtasklist(config().common_path + name, paths);
        return paths;
    }
    std::string wav(const std::string& name) { return recordings() + "/" + name + ".wav"; }

    TWakeEvent cleanupevent;
    test::CapturingNotifier notifier;
};

TEST_F(ProcessorTest, ChannelConversionsAndNormalisationAreSampleExact)
{
    // Stereo into a mono target: (L div 2) + (R div 2); mono into stereo: each sample twice;
    // normalisation, switched on after recording, is applied at compression time.
    const auto down = record("down", 8000, 2, {-3, 5, 100, 101, -7, -8}, [](TRecDescriptor& d) {
        d.format = pcmwaveformat(8000, 1, 16);
    });
    const auto dup = record("dup", 8000, 1, {1, -2, 3}, [](TRecDescriptor& d) { d.format = pcmwaveformat(8000, 2, 16); });
    const auto norm = record("norm", 8000, 1, {16384, -16384, -16385, 8192}, [](TRecDescriptor& d) { d.peak = 16384; });
    auto processor = start();
    config().normalize = false;
    publishrecordingsettings();
    processor->addtask(down);
    processor->addtask(dup);
    finish(*processor);
    config().normalize = true;
    publishrecordingsettings();
    processor->addtask(norm);
    finish(*processor);

    EXPECT_EQ(test::readfile(wav("down")).substr(44).size(), 6u);
    auto samples = [&](const std::string& name) {
        const std::string b = test::readfile(wav(name)).substr(44);
        std::vector<std::int16_t> s(b.size() / 2);
        for (std::size_t i = 0; i < s.size(); ++i)
            s[i] = static_cast<std::int16_t>(le::get16(reinterpret_cast<const std::uint8_t*>(b.data()) + 2 * i));
        return s;
    };
    EXPECT_EQ(samples("down"), (std::vector<std::int16_t>{1, 100, -7}));
    EXPECT_EQ(samples("dup"), (std::vector<std::int16_t>{1, 1, -2, -2, 3, 3}));
    EXPECT_EQ(samples("norm"), (std::vector<std::int16_t>{32767, -32767, -32768, 16384}));
    for (const auto& [path, name] : {std::pair{down, "down"}, std::pair{dup, "dup"}, std::pair{norm, "norm"}}) {
        const TRecDescriptor d = descriptor(path);
        EXPECT_EQ(d.state, DESC_FINAL);
        EXPECT_EQ(d.getpath(), wav(name));
        EXPECT_FALSE(fs::exists(recordings() + "/" + name + ".wave"));
    }
    EXPECT_EQ(logtexts(), (std::vector<std::string>{"Compression started for: down", "File: down compressed.",
                                                    "Compression started for: dup", "File: dup compressed.",
                                                    "Compression started for: norm", "File: norm compressed."}));
    // Every completion woke the cleanup thread.
    EXPECT_TRUE(cleanupevent.waitfor(0ms));
}

TEST_F(ProcessorTest, CodecWavReplacesTheRecordingInPlace)
{
    const auto source = test::tone(22050, 1, 22050 * 2);
    const auto task = record("adpcm", 22050, 1, source, [](TRecDescriptor& d) {
        d.format = *codecmanager().suggest(WAVE_FORMAT_IMA_ADPCM, pcmformat(22050, 1, 16));
    });
    auto processor = start();
    processor->addtask(task);
    finish(*processor);
    EXPECT_EQ(descriptor(task).state, DESC_FINAL);
    EXPECT_EQ(test::probe(wav("adpcm"), "codec_name"), "adpcm_ima_wav");
    const std::string bytes = test::readfile(wav("adpcm"));
    const auto fact = bytes.find("fact");
    ASSERT_NE(fact, std::string::npos);
    EXPECT_EQ(le::get32(reinterpret_cast<const std::uint8_t*>(bytes.data()) + fact + 8), source.size());
    EXPECT_EQ(std::distance(fs::directory_iterator(recordings()), fs::directory_iterator()), 1);
}

TEST_F(ProcessorTest, Mp3ReplacesTheRecordingAndUncompletedHeadersConvertWhole)
{
    const auto source = test::tone(22050, 2, 22050 * 3);
    const auto task = record("song", 22050, 2, source, [](TRecDescriptor& d) {
        d.codec = 1;
        d.mp3mode = 0;
        d.bitrate = 5;
    });
    // The recording was cut off: its header still says 0 bytes.
    test::writepcmwav(wav("song"), 22050, 2, source, false);
    config().samplerate = 3;  // 22050: index 5 is 80 kbit/s
    publishrecordingsettings();
    auto processor = start();
    processor->addtask(task);
    finish(*processor);
    const TRecDescriptor d = descriptor(task);
    EXPECT_EQ(d.state, DESC_FINAL);
    EXPECT_EQ(d.getpath(), recordings() + "/song.mp3");
    EXPECT_FALSE(fs::exists(wav("song")));
    EXPECT_EQ(test::probe(d.getpath(), "bit_rate"), "80000");
    EXPECT_NEAR(std::stod(test::probe(d.getpath(), "duration")), 3.0, 0.1);
    EXPECT_EQ(logtexts().back(), "File: song compressed.");
}

// A file already at the output's name (the MP3 of an earlier recording with the same name, a
// temporary file left by an earlier attempt) is never replaced: the output takes the next name.
TEST_F(ProcessorTest, OutputsTakeTheNextFreeNameAndLeaveExistingFilesAlone)
{
    struct Case {
        const char* name;
        int codec;
        const char* existing;  // extension of the file already there
        const char* output;    // bare name of the final file
    };
    const auto source = test::tone(8000, 1, 8000);
    for (const Case& c : {Case{"mp3", 1, ".mp3", "mp3-2.mp3"}, Case{"mp3second", 1, ".mp3", "mp3second-3.mp3"},
                          Case{"codecwav", 0, ".wave", "codecwav.wav"}}) {
        SCOPED_TRACE(c.name);
        const auto task = record(c.name, 8000, 1, source, [&](TRecDescriptor& d) {
            d.codec = c.codec;
            d.format = *codecmanager().suggest(WAVE_FORMAT_IMA_ADPCM, pcmformat(8000, 1, 16));
        });
        const std::string existing = recordings() + "/" + c.name + c.existing;
        test::writetextfile(existing, "an earlier file");
        if (std::string(c.name) == "mp3second")
            test::writetextfile(recordings() + "/mp3second-2.mp3", "another earlier file");
        auto processor = start();
        processor->addtask(task);
        finish(*processor);
        const TRecDescriptor d = descriptor(task);
        EXPECT_EQ(d.state, DESC_FINAL);
        EXPECT_EQ(d.getpath(), recordings() + "/" + c.output);
        EXPECT_EQ(test::probe(d.getpath(), "codec_name"), c.codec ? "mp3" : "adpcm_ima_wav");
        EXPECT_EQ(test::readtextfile(existing), "an earlier file");
    }
    EXPECT_EQ(test::readtextfile(recordings() + "/mp3second-2.mp3"), "another earlier file");
}

// The final descriptor cannot be written (here a folder stands where its new version is made):
// the recording stays as it was, nothing is reported as compressed, and the task is broken.
TEST_F(ProcessorTest, AFinalDescriptorThatCannotBeWrittenKeepsTheRecordingAndFailsTheTask)
{
    for (const int codec : {1, 0}) {
        SCOPED_TRACE(codec);
        const std::string name = codec ? "tomp3" : "towav";
        const auto task = record(name, 8000, 1, test::tone(8000, 1, 8000), [&](TRecDescriptor& d) {
            d.codec = codec;
            d.format = *codecmanager().suggest(WAVE_FORMAT_IMA_ADPCM, pcmformat(8000, 1, 16));
        });
        const std::string recorded = test::readfile(wav(name));
        auto processor = start();
        processor->converter().blockhook = [&] { fs::create_directories(task + ".part"); };
        processor->addtask(task);
        finish(*processor);
        const auto texts = logtexts();
        EXPECT_EQ(texts.back().rfind("Unable to compress file: " + name + ". Can not open VELK file for writing: ", 0), 0u)
            << texts.back();
        EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                                [](const std::string& t) { return t.find("compressed.") != std::string::npos; }),
                  0);
        EXPECT_EQ(processor->broken(), std::vector<std::string>{task});
        fs::remove(task + ".part");
        // The descriptor still names the recording, which is untouched; no converted file is left.
        EXPECT_EQ(descriptor(task).getpath(), wav(name));
        EXPECT_EQ(test::readfile(wav(name)), recorded);
        EXPECT_EQ(std::distance(fs::directory_iterator(recordings()), fs::directory_iterator()), 1);
        processor.reset();
        fs::remove(wav(name));
        fs::remove(config().common_path + brokenfilesfile);
    }
}

// A piece the encoder fails on is left out; the rest of the recording is converted and the
// failures are counted in the log.
TEST_F(ProcessorTest, Mp3PiecesTheEncoderFailsOnAreLeftOutAndCounted)
{
    // 10 pieces of 4096 mono frames.
    const auto task = record("pieces", 8000, 1, test::tone(8000, 1, 4096 * 10), [](TRecDescriptor& d) { d.codec = 1; });
    config().samplerate = 0;
    publishrecordingsettings();
    auto processor = start();
    processor->converter().mp3hook = [](MP3writer& writer) {
        writer.failpiece = [](std::uint64_t piece) { return piece == 2 || piece == 5; };
    };
    processor->addtask(task);
    finish(*processor);
    const auto texts = logtexts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[texts.size() - 2], "MP3 encoder failed on 2 pieces (1024 ms of audio) of: pieces, encoder result -1");
    EXPECT_EQ(texts.back(), "File: pieces compressed.");
    const TRecDescriptor d = descriptor(task);
    EXPECT_EQ(d.state, DESC_FINAL);
    EXPECT_NEAR(std::stod(test::probe(d.getpath(), "duration")), 4096.0 * 8 / 8000, 0.25);
}

TEST_F(ProcessorTest, FailuresNameTheirOwnTaskKeepTheRecordingAndAreListedBroken)
{
    struct Case {
        const char* name;
        std::function<std::string()> make;  // returns the descriptor path
        std::string line;                   // the completion line
        std::int32_t state;                 // the descriptor's state afterwards
    };
    const auto tone = test::tone(8000, 1, 800);
    const std::vector<Case> cases = {
        {"unreadable", [&] { return data() + "/10-00-00-Gone.velk"; },
         "Unable to compress file: 10-00-00-Gone. Can not read VELK file", 0},
        {"invalid", [&] { return record("invalid", 8000, 1, tone, [](TRecDescriptor& d) { d.samplerate = 0; }); },
         "Unable to compress file: invalid. Converter: invalid VELK data", DESC_WAITING},
        {"missing",
         [&] {
             const auto p = record("missing", 8000, 1, tone);
             fs::remove(wav("missing"));
             return p;
         },
         "Unable to compress file: missing. No such file or directory", DESC_FAILED},
        {"noheader",
         [&] {
             const auto p = record("noheader", 8000, 1, tone);
             test::writepcmwav(wav("noheader"), 8000, 0, {});
             return p;
         },
         "Unable to compress file: noheader. WaveIn: wrong header, channels: 0 Sampling rate: 8000", DESC_FAILED},
        {"nocodec",
         [&] {
             return record("nocodec", 8000, 1, tone, [](TRecDescriptor& d) { d.format.fx.wFormatTag = 0x7777; });
         },
         "Unable to compress file: nocodec. Can not open conversion stream. Current codec support only one channel. "
         "Please select another codec at control panel",
         DESC_FAILED},
        // A codec WAV under the recording's name (a conversion whose descriptor update was cut
        // off) is not read as PCM.
        {"codecwav",
         [&] {
             const auto p = record("codecwav", 8000, 1, tone);
             std::string bytes = test::readfile(wav("codecwav"));
             bytes[20] = 0x11;
             test::writetextfile(wav("codecwav"), bytes);
             return p;
         },
         "Unable to compress file: codecwav. WaveIn: not a 16-bit PCM file, format: 17 bits: 16", DESC_FAILED},
        {"noencoder", [&] { return record("noencoder", -8000, 1, tone, [](TRecDescriptor& d) { d.codec = 1; }); },
         "Unable to compress file: noencoder. Can not initialize MP3 encoder", DESC_FAILED},
    };
    const auto good = record("good", 8000, 1, tone, [](TRecDescriptor& d) { d.codec = 1; });
    auto processor = start();
    processor->addtask(good);
    std::vector<std::string> broken;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string task = c.make();
        const std::string before = fs::exists(wav(c.name)) ? test::readfile(wav(c.name)) : "";
        processor->addtask(task);
        finish(*processor);
        broken.push_back(task);
        EXPECT_EQ(logtexts().back(), c.line);
        if (c.state) {
            EXPECT_EQ(descriptor(task).state, c.state);
            EXPECT_EQ(fs::exists(wav(c.name)) ? test::readfile(wav(c.name)) : "", before);
        }
    }
    EXPECT_EQ(processor->broken(), broken);
    processor.reset();
    EXPECT_EQ(tasklist(brokenfilesfile), broken);
    EXPECT_TRUE(tasklist(audiotaskfile).empty());
    // The broken list only grows.
    processor = start();
    EXPECT_EQ(processor->broken(), broken);
}

TEST_F(ProcessorTest, ShutdownDuringAConversionLeavesTheTaskFirstForTheNextStart)
{
    const auto source = test::tone(44100, 2, 44100 * 2);
    const auto first = record("first", 44100, 2, source, [](TRecDescriptor& d) { d.codec = 1; });
    const auto second = record("second", 44100, 2, source, [](TRecDescriptor& d) { d.codec = 1; });
    const auto final = record("final", 44100, 2, source, [](TRecDescriptor& d) { d.state = DESC_FINAL; });
    const std::string recorded = test::readfile(wav("first"));
    auto processor = start();
    std::atomic<bool> started{false};
    std::atomic<int> workernice{-100};
    TConverter& converter = processor->converter();
    converter.blockhook = [&] {
        workernice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)));
        started = true;
        while (!converter.aborted())
            std::this_thread::yield();
    };
    processor->addtask(first);
    processor->addtask(second);
    while (!started)
        std::this_thread::yield();
    processor->stopqueue();
    processor.reset();
    drain();
    // The worker runs below the process's priority.
    EXPECT_GT(workernice.load(), ::getpriority(PRIO_PROCESS, 0));

    EXPECT_EQ(descriptor(first).state, DESC_FAILED);
    EXPECT_EQ(test::readfile(wav("first")), recorded);
    EXPECT_EQ(tasklist(audiotaskfile), (std::vector<std::string>{first, second}));
    EXPECT_TRUE(tasklist(brokenfilesfile).empty());
    EXPECT_EQ(logtexts(), std::vector<std::string>{"Compression started for: first"});  // no completion

    // The next start: a final descriptor listed in the file is skipped.
    writetasklist(config().common_path + audiotaskfile, {first, final, second});
    processor = start();
    processor->loadtasks();
    finish(*processor);
    EXPECT_EQ(logtexts(),
              (std::vector<std::string>{"  2 files queued for compression", "Compression started for: first",
                                        "File: first compressed.", "Compression started for: second",
                                        "File: second compressed."}));
    EXPECT_EQ(descriptor(first).state, DESC_FINAL);
    EXPECT_EQ(descriptor(final).state, DESC_FINAL);
    EXPECT_TRUE(fs::exists(wav("final")));
}

// A start-up that stops before the stored queue is taken in must not wipe it at shutdown.
TEST_F(ProcessorTest, AStoredQueueThatWasNeverLoadedSurvivesTheShutdown)
{
    const auto source = test::tone(44100, 1, 4410);
    const auto waiting = record("waiting", 44100, 1, source, [](TRecDescriptor& d) { d.codec = 1; });
    const auto fresh = record("fresh", 44100, 1, source, [](TRecDescriptor& d) { d.codec = 1; });
    writetasklist(config().common_path + audiotaskfile, {waiting});
    auto processor = start();
    processor->stopqueue();
    processor->addtask(fresh);
    processor->addtask(waiting);
    EXPECT_EQ(tasklist(audiotaskfile), (std::vector<std::string>{waiting, fresh}));
    processor.reset();
    EXPECT_EQ(tasklist(audiotaskfile), (std::vector<std::string>{waiting, fresh}));
}

// A crash forgets no queued task: both lists are stored at every change, not only at shutdown.
TEST_F(ProcessorTest, TheListsAreStoredWheneverTheyChange)
{
    const auto tone = test::tone(8000, 1, 8000);
    const auto first = record("first", 8000, 1, tone, [](TRecDescriptor& d) { d.codec = 1; });
    const auto second = record("second", 8000, 1, tone, [](TRecDescriptor& d) { d.codec = 1; });
    const auto broken = record("broken", 8000, 1, tone, [](TRecDescriptor& d) { d.codec = 1; });
    fs::remove(wav("broken"));
    auto processor = start();
    std::atomic<bool> started{false};
    std::atomic<bool> release{false};
    processor->converter().blockhook = [&] {
        started = true;
        while (!release)
            std::this_thread::yield();
    };
    processor->addtask(first);
    processor->addtask(second);
    processor->addtask(broken);
    while (!started)
        std::this_thread::yield();
    EXPECT_EQ(tasklist(audiotaskfile), (std::vector<std::string>{first, second, broken}));
    release = true;
    finish(*processor);
    EXPECT_TRUE(tasklist(audiotaskfile).empty());
    EXPECT_EQ(tasklist(brokenfilesfile), std::vector<std::string>{broken});
    processor->stopqueue();
}

// A task list that cannot be read is logged and kept aside (an earlier one that was kept aside
// too), and the list written later is a new file: the unreadable one is never saved over.
TEST_F(ProcessorTest, AnUnreadableTaskListIsKeptAsideAndNeverSavedOver)
{
    const std::string list = config().common_path + audiotaskfile;
    const std::string real = folder.file("real.velx");
    test::writetextfile(real, "/somewhere/else.velk\r\n");
    struct Case {
        const char* name;
        std::function<void()> make;
        const char* reason;
        std::function<bool(const std::string&)> stillthere;  // the kept file is what was made
    };
    const std::vector<Case> cases = {
        {"too large",
         [&] {
             test::writetextfile(list, "x");
             fs::resize_file(list, 65u << 20);
         },
         "larger than 64 MB", [](const std::string& p) { return fs::file_size(p) == 65u << 20; }},
        {"fifo", [&] { ::mkfifo(list.c_str(), 0600); }, "not a regular file",
         [](const std::string& p) { return fs::is_fifo(fs::symlink_status(p)); }},
        {"folder", [&] { fs::create_directory(list); }, "not a regular file",
         [](const std::string& p) { return fs::is_directory(fs::symlink_status(p)); }},
        {"link", [&] { fs::create_symlink(real, list); }, "not a regular file",
         [](const std::string& p) { return fs::is_symlink(fs::symlink_status(p)); }},
    };
    test::writetextfile(list + ".bad", "kept earlier");
    const auto fresh = record("fresh", 8000, 1, test::tone(8000, 1, 800), [](TRecDescriptor& d) { d.codec = 1; });
    int n = 2;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.make();
        auto processor = start();
        drain();
        const std::string aside = std::string(audiotaskfile) + ".bad." + std::to_string(n++);
        EXPECT_EQ(logtexts(), std::vector<std::string>{std::string("Could not read ") + audiotaskfile + " (" +
                                                       c.reason + "); kept as " + aside});
        processor->stopqueue();
        processor->addtask(fresh);
        processor.reset();
        EXPECT_EQ(tasklist(audiotaskfile), std::vector<std::string>{fresh});
        EXPECT_TRUE(c.stillthere(config().common_path + aside));
        fs::remove(list);
    }
    EXPECT_EQ(test::readtextfile(list + ".bad"), "kept earlier");
    EXPECT_EQ(test::readtextfile(real), "/somewhere/else.velk\r\n");
}

TEST_F(ProcessorTest, UnexpectedErrorFailsTheTaskAndTheQueueGoesOn)
{
    const auto tone = test::tone(8000, 1, 8000);
    const auto bad = record("bad", 8000, 1, tone, [](TRecDescriptor& d) { d.codec = 1; });
    const auto next = record("next", 8000, 1, tone, [](TRecDescriptor& d) { d.codec = 1; });
    auto processor = start();
    bool thrown = false;
    processor->converter().blockhook = [&] {
        if (!thrown) {
            thrown = true;
            throw std::runtime_error("something unforeseen");
        }
    };
    processor->addtask(bad);
    processor->addtask(next);
    finish(*processor);
    const auto texts = logtexts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Unable to compress file: bad. something unforeseen"), texts.end());
    EXPECT_EQ(texts.back(), "File: next compressed.");
    EXPECT_EQ(descriptor(bad).state, DESC_FAILED);
    EXPECT_TRUE(fs::exists(wav("bad")));
    EXPECT_EQ(processor->broken(), std::vector<std::string>{bad});
}

// A full disk: the output cannot grow beyond a few kilobytes. Run in a child process, whose file
// size limit does not touch the test runner.
class FullDiskTest : public ProcessorTest, public ::testing::WithParamInterface<int> {};

TEST_P(FullDiskTest, IncompleteOutputFailsTheTaskAndKeepsTheRecording)
{
    const int codec = GetParam();
    const auto task = record("full", 44100, 2, test::tone(44100, 2, 44100 * 4), [&](TRecDescriptor& d) {
        d.codec = codec;
        d.format = *codecmanager().suggest(WAVE_FORMAT_IMA_ADPCM, pcmformat(44100, 2, 16));
    });
    const std::string recorded = test::readfile(wav("full"));
    const std::string errorfile = folder.file("error.txt");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{20000, 20000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        TConverter converter;
        const bool ok = converter.convert(task);
        test::writetextfile(errorfile, converter.error());
        ::_exit(ok ? 1 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(test::readtextfile(errorfile), "Failed to write data to file");
    EXPECT_EQ(test::readfile(wav("full")), recorded);
    const TRecDescriptor d = descriptor(task);
    EXPECT_EQ(d.state, DESC_FAILED);
    EXPECT_EQ(d.getpath(), wav("full"));
}

INSTANTIATE_TEST_SUITE_P(Formats, FullDiskTest, ::testing::Values(0, 1),
                         [](const auto& info) { return info.param ? "Mp3" : "CodecWav"; });

TEST_F(ProcessorTest, CleanupRunsAfterACompressionAtMostOnceADay)
{
    config().cleanuptime = 5;
    publishrecordingsettings();
    const auto tone = test::tone(8000, 1, 800);
    CleanupThread cleanup(cleanupevent, config().velk_path);
    cleanup.lastcheck = clock.nowlocal() - 1.0 - 1.0 / 86400;
    cleanup.start();
    auto processor = start();
    auto compress = [&](const std::string& name, std::uint64_t wakeups) {
        processor->addtask(record(name, 8000, 1, tone, [](TRecDescriptor& d) { d.codec = 1; }));
        finish(*processor);
        ASSERT_TRUE(cleanup.waitwakeups(wakeups, 60s));
        drain();
    };
    auto passes = [&] {
        const auto texts = logtexts();
        return std::count(texts.begin(), texts.end(), "Cleanup started...");
    };
    compress("one", 1);
    EXPECT_EQ(passes(), 1);
    clock.advance(1h);
    compress("two", 2);
    EXPECT_EQ(passes(), 0);
    clock.advance(24h);
    compress("three", 3);
    EXPECT_EQ(passes(), 1);
    cleanup.terminate();
    cleanupevent.set();
    cleanup.waitfor();
}

}  // namespace
}  // namespace velk
