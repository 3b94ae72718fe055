#include "core/wave_format.h"

#include <algorithm>

#include "core/byte_order.h"

namespace velk {

void tWAVEFORMATEX::serialize(std::uint8_t* out) const
{
    le::put16(out + 0, wFormatTag);
    le::put16(out + 2, nChannels);
    le::put32(out + 4, nSamplesPerSec);
    le::put32(out + 8, nAvgBytesPerSec);
    le::put16(out + 12, nBlockAlign);
    le::put16(out + 14, wBitsPerSample);
    le::put16(out + 16, cbSize);
}

tWAVEFORMATEX tWAVEFORMATEX::deserialize(const std::uint8_t* in)
{
    tWAVEFORMATEX f;
    f.wFormatTag = le::get16(in + 0);
    f.nChannels = le::get16(in + 2);
    f.nSamplesPerSec = le::get32(in + 4);
    f.nAvgBytesPerSec = le::get32(in + 8);
    f.nBlockAlign = le::get16(in + 12);
    f.wBitsPerSample = le::get16(in + 14);
    f.cbSize = le::get16(in + 16);
    return f;
}

std::array<std::uint8_t, fWaveFormat::size> fWaveFormat::serialize() const
{
    std::array<std::uint8_t, size> out{};
    fx.serialize(out.data());
    std::copy(ext.begin(), ext.end(), out.begin() + tWAVEFORMATEX::size);
    return out;
}

fWaveFormat fWaveFormat::deserialize(std::span<const std::uint8_t> bytes, const fWaveFormat& base)
{
    std::array<std::uint8_t, size> raw = base.serialize();
    std::copy_n(bytes.begin(), std::min(bytes.size(), size), raw.begin());
    fWaveFormat f;
    f.fx = tWAVEFORMATEX::deserialize(raw.data());
    std::copy(raw.begin() + tWAVEFORMATEX::size, raw.end(), f.ext.begin());
    return f;
}

fWaveFormat fWaveFormat::deserialize(std::span<const std::uint8_t> bytes)
{
    return deserialize(bytes, fWaveFormat{});
}

bool fWaveFormat::isusable() const
{
    return fx.nChannels >= 1 && fx.nSamplesPerSec >= 1 && fx.nBlockAlign >= 1 && fx.cbSize <= extsize &&
           (fx.wFormatTag != WAVE_FORMAT_PCM ||
            ((fx.wBitsPerSample == 8 || fx.wBitsPerSample == 16) && fx.nChannels <= 2 &&
             fx.nBlockAlign == fx.nChannels * fx.wBitsPerSample / 8));
}

tWAVEFORMATEX pcmformat(std::uint32_t rate, std::uint16_t channels, std::uint16_t bits)
{
    tWAVEFORMATEX f;
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.nBlockAlign = static_cast<std::uint16_t>(channels * bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    f.wBitsPerSample = bits;
    f.cbSize = 0;
    return f;
}

fWaveFormat pcmwaveformat(std::uint32_t rate, std::uint16_t channels, std::uint16_t bits)
{
    fWaveFormat f;
    f.fx = pcmformat(rate, channels, bits);
    return f;
}

}  // namespace velk
