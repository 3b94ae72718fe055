// The MP3 writer: the settings mapping, and the files it makes as the audio tools read them.
#include "recfiles/mp3_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "core/errors.h"
#include "recfiles/output_names.h"

#include "tests/support/compression_fixture.h"

namespace velk {
namespace {

TEST(MP3Settings, BitrateTablesFollowTheConfiguredRate)
{
    EXPECT_EQ(mp3bitratekbps(44100, 5), 128);
    EXPECT_EQ(mp3bitratekbps(48000, 0), 320);
    EXPECT_EQ(mp3bitratekbps(32000, 13), 32);
    EXPECT_EQ(mp3bitratekbps(22050, 5), 80);
    EXPECT_EQ(mp3bitratekbps(16000, 0), 160);
    EXPECT_EQ(mp3bitratekbps(8000, 0), 128);  // the low-rate list starts at the third entry
    EXPECT_EQ(mp3bitratekbps(11025, 11), 8);
    EXPECT_EQ(mp3bitratekbps(7000, 3), 128);  // any other rate
    // Damaged indexes take the nearest end of the list.
    EXPECT_EQ(mp3bitratekbps(44100, 99), 32);
    EXPECT_EQ(mp3bitratekbps(44100, -1), 320);
    EXPECT_EQ(mp3bitratekbps(8000, 12), 8);
}

TEST(MP3Settings, ModesQualityAndAbrTarget)
{
    MP3Settings s;
    s.mp3mode = 2;
    s.avgbitrate = 4;
    s.bitrate = 13;
    s.vbrmax = 0;
    s.vbrquality = 9;
    s.mp3crc = true;
    MP3EncoderSetup e = mp3setup(s, 44100, 44100, 2);
    EXPECT_EQ(e.abrbps, 160000);
    EXPECT_EQ(e.bitratekbps, 32);
    EXPECT_EQ(e.maxbitratekbps, 320);
    EXPECT_EQ(e.vbrquality, 0);  // the encoder's best
    EXPECT_FALSE(e.vbrheader);
    EXPECT_TRUE(e.crc);
    EXPECT_TRUE(e.original);
    EXPECT_EQ(e.quality, 5);
    EXPECT_EQ(e.mpegversion, 1);

    s.mp3mode = 1;
    s.vbrquality = 0;
    e = mp3setup(s, 22050, 22050, 1);
    EXPECT_EQ(e.vbrquality, 9);
    EXPECT_EQ(e.abrbps, 0);
    EXPECT_TRUE(e.vbrheader);
    EXPECT_EQ(e.mpegversion, 0);
    EXPECT_EQ(e.channels, 1);
}

// The first MP3 frame header of a file, decoded.
struct FrameHeader {
    std::size_t offset = 0;
    int version = 0;  // 1, 2, or 25 for MPEG-2.5
    bool crc = false;
    int bitrateindex = 0;
    int channelmode = 0;  // 0 stereo, 1 joint stereo, 2 dual, 3 mono
    bool original = false;
};

std::vector<FrameHeader> frameheaders(const std::string& bytes)
{
    std::vector<FrameHeader> out;
    static const int l3v1[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
    static const int l3v2[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
    static const int rates[4][3] = {{11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};
    std::size_t i = 0;
    while (i + 4 <= bytes.size()) {
        const auto b = [&](std::size_t k) { return static_cast<std::uint8_t>(bytes[i + k]); };
        if (b(0) != 0xFF || (b(1) & 0xE0) != 0xE0 || ((b(1) >> 1) & 3) != 1 || ((b(2) >> 4) & 15) == 15 ||
            ((b(2) >> 4) & 15) == 0 || ((b(2) >> 2) & 3) == 3 || ((b(1) >> 3) & 3) == 1) {
            ++i;
            continue;
        }
        FrameHeader h;
        h.offset = i;
        const int v = (b(1) >> 3) & 3;
        h.version = v == 3 ? 1 : v == 2 ? 2 : 25;
        h.crc = (b(1) & 1) == 0;
        h.bitrateindex = (b(2) >> 4) & 15;
        h.channelmode = (b(3) >> 6) & 3;
        h.original = (b(3) & 4) != 0;
        const int rate = rates[v][(b(2) >> 2) & 3];
        const int kbps = (v == 3 ? l3v1 : l3v2)[h.bitrateindex];
        const std::size_t size = (v == 3 ? 144000u : 72000u) * static_cast<std::size_t>(kbps) / rate + ((b(2) >> 1) & 1);
        out.push_back(h);
        i += size;
    }
    return out;
}

int kbpsof(const FrameHeader& h)
{
    static const int l3v1[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
    static const int l3v2[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
    return (h.version == 1 ? l3v1 : l3v2)[h.bitrateindex];
}

struct EncodeCase {
    const char* name;
    int rate;  // configured and recorded
    int channels;
    MP3Settings settings;
    int kbps;          // CBR: the bitrate asked for; VBR/ABR: 0
    int filekbps;      // CBR: every frame's bitrate (the encoder's nearest to kbps)
    int abrkbps;       // ABR: the average should land near it
    int version;       // in the frame headers
};

class MP3FilesTest : public ::testing::TestWithParam<EncodeCase> {
protected:
    test::TempFolder folder;
};

TEST_P(MP3FilesTest, AudioToolsReadTheExpectedStream)
{
    const EncodeCase& c = GetParam();
    const std::size_t frames = static_cast<std::size_t>(c.rate) * 3;
    const auto samples = test::tone(c.rate, c.channels, frames);
    const std::string path = folder.file(std::string(c.name) + ".wav");  // the writer sets ".mp3"
    std::string written;
    {
        MP3writer writer(path, c.settings, c.rate, c.rate, c.channels);
        ASSERT_TRUE(writer.ready());
        written = writer.path();
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(samples.data());
        const std::size_t total = samples.size() * 2;
        for (std::size_t at = 0; at < total; at += 8192)
            writer.encode(bytes + at, std::min<std::size_t>(8192, total - at));
        writer.finish();
        EXPECT_EQ(writer.framesin(), frames);
        EXPECT_GE(writer.framesout(), frames);
    }
    EXPECT_EQ(written, folder.file(std::string(c.name) + ".mp3"));

    EXPECT_EQ(test::probe(written, "codec_name"), "mp3");
    EXPECT_EQ(test::probe(written, "sample_rate"), std::to_string(c.rate));
    EXPECT_EQ(test::probe(written, "channels"), std::to_string(c.channels));
    EXPECT_EQ(test::probe(written, "channel_layout"), c.channels == 1 ? "mono" : "stereo");
    const double duration = std::stod("0" + test::probe(written, "duration"));
    if (c.kbps) {
        EXPECT_EQ(mp3setup(c.settings, c.rate, c.rate, c.channels).bitratekbps, c.kbps);
        EXPECT_EQ(test::probe(written, "bit_rate"), std::to_string(c.filekbps * 1000));
        EXPECT_NEAR(duration, 3.0, 0.2);
    }
    const std::string bytes = test::readfile(written);
    const auto headers = frameheaders(bytes);
    ASSERT_GT(headers.size(), 20u);

    // CRC-protected frames decode without a checksum error. With VBR the first frame is the
    // encoder's VBR header frame as first written (it is not updated at the end), so it is left out.
    std::string checked = written;
    if (c.settings.mp3mode == 1) {
        checked = folder.file("tail.mp3");
        std::ofstream(checked, std::ios::binary) << bytes.substr(headers[1].offset);
    }
    const std::string errors = test::run("ffmpeg -v error -err_detect crccheck -i '" + checked + "' -f null - 2>&1");
    EXPECT_EQ(errors, "");

    std::set<int> bitrates;
    long long sum = 0;
    for (std::size_t i = 1; i < headers.size(); ++i) {  // frame 0 may be the encoder's VBR frame
        const FrameHeader& h = headers[i];
        EXPECT_EQ(h.version, c.version);
        EXPECT_EQ(h.crc, c.settings.mp3crc);
        EXPECT_EQ(h.channelmode, c.channels == 1 ? 3 : 0);  // plain stereo, never joint
        EXPECT_TRUE(h.original);
        bitrates.insert(kbpsof(h));
        sum += kbpsof(h);
        if (c.kbps) {
            EXPECT_EQ(kbpsof(h), c.filekbps);
        }
    }
    if (!c.kbps) {
        // The bitrate varies up to the maximum (the encoder takes the minimum as a soft limit).
        EXPECT_GT(bitrates.size(), 1u);
        EXPECT_LE(*bitrates.rbegin(), mp3bitratekbps(c.rate, c.settings.vbrmax));
    }
    if (c.abrkbps) {
        const double average = static_cast<double>(sum) / static_cast<double>(headers.size() - 1);
        EXPECT_NEAR(average, c.abrkbps, c.abrkbps * 0.3);
    }
}

MP3Settings cbr(int index, bool crc)
{
    MP3Settings s;
    s.mp3mode = 0;
    s.bitrate = index;
    s.mp3crc = crc;
    return s;
}

MP3Settings vbr(int mode, int min, int max, int avg, int quality)
{
    MP3Settings s;
    s.mp3mode = mode;
    s.bitrate = min;
    s.vbrmax = max;
    s.avgbitrate = avg;
    s.vbrquality = quality;
    s.mp3crc = true;
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Settings, MP3FilesTest,
    ::testing::Values(EncodeCase{"Cbr128At44100StereoCrc", 44100, 2, cbr(5, true), 128, 128, 0, 1},
                      EncodeCase{"Cbr80At22050Mono", 22050, 1, cbr(5, false), 80, 80, 0, 2},
                      // 8000 Hz is MPEG-2.5, whose frames go up to 64 kbit/s: the encoder takes that.
                      EncodeCase{"Cbr128At8000FromTheThirdEntry", 8000, 1, cbr(0, true), 128, 64, 0, 25},
                      EncodeCase{"Cbr32At32000Stereo", 32000, 2, cbr(13, false), 32, 32, 0, 1},
                      EncodeCase{"Cbr320At48000", 48000, 2, cbr(0, false), 320, 320, 0, 1},
                      EncodeCase{"VbrBestQualityAt48000", 48000, 2, vbr(1, 13, 0, 5, 9), 0, 0, 0, 1},
                      EncodeCase{"VbrAt16000Mono", 16000, 1, vbr(1, 10, 0, 5, 0), 0, 0, 0, 2},
                      EncodeCase{"Abr160At44100", 44100, 2, vbr(2, 13, 0, 4, 5), 0, 0, 160, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MP3Writer, EncoderThatCannotStartLeavesAnEmptyFile)
{
    test::TempFolder folder;
    for (const auto& [rate, channels] : {std::pair{-8000, 1}, std::pair{44100, 3}}) {
        const std::string path = folder.file("bad" + std::to_string(channels) + ".mp3");
        {
            MP3writer writer(path, cbr(5, false), 44100, rate, channels);
            EXPECT_FALSE(writer.ready());
            const std::int16_t pcm[8] = {};
            writer.encode(reinterpret_cast<const std::uint8_t*>(pcm), sizeof pcm);  // ignored
        }
        ASSERT_TRUE(std::filesystem::exists(path));
        EXPECT_EQ(std::filesystem::file_size(path), 0u);
    }
}

TEST(MP3Writer, AnExistingFileIsNeverReplaced)
{
    test::TempFolder folder;
    const std::string path = folder.file("take.mp3");
    test::writetextfile(path, "an earlier recording");
    EXPECT_THROW(MP3writer(path, cbr(5, false), 44100, 44100, 2), EOutputNameTaken);
    EXPECT_EQ(test::readtextfile(path), "an earlier recording");
}

TEST(MP3Writer, FileThatCannotBeCreatedRaises)
{
    test::TempFolder folder;
    try {
        MP3writer writer(folder.file("missing/x.mp3"), cbr(5, false), 44100, 44100, 2);
        FAIL();
    } catch (const EMakerError& e) {
        EXPECT_EQ(std::string(e.what()), "Can not open file:" + folder.file("missing/x.mp3") + "\r\n");
    }
}

}  // namespace
}  // namespace velk
