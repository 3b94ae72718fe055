#pragma once
// Wave formats: the 18-byte WAVEFORMATEX header and `fWaveFormat`, the 531-byte stored format
// (header plus 513 bytes of codec-specific extra data) kept in "format.dat", in the configuration
// and in every recording descriptor.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace velk {

constexpr std::uint16_t WAVE_FORMAT_PCM = 1;

struct tWAVEFORMATEX {
    std::uint16_t wFormatTag = 0;
    std::uint16_t nChannels = 0;
    std::uint32_t nSamplesPerSec = 0;
    std::uint32_t nAvgBytesPerSec = 0;
    std::uint16_t nBlockAlign = 0;
    std::uint16_t wBitsPerSample = 0;
    std::uint16_t cbSize = 0;  // meaningful bytes of extra data that follow the header

    static constexpr std::size_t size = 18;

    bool operator==(const tWAVEFORMATEX&) const = default;
    void serialize(std::uint8_t* out) const;  // writes `size` bytes, little-endian
    static tWAVEFORMATEX deserialize(const std::uint8_t* in);
};

struct fWaveFormat {
    static constexpr std::size_t extsize = 513;
    static constexpr std::size_t size = tWAVEFORMATEX::size + extsize;  // 531

    tWAVEFORMATEX fx;
    std::array<std::uint8_t, extsize> ext{};

    bool operator==(const fWaveFormat&) const = default;
    std::array<std::uint8_t, size> serialize() const;
    // Reads up to `size` bytes; bytes beyond the input keep the values of `base`.
    static fWaveFormat deserialize(std::span<const std::uint8_t> bytes, const fWaveFormat& base);
    static fWaveFormat deserialize(std::span<const std::uint8_t> bytes);

    // A format the codec layer can be asked for: channels and rate set, block align set, and no
    // more extra bytes than the record holds.
    bool isusable() const;
};

// The PCM header rule: tag 1, C channels, rate R, block align C*B/8, R*align bytes per second,
// B bits, no extra bytes.
tWAVEFORMATEX pcmformat(std::uint32_t rate, std::uint16_t channels, std::uint16_t bits);
fWaveFormat pcmwaveformat(std::uint32_t rate, std::uint16_t channels, std::uint16_t bits);

}  // namespace velk
