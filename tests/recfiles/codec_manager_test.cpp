// The codec layer's catalogue (drivers, tags, suggested formats, names) and its PCM conversions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "core/byte_order.h"
#include "core/wave_format.h"
#include "recfiles/codec_manager.h"

namespace velk {
namespace {

TEST(CodecManager, ListsItsDriversPcmFirstWithTagNamesAndFormatSizes)
{
    const auto drivers = codecmanager().drivers();
    ASSERT_EQ(drivers.size(), 5u);
    EXPECT_EQ(drivers[0].tags, std::vector<std::uint16_t>{WAVE_FORMAT_PCM});
    EXPECT_EQ(drivers[3].tags, (std::vector<std::uint16_t>{WAVE_FORMAT_ALAW, WAVE_FORMAT_MULAW}));
    EXPECT_EQ(drivers[2].maxformatsize, 50u);

    struct Case {
        std::uint16_t tag;
        const char* name;
        std::size_t size;
    };
    for (const Case c : {Case{WAVE_FORMAT_PCM, "PCM", 16}, Case{WAVE_FORMAT_IMA_ADPCM, "IMA ADPCM", 20},
                         Case{WAVE_FORMAT_ADPCM, "Microsoft ADPCM", 50}, Case{WAVE_FORMAT_ALAW, "CCITT A-Law", 18},
                         Case{WAVE_FORMAT_MULAW, "CCITT u-Law", 18}, Case{WAVE_FORMAT_GSM610, "GSM 6.10", 20}}) {
        EXPECT_EQ(codecmanager().tagname(c.tag), c.name);
        EXPECT_EQ(codecmanager().formatsize(c.tag), c.size) << c.name;
    }
    EXPECT_EQ(codecmanager().tagname(0x55), "");
    EXPECT_FALSE(codecmanager().formatsize(0x55));
}

TEST(CodecManager, SuggestsTheStandardWavFormOfEachCodec)
{
    struct Case {
        std::uint16_t tag;
        std::uint32_t rate;
        std::uint16_t channels;
        std::uint16_t block;
        std::uint32_t avgbytes;
        std::uint16_t bits;
        std::uint16_t cbsize;
        std::uint16_t samplesperblock;  // first extra word, when there is one
    };
    const Case cases[] = {
        {WAVE_FORMAT_PCM, 22050, 2, 4, 88200, 16, 0, 0},
        {WAVE_FORMAT_IMA_ADPCM, 8000, 1, 256, 4055, 4, 2, 505},
        {WAVE_FORMAT_IMA_ADPCM, 44100, 2, 2048, 44251, 4, 2, 2041},
        {WAVE_FORMAT_ADPCM, 22050, 1, 512, 11155, 4, 32, 1012},
        {WAVE_FORMAT_ADPCM, 8000, 2, 512, 8192, 4, 32, 500},
        {WAVE_FORMAT_ALAW, 8000, 2, 2, 16000, 8, 0, 0},
        {WAVE_FORMAT_MULAW, 48000, 1, 1, 48000, 8, 0, 0},
        {WAVE_FORMAT_GSM610, 8000, 1, 65, 1625, 0, 2, 320},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.tag << " " << c.rate << " " << c.channels);
        const auto f = codecmanager().suggest(c.tag, pcmformat(c.rate, c.channels, 16));
        ASSERT_TRUE(f);
        EXPECT_EQ(f->fx.wFormatTag, c.tag);
        EXPECT_EQ(f->fx.nChannels, c.channels);
        EXPECT_EQ(f->fx.nSamplesPerSec, c.rate);
        EXPECT_EQ(f->fx.nBlockAlign, c.block);
        EXPECT_EQ(f->fx.nAvgBytesPerSec, c.avgbytes);
        EXPECT_EQ(f->fx.wBitsPerSample, c.bits);
        EXPECT_EQ(f->fx.cbSize, c.cbsize);
        if (c.cbsize) {
            EXPECT_EQ(le::get16(f->ext.data()), c.samplesperblock);
        }
        EXPECT_TRUE(codecmanager().openstream(pcmformat(c.rate, c.channels, 16), *f));
    }
    // Microsoft ADPCM carries its seven coefficient pairs.
    const auto ms = codecmanager().suggest(WAVE_FORMAT_ADPCM, pcmformat(8000, 1, 16));
    ASSERT_TRUE(ms);
    const std::int16_t coef[14] = {256, 0, 512, -256, 0, 0, 192, 64, 240, 0, 460, -208, 392, -232};
    EXPECT_EQ(le::get16(ms->ext.data() + 2), 7);
    for (int i = 0; i < 14; ++i)
        EXPECT_EQ(static_cast<std::int16_t>(le::get16(ms->ext.data() + 4 + 2 * i)), coef[i]);
}

TEST(CodecManager, SuggestsNothingACodecCannotProduceFromTheSource)
{
    EXPECT_FALSE(codecmanager().suggest(WAVE_FORMAT_GSM610, pcmformat(8000, 2, 16)));   // GSM is mono only
    EXPECT_FALSE(codecmanager().suggest(WAVE_FORMAT_GSM610, pcmformat(16000, 1, 16)));  // not a GSM rate
    EXPECT_FALSE(codecmanager().suggest(0x55, pcmformat(44100, 1, 16)));
    EXPECT_FALSE(codecmanager().suggest(WAVE_FORMAT_IMA_ADPCM, pcmformat(44100, 1, 24)));
}

TEST(CodecManager, DescribesFormatsByRateBitsAndChannels)
{
    EXPECT_EQ(codecmanager().describe(*codecmanager().suggest(WAVE_FORMAT_IMA_ADPCM, pcmformat(44100, 1, 16))),
              "44.100 kHz, 4 Bit, Mono");
    EXPECT_EQ(codecmanager().describe(pcmwaveformat(48000, 2, 16)), "48.000 kHz, 16 Bit, Stereo");
    EXPECT_EQ(codecmanager().describe(*codecmanager().suggest(WAVE_FORMAT_GSM610, pcmformat(8000, 1, 16))),
              "8.000 kHz, Mono");
    fWaveFormat unknown = pcmwaveformat(8000, 1, 16);
    unknown.fx.wFormatTag = 0x55;
    EXPECT_EQ(codecmanager().describe(unknown), "");
}

TEST(CodecManager, RefusesStreamsItCannotWriteExactly)
{
    const tWAVEFORMATEX mono = pcmformat(8000, 1, 16);
    auto gsm = *codecmanager().suggest(WAVE_FORMAT_GSM610, mono);
    EXPECT_FALSE(codecmanager().openstream(pcmformat(8000, 2, 16), gsm));  // stereo into a mono codec
    auto ima = *codecmanager().suggest(WAVE_FORMAT_IMA_ADPCM, mono);
    EXPECT_FALSE(codecmanager().openstream(pcmformat(11025, 1, 16), ima));  // codecs do not resample
    ima.fx.nBlockAlign = 300;  // blocks the encoder cannot lay out as the header says
    EXPECT_FALSE(codecmanager().openstream(mono, ima));
    fWaveFormat bits24 = pcmwaveformat(8000, 1, 16);
    bits24.fx = pcmformat(8000, 1, 24);
    EXPECT_FALSE(codecmanager().openstream(mono, bits24));
    EXPECT_TRUE(codecmanager().openstream(mono, pcmwaveformat(48000, 2, 8)));
}

// Runs `input` through a stream in 100 ms buffers and flushes it; checks every call's output
// against destsize().
std::vector<std::uint8_t> convertall(const tWAVEFORMATEX& from, const tWAVEFORMATEX& to,
                                     const std::vector<std::uint8_t>& input)
{
    fWaveFormat target;
    target.fx = to;
    auto stream = codecmanager().openstream(from, target);
    EXPECT_TRUE(stream);
    if (!stream)
        return {};
    const std::size_t chunk = from.nSamplesPerSec / 10 * from.nBlockAlign;
    std::vector<std::uint8_t> dst(stream->destsize(chunk));
    std::vector<std::uint8_t> out;
    unsigned flags = CODEC_CONVERTF_START | CODEC_CONVERTF_BLOCKALIGN;
    for (std::size_t pos = 0; pos < input.size(); pos += chunk) {
        const std::size_t n = std::min(chunk, input.size() - pos);
        const bool last = pos + n == input.size();
        TCodecConversion r;
        EXPECT_TRUE(stream->convert(input.data() + pos, n, dst.data(), dst.size(),
                                    last ? (flags | CODEC_CONVERTF_END) & ~CODEC_CONVERTF_BLOCKALIGN : flags, r));
        flags &= ~CODEC_CONVERTF_START;
        EXPECT_EQ(r.used, n);
        EXPECT_LE(r.produced, dst.size());
        out.insert(out.end(), dst.begin(), dst.begin() + static_cast<std::ptrdiff_t>(r.produced));
    }
    return out;
}

std::vector<std::int16_t> samples16(const std::vector<std::uint8_t>& bytes)
{
    std::vector<std::int16_t> out(bytes.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<std::int16_t>(le::get16(&bytes[2 * i]));
    return out;
}

std::vector<std::uint8_t> bytes16(const std::vector<std::int16_t>& samples)
{
    std::vector<std::uint8_t> out(samples.size() * 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        le::put16(&out[2 * i], static_cast<std::uint16_t>(samples[i]));
    return out;
}

TEST(PcmConversion, ConvertsChannelsAndBitDepthSampleBySample)
{
    std::vector<std::int16_t> stereo;
    for (int i = 0; i < 8000; ++i) {
        stereo.push_back(static_cast<std::int16_t>((i * 37) % 20000 - 10000));
        stereo.push_back(static_cast<std::int16_t>((i * 91) % 16000 - 8000));
    }
    // Stereo to mono mixes both sides.
    const auto mono = samples16(convertall(pcmformat(8000, 2, 16), pcmformat(8000, 1, 16), bytes16(stereo)));
    ASSERT_EQ(mono.size(), 8000u);
    for (std::size_t i = 0; i < mono.size(); ++i)
        ASSERT_NEAR(mono[i], (stereo[2 * i] + stereo[2 * i + 1]) / 2.0, 1.0) << i;

    // Mono to stereo puts the same sample on both sides.
    const auto both = samples16(convertall(pcmformat(8000, 1, 16), pcmformat(8000, 2, 16), bytes16(mono)));
    ASSERT_EQ(both.size(), 16000u);
    for (std::size_t i = 0; i < mono.size(); ++i) {
        ASSERT_EQ(both[2 * i], mono[i]) << i;
        ASSERT_EQ(both[2 * i + 1], mono[i]) << i;
    }

    // 16 to 8 bit keeps the top byte, offset to unsigned.
    const auto eight = convertall(pcmformat(8000, 1, 16), pcmformat(8000, 1, 8), bytes16(mono));
    ASSERT_EQ(eight.size(), 8000u);
    for (std::size_t i = 0; i < mono.size(); ++i)
        ASSERT_NEAR(eight[i], mono[i] / 256.0 + 128, 1.0) << i;
}

TEST(PcmConversion, ResamplesKeepingLengthAndPitch)
{
    struct Case {
        std::uint32_t from, to;
    };
    for (const Case c : {Case{48000, 44100}, Case{8000, 48000}, Case{44100, 11025}}) {
        SCOPED_TRACE(testing::Message() << c.from << " -> " << c.to);
        std::vector<std::int16_t> sine(c.from * 3 / 2);  // 1.5 s of 1 kHz
        for (std::size_t i = 0; i < sine.size(); ++i)
            sine[i] = static_cast<std::int16_t>(std::lround(16000 * std::sin(2 * M_PI * 1000.0 * i / c.from)));
        const auto out = samples16(convertall(pcmformat(c.from, 1, 16), pcmformat(c.to, 1, 16), bytes16(sine)));
        EXPECT_NEAR(static_cast<double>(out.size()), c.to * 1.5, 2.0);
        int crossings = 0, peak = 0;
        for (std::size_t i = 1; i < out.size(); ++i) {
            crossings += (out[i - 1] < 0) != (out[i] < 0);
            peak = std::max(peak, std::abs(int{out[i]}));
        }
        EXPECT_NEAR(crossings, 3000, 4);
        EXPECT_NEAR(peak, 16000, 800);
    }
}

}  // namespace
}  // namespace velk
