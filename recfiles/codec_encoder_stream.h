#pragma once
// TEncoderStream: conversion from PCM to a codec format (IMA ADPCM, Microsoft ADPCM, A-law, u-law,
// GSM 6.10) through a libavcodec encoder. The source must have the target's rate and channel
// count; samples are gathered into whole codec frames, and the last partial frame is padded with
// silence at the end of the stream.
//
// Threads: one thread at a time (the compression thread). convert() may allocate.
// Internal to the codec layer: callers obtain streams from TCodecManager::openstream.

#include <cstdint>
#include <memory>
#include <vector>

#include "core/wave_format.h"
#include "recfiles/codec_av_handles.h"
#include "recfiles/codec_stream.h"

namespace velk {

class TEncoderStream final : public TCodecStream {
public:
    // Nothing when the source is not PCM of the target's rate and channels, the encoder is not
    // installed, or the encoder's block layout differs from the one `target` describes.
    static std::unique_ptr<TEncoderStream> open(const tWAVEFORMATEX& source, const fWaveFormat& target);

    std::size_t destsize(std::size_t sourcebytes) const override;
    // Consumes every whole source frame; output that does not fit waits for the next call.
    bool convert(const std::uint8_t* src, std::size_t srclen, std::uint8_t* dst, std::size_t dstlen,
                 unsigned flags, TCodecConversion& result) override;

    // The libavcodec encoder name for a codec format tag; nullptr for PCM and unknown tags.
    static const char* encodername(std::uint16_t tag);

private:
    explicit TEncoderStream(const tWAVEFORMATEX& source);
    bool encodeframe();  // sends the gathered frame (nullptr-flush when empty at the end)
    bool drainpackets();
    std::size_t deliver(std::uint8_t* dst, std::size_t dstlen);

    tWAVEFORMATEX source_;
    AVCodecContextPtr ctx_;
    AVFramePtr frame_;
    AVPacketPtr packet_;
    int framesize_ = 0;          // samples per codec frame
    std::size_t packetbytes_ = 0;  // bytes of the packet of one full frame
    int have_ = 0;               // samples gathered in frame_
    std::int64_t pts_ = 0;
    bool finished_ = false;      // the end of the stream has been flushed
    std::vector<std::uint8_t> pending_;  // encoded bytes not yet handed out
    std::size_t pendingpos_ = 0;
};

}  // namespace velk
