#include "recfiles/codec_manager.h"

#include <cstring>

namespace velk {

namespace {

// Same PCM in and out: the bytes are copied as they are.
class TCopyStream final : public TCodecStream {
public:
    std::size_t destsize(std::size_t sourcebytes) const override { return sourcebytes; }
    bool convert(const std::uint8_t* src, std::size_t srclen, std::uint8_t* dst, std::size_t dstlen, unsigned,
                 TCodecConversion& result) override
    {
        const std::size_t n = std::min(srclen, dstlen);
        std::memcpy(dst, src, n);
        result.used = n;
        result.produced = n;
        return true;
    }
};

bool ispcm(const tWAVEFORMATEX& f)
{
    return f.wFormatTag == WAVE_FORMAT_PCM && (f.wBitsPerSample == 8 || f.wBitsPerSample == 16) &&
           (f.nChannels == 1 || f.nChannels == 2) && f.nSamplesPerSec > 0 &&
           f.nBlockAlign == f.nChannels * f.wBitsPerSample / 8;
}

}  // namespace

std::vector<TCodecDriver> TCodecManager::drivers() const { return {{"PCM Converter", 16, {WAVE_FORMAT_PCM}}}; }

std::optional<std::size_t> TCodecManager::formatsize(std::uint16_t tag) const
{
    if (tag == WAVE_FORMAT_PCM)
        return 16;
    return std::nullopt;
}

std::optional<fWaveFormat> TCodecManager::suggest(std::uint16_t, const tWAVEFORMATEX&) const { return std::nullopt; }

std::string TCodecManager::tagname(std::uint16_t tag) const { return tag == WAVE_FORMAT_PCM ? "PCM" : ""; }

std::string TCodecManager::describe(const fWaveFormat&) const { return {}; }

std::unique_ptr<TCodecStream> TCodecManager::openstream(const tWAVEFORMATEX& source, const fWaveFormat& target) const
{
    if (!ispcm(source) || !ispcm(target.fx))
        return nullptr;
    if (source.nChannels == target.fx.nChannels && source.wBitsPerSample == target.fx.wBitsPerSample &&
        source.nSamplesPerSec == target.fx.nSamplesPerSec)
        return std::make_unique<TCopyStream>();
    return nullptr;
}

const TCodecManager& codecmanager()
{
    static const TCodecManager manager;
    return manager;
}

}  // namespace velk
