#include "recfiles/codec_pcm_stream.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

#include <cstring>

namespace velk {

namespace {

AVSampleFormat sampleformat(const tWAVEFORMATEX& f) { return f.wBitsPerSample == 8 ? AV_SAMPLE_FMT_U8 : AV_SAMPLE_FMT_S16; }

}  // namespace

bool ispcmformat(const tWAVEFORMATEX& f)
{
    return f.wFormatTag == WAVE_FORMAT_PCM && (f.wBitsPerSample == 8 || f.wBitsPerSample == 16) &&
           (f.nChannels == 1 || f.nChannels == 2) && f.nSamplesPerSec > 0 &&
           f.nBlockAlign == f.nChannels * f.wBitsPerSample / 8;
}

TPcmStream::TPcmStream(const tWAVEFORMATEX& source, const tWAVEFORMATEX& target) : source_(source), target_(target) {}

TPcmStream::~TPcmStream() = default;

std::unique_ptr<TPcmStream> TPcmStream::open(const tWAVEFORMATEX& source, const tWAVEFORMATEX& target)
{
    if (!ispcmformat(source) || !ispcmformat(target))
        return nullptr;
    std::unique_ptr<TPcmStream> stream(new TPcmStream(source, target));
    if (source.nChannels == target.nChannels && source.wBitsPerSample == target.wBitsPerSample &&
        source.nSamplesPerSec == target.nSamplesPerSec)
        return stream;

    AVChannelLayout inlayout, outlayout;
    av_channel_layout_default(&inlayout, source.nChannels);
    av_channel_layout_default(&outlayout, target.nChannels);
    SwrContext* raw = nullptr;
    const int rc = swr_alloc_set_opts2(&raw, &outlayout, sampleformat(target), static_cast<int>(target.nSamplesPerSec),
                                       &inlayout, sampleformat(source), static_cast<int>(source.nSamplesPerSec), 0,
                                       nullptr);
    stream->swr_.reset(raw);
    if (rc < 0)
        return nullptr;
    // A mono recording becomes the same signal on both sides (not a centre speaker at -3 dB), and
    // a stereo one becomes the plain average of its sides.
    if (source.nChannels != target.nChannels) {
        static const double upmix[2] = {1.0, 1.0};
        static const double downmix[2] = {0.5, 0.5};
        const bool up = target.nChannels > source.nChannels;
        if (swr_set_matrix(stream->swr_.get(), up ? upmix : downmix, up ? 1 : 2) < 0)
            return nullptr;
    }
    if (swr_init(stream->swr_.get()) < 0)
        return nullptr;
    return stream;
}

std::size_t TPcmStream::destsize(std::size_t sourcebytes) const
{
    const std::size_t frames = sourcebytes / source_.nBlockAlign;
    if (!swr_)
        return frames * target_.nBlockAlign;
    // The resampled count rounded up, plus room for the filter's delayed samples that come out at
    // the end of the stream (a few dozen input samples, scaled by the rate ratio).
    const std::size_t in = source_.nSamplesPerSec, out = target_.nSamplesPerSec;
    const std::size_t resampled = (frames * out + in - 1) / in;
    const std::size_t slack = 64 + 64 * ((out + in - 1) / in);
    return (resampled + slack) * target_.nBlockAlign;
}

bool TPcmStream::convert(const std::uint8_t* src, std::size_t srclen, std::uint8_t* dst, std::size_t dstlen,
                         unsigned flags, TCodecConversion& result)
{
    result = {};
    const std::size_t inframes = srclen / source_.nBlockAlign;
    if (!swr_) {
        const std::size_t frames = std::min(inframes, dstlen / target_.nBlockAlign);
        std::memcpy(dst, src, frames * source_.nBlockAlign);
        result.used = result.produced = frames * source_.nBlockAlign;
        return true;
    }
    const std::size_t outframes = dstlen / target_.nBlockAlign;
    const std::uint8_t* in[1] = {src};
    std::uint8_t* out[1] = {dst};
    const int n = swr_convert(swr_.get(), out, static_cast<int>(outframes), in, static_cast<int>(inframes));
    if (n < 0)
        return false;
    std::size_t produced = static_cast<std::size_t>(n);
    if ((flags & CODEC_CONVERTF_END) && produced < outframes) {
        std::uint8_t* rest[1] = {dst + produced * target_.nBlockAlign};
        const int m = swr_convert(swr_.get(), rest, static_cast<int>(outframes - produced), nullptr, 0);
        if (m < 0)
            return false;
        produced += static_cast<std::size_t>(m);
    }
    result.used = inframes * source_.nBlockAlign;
    result.produced = produced * target_.nBlockAlign;
    return true;
}

}  // namespace velk
