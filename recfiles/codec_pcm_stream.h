#pragma once
// TPcmStream: conversion between two PCM formats (8 or 16 bit, mono or stereo, any rate). Equal
// formats are copied; otherwise libswresample converts the sample format, mixes or duplicates
// channels and resamples.
//
// Threads: one thread at a time. Runs on the capture path while recording: convert() allocates
// nothing once the resampler has seen its first buffer.
// Internal to the codec layer: callers obtain streams from TCodecManager::openstream.

#include <memory>

#include "core/wave_format.h"
#include "recfiles/codec_av_handles.h"
#include "recfiles/codec_stream.h"

namespace velk {

class TPcmStream final : public TCodecStream {
public:
    // Nothing when either format is not 8/16-bit mono/stereo PCM or the resampler cannot start.
    static std::unique_ptr<TPcmStream> open(const tWAVEFORMATEX& source, const tWAVEFORMATEX& target);
    ~TPcmStream() override;

    std::size_t destsize(std::size_t sourcebytes) const override;
    // Consumes every whole source frame; output that does not fit stays in the resampler. With
    // CODEC_CONVERTF_END the resampler's delayed samples are flushed as well.
    bool convert(const std::uint8_t* src, std::size_t srclen, std::uint8_t* dst, std::size_t dstlen,
                 unsigned flags, TCodecConversion& result) override;

private:
    TPcmStream(const tWAVEFORMATEX& source, const tWAVEFORMATEX& target);

    tWAVEFORMATEX source_;
    tWAVEFORMATEX target_;
    SwrContextPtr swr_;  // empty when the formats are equal
};

// True for the PCM formats the layer handles: tag 1, 8 or 16 bit, 1 or 2 channels, a rate, and
// block align channels * bits / 8.
bool ispcmformat(const tWAVEFORMATEX& f);

}  // namespace velk
