#pragma once
// TCodecStream: one open conversion from a PCM source format to a target format (PCM at another
// rate, bit depth or channel count, or a codec format). Obtained from TCodecManager::openstream.
//
// Threads: one thread at a time per stream. A PCM-to-PCM stream allocates nothing in convert()
// once it has converted its first buffer, so it may run on the capture path.

#include <cstddef>
#include <cstdint>

namespace velk {

// Conversion flags (values as the stored task lists and logs of older versions know them).
constexpr unsigned CODEC_CONVERTF_BLOCKALIGN = 0x04;  // produce whole target blocks only
constexpr unsigned CODEC_CONVERTF_START = 0x10;       // first buffer of the stream
constexpr unsigned CODEC_CONVERTF_END = 0x20;         // last buffer: flush everything held back

struct TCodecConversion {
    std::size_t used = 0;      // source bytes consumed (whole source frames)
    std::size_t produced = 0;  // target bytes written to the destination
};

class TCodecStream {
public:
    virtual ~TCodecStream() = default;

    // Largest number of target bytes one convert() call can produce from `sourcebytes` source
    // bytes, including the end-of-stream flush. 0 when the stream cannot say.
    virtual std::size_t destsize(std::size_t sourcebytes) const = 0;
    // Converts up to `srclen` source bytes into at most `dstlen` target bytes. Output that does not
    // fit is held back for the next call. Returns false when the codec fails.
    virtual bool convert(const std::uint8_t* src, std::size_t srclen, std::uint8_t* dst, std::size_t dstlen,
                         unsigned flags, TCodecConversion& result) = 0;
};

}  // namespace velk
