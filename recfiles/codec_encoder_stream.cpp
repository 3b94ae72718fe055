#include "recfiles/codec_encoder_stream.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
}

#include <algorithm>
#include <cstring>

#include "core/byte_order.h"
#include "recfiles/codec_manager.h"
#include "recfiles/codec_pcm_stream.h"

namespace velk {

namespace {

// A-law and u-law have no frames of their own; they are fed in chunks of this many samples.
constexpr int kSampleCodecChunk = 1024;

struct DictionaryOwner {
    AVDictionary* dict = nullptr;
    ~DictionaryOwner() { av_dict_free(&dict); }
};

}  // namespace

const char* TEncoderStream::encodername(std::uint16_t tag)
{
    switch (tag) {
    case WAVE_FORMAT_IMA_ADPCM:
        return "adpcm_ima_wav";
    case WAVE_FORMAT_ADPCM:
        return "adpcm_ms";
    case WAVE_FORMAT_ALAW:
        return "pcm_alaw";
    case WAVE_FORMAT_MULAW:
        return "pcm_mulaw";
    case WAVE_FORMAT_GSM610:
        return "libgsm_ms";
    default:
        return nullptr;
    }
}

TEncoderStream::TEncoderStream(const tWAVEFORMATEX& source) : source_(source) {}

std::unique_ptr<TEncoderStream> TEncoderStream::open(const tWAVEFORMATEX& source, const fWaveFormat& target)
{
    const tWAVEFORMATEX& t = target.fx;
    const char* name = encodername(t.wFormatTag);
    if (!name || !ispcmformat(source) || source.nChannels != t.nChannels || source.nSamplesPerSec != t.nSamplesPerSec ||
        t.nBlockAlign == 0 || t.cbSize > fWaveFormat::extsize)
        return nullptr;
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (!codec || !codec->sample_fmts)
        return nullptr;

    std::unique_ptr<TEncoderStream> s(new TEncoderStream(source));
    s->ctx_.reset(avcodec_alloc_context3(codec));
    if (!s->ctx_)
        return nullptr;
    AVCodecContext* ctx = s->ctx_.get();
    ctx->sample_rate = static_cast<int>(t.nSamplesPerSec);
    av_channel_layout_default(&ctx->ch_layout, t.nChannels);
    ctx->sample_fmt = codec->sample_fmts[0];
    if (ctx->sample_fmt != AV_SAMPLE_FMT_S16 && ctx->sample_fmt != AV_SAMPLE_FMT_S16P)
        return nullptr;
    ctx->time_base = AVRational{1, ctx->sample_rate};
    // GSM 6.10 is defined for 8 kHz, but its WAV form is written and read at the other rates too.
    ctx->strict_std_compliance = FF_COMPLIANCE_UNOFFICIAL;
    DictionaryOwner options;
    const bool adpcm = t.wFormatTag == WAVE_FORMAT_IMA_ADPCM || t.wFormatTag == WAVE_FORMAT_ADPCM;
    if (adpcm)
        av_dict_set_int(&options.dict, "block_size", t.nBlockAlign, 0);
    if (avcodec_open2(ctx, codec, &options.dict) < 0)
        return nullptr;

    // The encoder must produce exactly the blocks the stored format describes, or the header of
    // the file would not match its data.
    if (ctx->frame_size > 0) {
        if (ctx->block_align != t.nBlockAlign)
            return nullptr;
        if (t.cbSize >= 2 && le::get16(target.ext.data()) != ctx->frame_size)
            return nullptr;
        if (t.wFormatTag == WAVE_FORMAT_ADPCM &&
            (ctx->extradata_size != t.cbSize ||
             std::memcmp(ctx->extradata, target.ext.data(), static_cast<std::size_t>(ctx->extradata_size)) != 0))
            return nullptr;
        s->framesize_ = ctx->frame_size;
        s->packetbytes_ = t.nBlockAlign;
    } else {
        if (t.nBlockAlign != t.nChannels)
            return nullptr;
        s->framesize_ = kSampleCodecChunk;
        s->packetbytes_ = std::size_t{kSampleCodecChunk} * t.nChannels;
    }

    s->frame_.reset(av_frame_alloc());
    s->packet_.reset(av_packet_alloc());
    if (!s->frame_ || !s->packet_)
        return nullptr;
    AVFrame* f = s->frame_.get();
    f->format = ctx->sample_fmt;
    f->nb_samples = s->framesize_;
    f->sample_rate = ctx->sample_rate;
    if (av_channel_layout_copy(&f->ch_layout, &ctx->ch_layout) < 0 || av_frame_get_buffer(f, 0) < 0)
        return nullptr;
    s->pending_.reserve(s->packetbytes_ * 4);
    return s;
}

std::size_t TEncoderStream::destsize(std::size_t sourcebytes) const
{
    // Up to framesize-1 samples may be waiting from before, and the end adds one padded frame.
    const std::size_t frames = sourcebytes / source_.nBlockAlign;
    const std::size_t fs = static_cast<std::size_t>(framesize_);
    return ((frames + fs - 1) / fs + 1) * packetbytes_;
}

bool TEncoderStream::drainpackets()
{
    for (;;) {
        const int rc = avcodec_receive_packet(ctx_.get(), packet_.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            return true;
        if (rc < 0)
            return false;
        if (pendingpos_ == pending_.size()) {
            pending_.clear();
            pendingpos_ = 0;
        }
        pending_.insert(pending_.end(), packet_->data, packet_->data + packet_->size);
        av_packet_unref(packet_.get());
    }
}

bool TEncoderStream::encodeframe()
{
    AVFrame* f = frame_.get();
    f->pts = pts_;
    pts_ += have_;
    if (avcodec_send_frame(ctx_.get(), f) < 0)
        return false;
    have_ = 0;
    return drainpackets();
}

std::size_t TEncoderStream::deliver(std::uint8_t* dst, std::size_t dstlen)
{
    const std::size_t n = std::min(dstlen, pending_.size() - pendingpos_);
    std::memcpy(dst, pending_.data() + pendingpos_, n);
    pendingpos_ += n;
    return n;
}

bool TEncoderStream::convert(const std::uint8_t* src, std::size_t srclen, std::uint8_t* dst, std::size_t dstlen,
                             unsigned flags, TCodecConversion& result)
{
    result = {};
    const std::size_t frames = srclen / source_.nBlockAlign;
    if (finished_) {
        result.produced = deliver(dst, dstlen);
        return true;
    }
    const unsigned channels = source_.nChannels;
    const bool planar = ctx_->sample_fmt == AV_SAMPLE_FMT_S16P;
    const bool eightbit = source_.wBitsPerSample == 8;
    for (std::size_t i = 0; i < frames; ++i) {
        if (have_ == 0 && av_frame_make_writable(frame_.get()) < 0)
            return false;
        const std::uint8_t* in = src + i * source_.nBlockAlign;
        for (unsigned c = 0; c < channels; ++c) {
            const std::int16_t v = eightbit ? static_cast<std::int16_t>((in[c] - 128) * 256)
                                            : static_cast<std::int16_t>(le::get16(in + 2 * c));
            auto* out = planar ? reinterpret_cast<std::int16_t*>(frame_->data[c]) + have_
                               : reinterpret_cast<std::int16_t*>(frame_->data[0]) + have_ * channels + c;
            *out = v;
        }
        if (++have_ == framesize_ && !encodeframe())
            return false;
    }
    if (flags & CODEC_CONVERTF_END) {
        if (have_ > 0) {
            if (ctx_->frame_size > 0) {
                // Block codecs take whole frames only: pad the last one with silence. The "fact"
                // count still says how many samples are real.
                for (unsigned c = 0; c < (planar ? channels : 1); ++c) {
                    const std::size_t per = planar ? 1 : channels;
                    std::memset(frame_->data[c] + have_ * per * 2, 0,
                                static_cast<std::size_t>(framesize_ - have_) * per * 2);
                }
                have_ = framesize_;
            } else {
                frame_->nb_samples = have_;
            }
            if (!encodeframe())
                return false;
        }
        if (avcodec_send_frame(ctx_.get(), nullptr) < 0 || !drainpackets())
            return false;
        finished_ = true;
    }
    result.used = frames * source_.nBlockAlign;
    result.produced = deliver(dst, dstlen);
    return true;
}

}  // namespace velk
