#include "recfiles/mp3_writer.h"

#include <fcntl.h>
#include <lame/lame.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "core/errors.h"
#include "recfiles/output_names.h"
#include "platform/paths.h"

namespace velk {

namespace {

constexpr std::array<int, 14> mpeg1rates = {320, 256, 224, 192, 160, 128, 112, 96, 80, 64, 56, 48, 40, 32};
constexpr std::array<int, 14> mpeg2rates = {160, 144, 128, 112, 96, 80, 64, 56, 48, 40, 32, 24, 16, 8};

const char* const kWriteError = "Failed to write data to file";

int pick(const int* table, int size, int index)
{
    return table[std::clamp(index, 0, size - 1)];
}

}  // namespace

int mp3bitratekbps(int configuredrate, int index)
{
    switch (configuredrate) {
    case 32000:
    case 44100:
    case 48000:
        return pick(mpeg1rates.data(), static_cast<int>(mpeg1rates.size()), index);
    case 16000:
    case 22050:
        return pick(mpeg2rates.data(), static_cast<int>(mpeg2rates.size()), index);
    case 8000:
    case 11025:
        return pick(mpeg2rates.data() + 2, static_cast<int>(mpeg2rates.size()) - 2, index);
    default:
        return 128;
    }
}

MP3EncoderSetup mp3setup(const MP3Settings& settings, int configuredrate, int rate, int channels)
{
    MP3EncoderSetup s;
    s.samplerate = rate;
    s.channels = channels;
    s.mpegversion = rate >= 32000 ? 1 : 0;
    s.mode = settings.mp3mode == 1 || settings.mp3mode == 2 ? settings.mp3mode : 0;
    s.bitratekbps = mp3bitratekbps(configuredrate, settings.bitrate);
    s.maxbitratekbps = mp3bitratekbps(configuredrate, settings.vbrmax);
    s.abrbps = s.mode == 2 ? mp3bitratekbps(configuredrate, settings.avgbitrate) * 1000 : 0;
    s.vbrquality = std::clamp(9 - settings.vbrquality, 0, 9);
    s.crc = settings.mp3crc;
    s.vbrheader = s.mode == 1;
    return s;
}

struct MP3writer::Encoder {
    lame_global_flags* flags = nullptr;
};

void MP3writer::EncoderDeleter::operator()(Encoder* e) const
{
    if (e && e->flags)
        lame_close(e->flags);
    delete e;
}

MP3writer::MP3writer(const std::string& path, const MP3Settings& settings, int configuredrate, int rate,
                     int channels)
    : path_(withextension(path, ".mp3")), channels_(channels)
{
    const MP3EncoderSetup s = mp3setup(settings, configuredrate, rate, channels);
    std::unique_ptr<Encoder, EncoderDeleter> encoder(new Encoder);
    encoder->flags = lame_init();
    bool ok = encoder->flags != nullptr && (channels == 1 || channels == 2) && rate > 0;
    if (ok) {
        lame_global_flags* gf = encoder->flags;
        lame_set_in_samplerate(gf, rate);
        // The output keeps the recording's rate, so the MPEG version follows the rate.
        lame_set_out_samplerate(gf, rate);
        lame_set_num_channels(gf, channels);
        lame_set_mode(gf, channels == 1 ? MONO : STEREO);
        lame_set_error_protection(gf, s.crc ? 1 : 0);
        lame_set_copyright(gf, 0);
        lame_set_original(gf, 1);
        lame_set_extension(gf, 0);
        lame_set_emphasis(gf, 0);
        lame_set_disable_reservoir(gf, 0);
        lame_set_strict_ISO(gf, 0);
        lame_set_quality(gf, s.quality);
        lame_set_write_id3tag_automatic(gf, 0);
        lame_set_bWriteVbrTag(gf, s.vbrheader ? 1 : 0);
        switch (s.mode) {
        case 1:
            lame_set_VBR(gf, vbr_default);
            lame_set_VBR_quality(gf, static_cast<float>(s.vbrquality));
            lame_set_VBR_min_bitrate_kbps(gf, s.bitratekbps);
            lame_set_VBR_max_bitrate_kbps(gf, s.maxbitratekbps);
            break;
        case 2:
            lame_set_VBR(gf, vbr_abr);
            lame_set_VBR_quality(gf, static_cast<float>(s.vbrquality));
            lame_set_VBR_mean_bitrate_kbps(gf, s.abrbps / 1000);
            lame_set_VBR_min_bitrate_kbps(gf, s.bitratekbps);
            lame_set_VBR_max_bitrate_kbps(gf, s.maxbitratekbps);
            break;
        default:
            lame_set_VBR(gf, vbr_off);
            lame_set_brate(gf, s.bitratekbps);
            break;
        }
        ok = lame_init_params(gf) >= 0;
    }
    if (ok)
        encoder_ = std::move(encoder);

    // The file is created even when the encoder did not start (it then stays empty).
    // Exclusive: an MP3 of another recording (or anything else at the name) is never replaced.
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (errno == EEXIST)
            throw EOutputNameTaken(path_);
        throw EMakerError("Can not open file:" + path_ + "\r\n");
    }
    file_.reset(fd);
    // 2 x rate bytes, at least 16000: more than one 4096-sample piece can produce. encode() grows
    // it for larger pieces.
    buffer_.resize(std::max(16000, 2 * std::max(rate, 0)));
}

MP3writer::~MP3writer()
{
    if (!finished_) {
        try {
            finish();
        } catch (...) {
            // The caller did not ask for the result; the file stays as far as it got.
        }
    }
}

void MP3writer::writeout(std::size_t count)
{
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(file_.get(), buffer_.data() + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw EMakerError(kWriteError);
        done += static_cast<std::size_t>(n);
        written_ += static_cast<std::uint64_t>(n);
    }
}

void MP3writer::encode(const std::uint8_t* data, std::size_t count)
{
    if (!encoder_ || !file_)
        return;
    const std::size_t frames = count / (2 * static_cast<std::size_t>(channels_));
    if (frames == 0)
        return;
    // The encoder's own worst case for one call.
    const std::size_t need = frames * 5 / 4 + 7200;
    if (buffer_.size() < need)
        buffer_.resize(need);
    // The bytes are little-endian 16-bit samples, as the host's shorts on every target we build for.
    const auto* pcm = reinterpret_cast<const short*>(data);
    const std::uint64_t piece = pieces_++;
    int n;
    if (failpiece && failpiece(piece))
        n = -1;
    else if (channels_ == 1)
        n = lame_encode_buffer(encoder_->flags, pcm, pcm, static_cast<int>(frames), buffer_.data(),
                               static_cast<int>(buffer_.size()));
    else
        n = lame_encode_buffer_interleaved(encoder_->flags, const_cast<short*>(pcm), static_cast<int>(frames),
                                           buffer_.data(), static_cast<int>(buffer_.size()));
    if (n < 0) {
        // Nothing is written for this piece; the next one is encoded as usual.
        ++failedpieces_;
        framesfailed_ += frames;
        lastresult_ = n;
        return;
    }
    framesin_ += frames;
    writeout(static_cast<std::size_t>(n));
}

void MP3writer::finish()
{
    if (finished_)
        return;
    finished_ = true;
    bool ok = true;
    if (encoder_ && file_) {
        const int n = lame_encode_flush(encoder_->flags, buffer_.data(), static_cast<int>(buffer_.size()));
        if (n < 0)
            ok = false;
        else
            writeout(static_cast<std::size_t>(n));
    }
    if (file_) {
        if (encoder_ && ::fsync(file_.get()) != 0)
            ok = false;
        if (file_.reset() != 0)
            ok = false;
    }
    if (!ok)
        throw EMakerError(kWriteError);
}

std::uint64_t MP3writer::framesout() const
{
    if (!encoder_)
        return 0;
    return static_cast<std::uint64_t>(std::max(0, lame_get_frameNum(encoder_->flags))) *
           static_cast<std::uint64_t>(std::max(0, lame_get_framesize(encoder_->flags)));
}

}  // namespace velk
