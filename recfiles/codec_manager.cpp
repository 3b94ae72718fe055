#include "recfiles/codec_manager.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <cstdio>

#include "core/byte_order.h"
#include "recfiles/codec_encoder_stream.h"
#include "recfiles/codec_pcm_stream.h"

namespace velk {

namespace {

struct TagInfo {
    std::uint16_t tag;
    const char* name;
    std::size_t formatsize;  // 18-byte header plus the tag's extra bytes (16 for PCM)
};

constexpr TagInfo kTags[] = {
    {WAVE_FORMAT_PCM, "PCM", 16},
    {WAVE_FORMAT_IMA_ADPCM, "IMA ADPCM", 20},
    {WAVE_FORMAT_ADPCM, "Microsoft ADPCM", 50},
    {WAVE_FORMAT_ALAW, "CCITT A-Law", 18},
    {WAVE_FORMAT_MULAW, "CCITT u-Law", 18},
    {WAVE_FORMAT_GSM610, "GSM 6.10", 20},
};

struct DriverInfo {
    const char* name;
    std::vector<std::uint16_t> tags;
};

const TagInfo* taginfo(std::uint16_t tag)
{
    for (const TagInfo& t : kTags)
        if (t.tag == tag)
            return &t;
    return nullptr;
}

// The adaptation coefficient pairs of Microsoft ADPCM, stored in every file's format.
constexpr std::int16_t kMsAdpcmCoefficients[7][2] = {{256, 0}, {512, -256}, {0, 0}, {192, 64},
                                                     {240, 0}, {460, -208}, {392, -232}};

// ADPCM blocks grow with the rate as the classic codecs lay them out: 256 bytes per channel up to
// 11025 Hz, 512 at 22050 Hz, 1024 at 44100 Hz.
std::uint16_t adpcmblock(const tWAVEFORMATEX& source)
{
    const std::uint32_t scale = std::max<std::uint32_t>(1, source.nSamplesPerSec / 11025);
    return static_cast<std::uint16_t>(256 * source.nChannels * scale);
}

fWaveFormat codecformat(std::uint16_t tag, const tWAVEFORMATEX& source, std::uint16_t block, std::uint16_t bits,
                        std::uint32_t samplesperblock)
{
    fWaveFormat f;
    f.fx.wFormatTag = tag;
    f.fx.nChannels = source.nChannels;
    f.fx.nSamplesPerSec = source.nSamplesPerSec;
    f.fx.nBlockAlign = block;
    f.fx.nAvgBytesPerSec =
        static_cast<std::uint32_t>(std::uint64_t{source.nSamplesPerSec} * block / samplesperblock);
    f.fx.wBitsPerSample = bits;
    return f;
}

bool installed(std::uint16_t tag)
{
    if (tag == WAVE_FORMAT_PCM)
        return true;
    const char* name = TEncoderStream::encodername(tag);
    return name && avcodec_find_encoder_by_name(name);
}

}  // namespace

std::vector<TCodecDriver> TCodecManager::drivers() const
{
    static const DriverInfo kDrivers[] = {
        {"PCM Converter", {WAVE_FORMAT_PCM}},
        {"IMA ADPCM Codec", {WAVE_FORMAT_IMA_ADPCM}},
        {"Microsoft ADPCM Codec", {WAVE_FORMAT_ADPCM}},
        {"CCITT G.711 A-Law and u-Law Codec", {WAVE_FORMAT_ALAW, WAVE_FORMAT_MULAW}},
        {"GSM 6.10 Audio Codec", {WAVE_FORMAT_GSM610}},
    };
    std::vector<TCodecDriver> out;
    for (const DriverInfo& d : kDrivers) {
        TCodecDriver driver{d.name, 0, {}};
        for (std::uint16_t tag : d.tags) {
            if (!installed(tag))
                continue;
            driver.tags.push_back(tag);
            driver.maxformatsize = std::max(driver.maxformatsize, taginfo(tag)->formatsize);
        }
        if (!driver.tags.empty())
            out.push_back(std::move(driver));
    }
    return out;
}

std::optional<std::size_t> TCodecManager::formatsize(std::uint16_t tag) const
{
    const TagInfo* t = taginfo(tag);
    if (!t)
        return std::nullopt;
    return t->formatsize;
}

std::optional<fWaveFormat> TCodecManager::suggest(std::uint16_t tag, const tWAVEFORMATEX& source) const
{
    if (!ispcmformat(source) || !installed(tag))
        return std::nullopt;
    const std::uint16_t ch = source.nChannels;
    switch (tag) {
    case WAVE_FORMAT_PCM:
        return pcmwaveformat(source.nSamplesPerSec, ch, source.wBitsPerSample);
    case WAVE_FORMAT_IMA_ADPCM: {
        // 4 bytes of header per channel, then 4 bits per sample; the header holds one sample.
        const std::uint16_t block = adpcmblock(source);
        const std::uint32_t spb = (block - 4u * ch) * 8 / (4u * ch) + 1;
        fWaveFormat f = codecformat(tag, source, block, 4, spb);
        f.fx.cbSize = 2;
        le::put16(f.ext.data(), static_cast<std::uint16_t>(spb));
        return f;
    }
    case WAVE_FORMAT_ADPCM: {
        // 7 bytes of header per channel holding two samples, then 4 bits per sample.
        const std::uint16_t block = adpcmblock(source);
        const std::uint32_t spb = (block - 7u * ch) * 2 / ch + 2;
        fWaveFormat f = codecformat(tag, source, block, 4, spb);
        f.fx.cbSize = 32;
        le::put16(f.ext.data(), static_cast<std::uint16_t>(spb));
        le::put16(f.ext.data() + 2, 7);
        for (int i = 0; i < 7; ++i) {
            le::put16(f.ext.data() + 4 + 4 * i, static_cast<std::uint16_t>(kMsAdpcmCoefficients[i][0]));
            le::put16(f.ext.data() + 6 + 4 * i, static_cast<std::uint16_t>(kMsAdpcmCoefficients[i][1]));
        }
        return f;
    }
    case WAVE_FORMAT_ALAW:
    case WAVE_FORMAT_MULAW:
        return codecformat(tag, source, ch, 8, 1);
    case WAVE_FORMAT_GSM610: {
        // Mono only, at the rates its WAV form is known at; 320 samples in 65-byte blocks.
        const std::uint32_t r = source.nSamplesPerSec;
        if (ch != 1 || (r != 8000 && r != 11025 && r != 22050 && r != 44100))
            return std::nullopt;
        fWaveFormat f = codecformat(tag, source, 65, 0, 320);
        f.fx.cbSize = 2;
        le::put16(f.ext.data(), 320);
        return f;
    }
    default:
        return std::nullopt;
    }
}

std::string TCodecManager::tagname(std::uint16_t tag) const
{
    const TagInfo* t = taginfo(tag);
    return t ? t->name : "";
}

std::string TCodecManager::describe(const fWaveFormat& format) const
{
    const tWAVEFORMATEX& f = format.fx;
    if (!taginfo(f.wFormatTag) || (f.nChannels != 1 && f.nChannels != 2) || f.nSamplesPerSec == 0)
        return {};
    char text[64];
    int n = std::snprintf(text, sizeof text, "%u.%03u kHz", f.nSamplesPerSec / 1000, f.nSamplesPerSec % 1000);
    if (f.wBitsPerSample)
        n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), ", %u Bit", unsigned{f.wBitsPerSample});
    std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), ", %s", f.nChannels == 1 ? "Mono" : "Stereo");
    return text;
}

std::unique_ptr<TCodecStream> TCodecManager::openstream(const tWAVEFORMATEX& source, const fWaveFormat& target) const
{
    if (target.fx.wFormatTag == WAVE_FORMAT_PCM)
        return TPcmStream::open(source, target.fx);
    return TEncoderStream::open(source, target);
}

const TCodecManager& codecmanager()
{
    static const TCodecManager manager;
    return manager;
}

}  // namespace velk
