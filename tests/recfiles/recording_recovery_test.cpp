// What the start-up recovery makes of the files a killed run leaves: unfinished recordings,
// waiting compressions, a finished codec conversion whose descriptor was not yet rewritten, and
// the leftovers of interrupted writes; and what it must leave alone.
#include "recfiles/recording_recovery.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "core/byte_order.h"
#include "recfiles/codec_manager.h"
#include "tests/support/recording_fixture.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

class RecoveryTest : public test::RecordingTest {
protected:
    std::string out = recordings.path();
    std::string datafolder = config().velk_path;

    // A PCM WAV as a killed writer leaves it: the 44-byte header with `sizes` in it, then `bytes`
    // of audio.
    std::string wav(const std::string& name, std::size_t bytes, std::uint32_t sizes = 0, std::uint16_t tag = 1)
    {
        std::string file(44 + bytes, '\x01');
        auto* b = reinterpret_cast<std::uint8_t*>(file.data());
        std::memcpy(b, "RIFF", 4);
        le::put32(b + 4, sizes ? sizes + 36 : 0);
        std::memcpy(b + 8, "WAVEfmt ", 8);
        le::put32(b + 16, 16);
        std::uint8_t fmt[tWAVEFORMATEX::size];
        pcmformat(8000, 1, 16).serialize(fmt);
        std::memcpy(b + 20, fmt, 16);  // a PCM "fmt " has no extra-size field
        le::put16(b + 20, tag);
        std::memcpy(b + 36, "data", 4);
        le::put32(b + 40, sizes);
        const std::string path = out + "/" + name;
        fs::create_directories(fs::path(path).parent_path());
        test::writetextfile(path, file);
        return path;
    }
    std::string descriptor(const std::string& name, std::int32_t state, const std::string& audio, std::int32_t codec = 0,
                           const fWaveFormat& format = pcmwaveformat(8000, 1, 16))
    {
        TRecDescriptor d;
        d.start = encodedatetime(2024, 3, 5, 10, 0, 0);
        d.stop = d.start;
        d.state = state;
        d.codec = codec;
        d.samplerate = 8000;
        d.format = format;
        d.setpath(audio);
        const std::string path = datafolder + "/24/03/05/" + name + ".velk";
        fs::create_directories(fs::path(path).parent_path());
        writedescriptor(path, d);
        return path;
    }
    TRecDescriptor read(const std::string& path)
    {
        TRecDescriptor d;
        EXPECT_TRUE(readdescriptor(path, d)) << path;
        return d;
    }
    std::vector<std::string> recover(bool normalize = false)
    {
        RecordingRecovery recovery(datafolder, {out + "/"}, normalize);
        auto waiting = recovery.run();
        drain();
        return waiting;
    }
};

struct UnfinishedCase {
    const char* name;
    std::int32_t codec;
    bool normalize;
    std::int32_t state;  // what the repaired descriptor says
};

class UnfinishedRecordingTest : public RecoveryTest, public ::testing::WithParamInterface<UnfinishedCase> {};

TEST_P(UnfinishedRecordingTest, HeaderAndStopTimeComeFromTheFileAndTheStateFromTheTarget)
{
    const UnfinishedCase& c = GetParam();
    // 1.5 s of audio, the header still saying 0.5 s, and half a frame cut off at the end.
    const std::string audio = wav("a.wav", 24000 + 1, 8000);
    const std::string path = descriptor("10-00-00-A", DESC_RECORDING, audio, c.codec);
    const auto waiting = recover(c.normalize);

    const test::WavFile w = test::readwav(audio);
    ASSERT_TRUE(w.ok);
    EXPECT_EQ(w.filesize, 44u + 24000u);
    EXPECT_EQ(w.datasize, 24000u);
    EXPECT_EQ(w.riffsize, 36u + 24000u);
    const TRecDescriptor d = read(path);
    EXPECT_EQ(d.state, c.state);
    EXPECT_EQ(millisecondsbetween(d.start, d.stop), 1500);
    EXPECT_EQ(waiting, c.state == DESC_WAITING ? std::vector<std::string>{path} : std::vector<std::string>{});
    EXPECT_EQ(sink.textswith("Recovered recording: a, 1 s").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Targets, UnfinishedRecordingTest,
                         ::testing::Values(UnfinishedCase{"PcmIsFinal", 0, false, DESC_FINAL},
                                           UnfinishedCase{"Mp3IsQueued", 1, false, DESC_WAITING},
                                           UnfinishedCase{"NormalizeIsQueued", 0, true, DESC_WAITING}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RecoveryTest, ARecordingWithoutAudioLosesItsDescriptorAndForeignFilesAreLeftAlone)
{
    const std::string missing = descriptor("10-00-00-Missing", DESC_RECORDING, out + "/missing.wav");
    const std::string emptyaudio = wav("empty.wav", 0);
    fs::resize_file(emptyaudio, 0);
    const std::string empty = descriptor("10-00-01-Empty", DESC_RECORDING, emptyaudio);
    // A header and no frame: killed as a split opened the file.
    const std::string headeraudio = wav("header.wav", 0);
    const std::string headeronly = descriptor("10-00-05-Header", DESC_RECORDING, headeraudio);
    // Outside the output folders, through a link out of them, and not a WAV at all.
    test::TempFolder elsewhere;
    test::writetextfile(elsewhere.file("x.wav"), std::string(100, 'x'));
    const std::string outside = descriptor("10-00-02-Outside", DESC_RECORDING, elsewhere.file("x.wav"));
    fs::create_directory_symlink(elsewhere.path(), out + "/link");
    const std::string linked = descriptor("10-00-03-Linked", DESC_RECORDING, out + "/link/x.wav");
    test::writetextfile(out + "/text.wav", std::string(100, 'x'));
    const std::string text = descriptor("10-00-04-Text", DESC_RECORDING, out + "/text.wav");
    recover();

    EXPECT_FALSE(fs::exists(missing));
    EXPECT_FALSE(fs::exists(empty));
    EXPECT_FALSE(fs::exists(emptyaudio));
    EXPECT_FALSE(fs::exists(headeronly));
    EXPECT_FALSE(fs::exists(headeraudio));
    EXPECT_EQ(test::readtextfile(elsewhere.file("x.wav")), std::string(100, 'x'));
    EXPECT_EQ(test::readtextfile(out + "/text.wav"), std::string(100, 'x'));
    for (const auto& path : {outside, linked, text})
        EXPECT_EQ(read(path).state, DESC_RECORDING) << path;
    EXPECT_EQ(sink.textswith("Recovery: not repaired, the audio file lies outside the output folders").size(), 2u);
    EXPECT_EQ(sink.textswith("Recovery: cannot repair " + out + "/text.wav: no WAV header").size(), 1u);
    EXPECT_TRUE(sink.textswith("Recovered recording").empty());
}

TEST_F(RecoveryTest, WaitingRecordingsAreHandedBackAndInterruptedConversionsCleanedUp)
{
    // Two recordings of one base name (made before names were kept apart): the final MP3 of the
    // first is not a partial output of the second.
    const std::string first = descriptor("10-00-00-First", DESC_FINAL, out + "/same.mp3", 1);
    test::writetextfile(out + "/same.mp3", "final mp3");
    const std::string second = descriptor("10-00-05-Second", DESC_WAITING, wav("same.wav", 800), 1);
    const std::string third = descriptor("10-00-09-Third", DESC_FAILED, wav("third.wav", 800), 1);
    test::writetextfile(out + "/third.mp3", "partial");
    test::writetextfile(out + "/third.wave", "partial");
    const std::string fourth = descriptor("10-00-10-Fourth", DESC_WAITING, wav("fourth.wav", 800));
    test::writetextfile(out + "/fourth.wave", "partial");
    const auto waiting = recover();

    EXPECT_EQ(waiting, (std::vector<std::string>{second, fourth}));
    EXPECT_EQ(test::readtextfile(out + "/same.mp3"), "final mp3");
    EXPECT_FALSE(fs::exists(out + "/third.mp3"));
    EXPECT_FALSE(fs::exists(out + "/third.wave"));
    EXPECT_FALSE(fs::exists(out + "/fourth.wave"));
    for (const auto& name : {"same.wav", "third.wav", "fourth.wav"})
        EXPECT_TRUE(fs::exists(out + "/" + name)) << name;
    EXPECT_EQ(read(first).state, DESC_FINAL);
    EXPECT_EQ(read(third).state, DESC_FAILED);
    EXPECT_EQ(sink.textswith("Removed leftover file: ").size(), 3u);
}

TEST_F(RecoveryTest, ACodecConversionThatReplacedTheRecordingIsFinal)
{
    const fWaveFormat ima = *codecmanager().suggest(WAVE_FORMAT_IMA_ADPCM, pcmformat(8000, 1, 16));
    const std::string done = descriptor("10-00-00-Done", DESC_WAITING, wav("done.wav", 800, 800, WAVE_FORMAT_IMA_ADPCM), 0, ima);
    const std::string notyet = descriptor("10-00-01-NotYet", DESC_WAITING, wav("notyet.wav", 800, 800), 0, ima);
    const auto waiting = recover();

    EXPECT_EQ(read(done).state, DESC_FINAL);
    EXPECT_EQ(waiting, std::vector<std::string>{notyet});
    EXPECT_EQ(sink.textswith("Recovered compression: done").size(), 1u);
}

TEST_F(RecoveryTest, DescriptorPartsAreRestoredWhenTheyAreTheOnlyWholeRecordAndRemovedOtherwise)
{
    const std::string audio = wav("a.wav", 800, 800);
    // Beside its descriptor: the descriptor in place is the valid one.
    const std::string kept = descriptor("10-00-00-Kept", DESC_FINAL, audio);
    test::writetextfile(kept + ".part", "torn");
    // The only record of a recording, written whole but not yet renamed.
    const std::string whole = descriptor("10-00-01-Whole", DESC_RECORDING, audio);
    fs::rename(whole, whole + ".part");
    // Torn, with no descriptor.
    const std::string torn = datafolder + "/24/03/05/10-00-02-Torn.velk";
    test::writetextfile(torn + ".part", "torn");
    const auto waiting = recover();

    EXPECT_FALSE(fs::exists(kept + ".part"));
    EXPECT_FALSE(fs::exists(whole + ".part"));
    EXPECT_FALSE(fs::exists(torn + ".part"));
    EXPECT_FALSE(fs::exists(torn));
    EXPECT_EQ(read(kept).state, DESC_FINAL);
    // The restored record is then repaired like any other.
    EXPECT_EQ(read(whole).state, DESC_FINAL);
    EXPECT_EQ(sink.textswith("Restored descriptor: " + whole).size(), 1u);
    EXPECT_EQ(sink.textswith("Removed leftover file: ").size(), 2u);
}

}  // namespace
}  // namespace velk
