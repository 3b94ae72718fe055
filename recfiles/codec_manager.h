#pragma once
// TCodecManager: the recorder's audio codec layer over libavcodec and libswresample. It offers
// what the WAV writer needs (open a conversion stream, the largest format description of a
// format tag) and what the format chooser needs (codec drivers and their format tags, a suggested
// format of a tag for a PCM source, the names of tags and formats).
//
// Formats: PCM 8/16 bit mono/stereo at any rate (with resampling and channel conversion between
// PCM formats), IMA ADPCM (0x0011), Microsoft ADPCM (0x0002), A-law (0x0006), u-law (0x0007),
// GSM 6.10 (0x0031). Codec formats are reached only from PCM of the same rate and channel count,
// so the "fact" sample count of a file equals the source frames converted.
//
// Threads: any thread; the manager holds no state.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/wave_format.h"
#include "recfiles/codec_stream.h"

namespace velk {

constexpr std::uint16_t WAVE_FORMAT_ADPCM = 0x0002;
constexpr std::uint16_t WAVE_FORMAT_ALAW = 0x0006;
constexpr std::uint16_t WAVE_FORMAT_MULAW = 0x0007;
constexpr std::uint16_t WAVE_FORMAT_IMA_ADPCM = 0x0011;
constexpr std::uint16_t WAVE_FORMAT_GSM610 = 0x0031;

// One codec driver: a named group of format tags, listed in this order.
struct TCodecDriver {
    std::string name;
    std::size_t maxformatsize = 0;  // bytes of the largest format description of its tags
    std::vector<std::uint16_t> tags;
};

class TCodecManager {
public:
    // The installed drivers in enumeration order (PCM converter first).
    std::vector<TCodecDriver> drivers() const;
    // Bytes of the largest format description of `tag` (18-byte header plus extra bytes; 16 for
    // PCM, which has no extra-size field). Nothing for an unknown tag.
    std::optional<std::size_t> formatsize(std::uint16_t tag) const;
    // A format of `tag` that a stream can reach from the PCM `source`, with the extra bytes of the
    // tag's standard WAV form. Nothing when the tag cannot be reached from this source.
    std::optional<fWaveFormat> suggest(std::uint16_t tag, const tWAVEFORMATEX& source) const;
    // "IMA ADPCM"; empty for an unknown tag.
    std::string tagname(std::uint16_t tag) const;
    // "44.100 kHz, 4 Bit, Mono"; empty when the format is not one the layer can write.
    std::string describe(const fWaveFormat& format) const;
    // A conversion stream from the PCM `source` to `target`; nothing when the layer cannot reach
    // the target from this source (unknown tag, other channel count for a codec, bad format).
    std::unique_ptr<TCodecStream> openstream(const tWAVEFORMATEX& source, const fWaveFormat& target) const;
};

// The process-wide codec manager.
const TCodecManager& codecmanager();

}  // namespace velk
