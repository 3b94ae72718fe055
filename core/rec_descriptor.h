#pragma once
// TRecDescriptor: the 1372-byte record kept beside every recorded file (start, stop, peak, state,
// audio path, target format). Stored packed little-endian with UTF-16LE texts; several fields are
// unaligned, so it is kept as a plain struct and (de)serialised field by field.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "core/date_time.h"
#include "core/wave_format.h"

namespace velk {

// Descriptor states.
enum : std::int32_t {
    DESC_RECORDING = 1,       // the file is open and growing
    DESC_WAITING = 2,         // finished; the WAV still has to be compressed
    DESC_FINAL = 3,           // the audio file at `path` is final
    DESC_FAILED = 4,          // compression failed; the recorded WAV is still at `path`
};

struct TRecDescriptor {
    static constexpr std::size_t size = 1372;
    static constexpr std::size_t namechars = 128;  // + terminating NUL
    static constexpr std::size_t pathchars = 260;  // + terminating NUL

    std::int32_t version = 2;
    TDateTime start = 0;
    TDateTime stop = 0;
    std::int32_t peak = 0;
    std::int32_t state = 0;
    std::int32_t codec = 0;
    std::array<char16_t, namechars + 1> name{};
    std::array<char16_t, pathchars + 1> path{};
    std::int32_t samplerate = 0;  // Hz; 0 marks the descriptor invalid
    fWaveFormat format;
    std::int32_t mp3mode = 0;
    std::int32_t vbrmax = 0;
    std::int32_t bitrate = 0;
    std::int32_t avgbitrate = 0;
    std::int32_t vbrquality = 0;
    std::uint8_t mp3crc = 0;
    std::int32_t reserved = 0;

    bool operator==(const TRecDescriptor&) const = default;

    using Bytes = std::array<std::uint8_t, size>;
    Bytes serialize() const;
    // Reads up to `size` bytes; fields beyond the input keep the values of `base`.
    static TRecDescriptor deserialize(std::span<const std::uint8_t> bytes, const TRecDescriptor& base);
    static TRecDescriptor deserialize(std::span<const std::uint8_t> bytes);

    // Texts as UTF-8. The setters cut to 128 / 260 UTF-16 units (never inside a surrogate pair)
    // and NUL-terminate; the getters stop at the first NUL.
    void setname(const std::string& text);
    std::string getname() const;
    void setpath(const std::string& text);
    std::string getpath() const;
    // True when `text` fits into the path field whole.
    static bool pathfits(const std::string& text);
};

// Offsets of the stored fields.
namespace descoffset {
constexpr std::size_t version = 0, start = 4, stop = 12, peak = 20, state = 24, codec = 28, name = 32,
                      path = 290, samplerate = 812, format = 816, mp3mode = 1347, vbrmax = 1351, bitrate = 1355,
                      avgbitrate = 1359, vbrquality = 1363, mp3crc = 1367, reserved = 1368;
}

// A descriptor is usable when its sample rate is set.
bool validdescriptor(const TRecDescriptor& descriptor);

}  // namespace velk
