#pragma once
// Reading WAV files back as the tests check them, and writing the canonical 16-bit PCM WAV a
// recording leaves.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "core/wave_format.h"

namespace velk::test {

// A WAV file as read back from disk.
struct WavFile {
    bool ok = false;
    std::size_t filesize = 0;
    std::uint32_t riffsize = 0;
    std::uint32_t fmtsize = 0;
    tWAVEFORMATEX fmt;
    std::uint32_t datasize = 0;
    std::vector<std::int16_t> samples;  // the data chunk as 16-bit samples
};

// Reads a WAV with the canonical 44-byte header (not ok otherwise); the samples are those of the
// data chunk as far as the file holds them.
inline WavFile readwav(const std::string& path)
{
    WavFile w;
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    w.filesize = bytes.size();
    if (bytes.size() < 44 || std::memcmp(bytes.data(), "RIFF", 4) != 0 || std::memcmp(bytes.data() + 8, "WAVE", 4) != 0 ||
        std::memcmp(bytes.data() + 12, "fmt ", 4) != 0 || std::memcmp(bytes.data() + 36, "data", 4) != 0)
        return w;
    w.riffsize = le::get32(bytes.data() + 4);
    w.fmtsize = le::get32(bytes.data() + 16);
    w.fmt = tWAVEFORMATEX::deserialize(bytes.data() + 20);
    w.fmt.cbSize = 0;  // a 16-byte PCM "fmt " has no extra-size field
    w.datasize = le::get32(bytes.data() + 40);
    const std::size_t have = std::min<std::size_t>(w.datasize, bytes.size() - 44);
    w.samples.resize(have / 2);
    for (std::size_t i = 0; i < w.samples.size(); ++i)
        w.samples[i] = static_cast<std::int16_t>(le::get16(bytes.data() + 44 + 2 * i));
    w.ok = true;
    return w;
}

// A canonical 44-byte-header 16-bit PCM WAV holding `samples` (interleaved). `completesizes`
// false leaves the RIFF and data sizes 0, as a recording cut off by a crash does.
inline void writepcmwav(const std::string& path, int rate, int channels, const std::vector<std::int16_t>& samples,
                        bool completesizes = true)
{
    std::vector<std::uint8_t> bytes(44 + samples.size() * 2);
    std::uint8_t* h = bytes.data();
    const std::uint32_t data = static_cast<std::uint32_t>(samples.size() * 2);
    std::memcpy(h, "RIFF", 4);
    le::put32(h + 4, completesizes ? 36 + data : 0);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    le::put32(h + 16, 16);
    pcmformat(rate, static_cast<std::uint16_t>(channels), 16).serialize(h + 20);
    std::memcpy(h + 36, "data", 4);
    le::put32(h + 40, completesizes ? data : 0);
    for (std::size_t i = 0; i < samples.size(); ++i)
        le::put16(h + 44 + 2 * i, static_cast<std::uint16_t>(samples[i]));
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

}  // namespace velk::test
