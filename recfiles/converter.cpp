#include "recfiles/converter.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <exception>

#include "config/config.h"
#include "config/recording_settings.h"
#include "services/status_log.h"
#include "core/byte_order.h"
#include "core/errors.h"
#include "core/main_thread_queue.h"
#include "core/user_notifier.h"
#include "recfiles/acm_writer.h"
#include "recfiles/descriptor_files.h"
#include "recfiles/mp3_writer.h"
#include "recfiles/output_names.h"
#include "recfiles/wavein.h"
#include "platform/paths.h"

namespace velk {

namespace {

// Flushes a finished file's data to the disk (through a descriptor of its own; the writer has
// closed it). Returns 0 or an errno value.
int syncfile(const std::string& path, int flags = O_RDONLY)
{
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int rc = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return rc;
}

std::uint64_t filesize(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

}  // namespace

float normalizegain(std::int32_t peak)
{
    return peak > 0 ? 32767.0f / static_cast<float>(peak) : 1.0f;
}

void applygain(std::uint8_t* data, std::size_t bytes, float gain)
{
    for (std::size_t i = 0; i + 1 < bytes; i += 2) {
        float x = static_cast<float>(static_cast<std::int16_t>(le::get16(data + i))) * gain;
        if (x > 32767.0f)
            x = 32767.0f;
        if (x < -32768.0f)
            x = -32768.0f;
        // The default rounding mode rounds halves to even.
        le::put16(data + i, static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lrint(x))));
    }
}

std::size_t downmix(std::uint8_t* data, std::size_t bytes)
{
    const std::size_t frames = bytes / 4;
    for (std::size_t f = 0; f < frames; ++f) {
        const int l = static_cast<std::int16_t>(le::get16(data + 4 * f));
        const int r = static_cast<std::int16_t>(le::get16(data + 4 * f + 2));
        le::put16(data + 2 * f, static_cast<std::uint16_t>(static_cast<std::int16_t>(l / 2 + r / 2)));
    }
    return frames * 2;
}

std::size_t duplicate(std::uint8_t* data, std::size_t bytes)
{
    const std::size_t samples = bytes / 2;
    for (std::size_t i = samples; i-- > 0;) {
        std::uint8_t s[2] = {data[2 * i], data[2 * i + 1]};
        std::memcpy(data + 4 * i, s, 2);
        std::memcpy(data + 4 * i + 2, s, 2);
    }
    return samples * 4;
}

TConverter::TConverter(OwnFolders folders, const RecordingSettingsCell& settings, bool encodererrorbox)
    : buffer_(2 * blocksize), encodererrorbox_(encodererrorbox), folders_(std::move(folders)), settings_(settings)
{
}

TConverter::TConverter(bool encodererrorbox)
    : TConverter(OwnFolders::of(config()), recordingsettings(), encodererrorbox)
{
}

TConverter::~TConverter() = default;

template <class Take>
bool TConverter::pumpblocks(Take&& take)
{
    std::size_t count = 1;
    while (count > 0 && !abort_.load()) {
        count = reader_->readdata(buffer_.data(), blocksize);
        yield();
        if (count > 0) {
            try {
                take(count);
            } catch (const std::exception& e) {
                // Nothing more can reach the output; the recording stays as it is.
                error_ = e.what();
                return false;
            }
        }
        if (blockhook)
            blockhook();
        yield();
    }
    return true;
}

void TConverter::yield()
{
    // Gives the time slice away, so conversions never compete with capture.
    ::sched_yield();
    ::sched_yield();
}

bool TConverter::convert(const std::string& path)
{
    path_ = path;
    {
        // The settings of this task: a change made while it runs applies to the next one.
        const auto settings = settings_.read();
        normalize_ = settings->normalize;
        samplerate_ = settings->samplerate;
    }
    error_.clear();
    output_ = path;
    temp_.clear();
    createdoutput_.clear();
    reader_.reset();
    bool read = false;
    try {
        std::string why;
        // A missing file is left to the reader, which says so in its own words.
        if (!folders_.allows(OwnFolders::Kind::descriptor, path, why, true)) {
            error_ = "Skipped " + why;
            return false;
        }
        descriptor_ = TRecDescriptor{};
        if (!readdescriptor(path, descriptor_)) {
            error_ = "Can not read VELK file";
            return false;
        }
        read = true;
        const std::string audio = descriptor_.getpath();
        output_ = audio;
        addlog("Compression started for: " + stemof(audio));
        gain_ = normalizegain(descriptor_.peak);
        if (!validdescriptor(descriptor_)) {
            error_ = "Converter: invalid VELK data";
            return false;
        }
        const bool ok = descriptor_.codec == 0 ? towav() : tomp3();
        reader_.reset();
        if (!ok) {
            discardoutput();
            descriptor_.state = DESC_FAILED;
            writedescriptor(path, descriptor_);
            return false;
        }
        return commit(audio);
    } catch (const std::exception& e) {
        // Anything the steps above do not handle fails this task; the queue goes on.
        reader_.reset();
        error_ = e.what();
        discardoutput();
        if (read && validdescriptor(descriptor_)) {
            descriptor_.state = DESC_FAILED;
            writedescriptor(path, descriptor_);
        }
        return false;
    }
}

bool TConverter::commit(const std::string& audio)
{
    // The descriptor names the final file before the recording goes: a crash in between leaves
    // an extra file, never a descriptor pointing at a deleted one. A descriptor that cannot be
    // written keeps the recording as it is.
    TRecDescriptor done = descriptor_;
    done.state = DESC_FINAL;
    done.setpath(output_);
    std::string why;
    if (!writedescriptor(path_, done, &why)) {
        error_ = why;
        return fail(audio);
    }
    if (!temp_.empty()) {
        // One step replaces the recording with the converted file: a crash sees one or the other
        // (with the PCM recording in place the descriptor's "final" file still plays).
        if (::rename(temp_.c_str(), audio.c_str()) != 0) {
            error_ = systemerrortext(errno);
            return fail(audio);
        }
        temp_.clear();
        syncfile(folderof(audio), O_RDONLY | O_DIRECTORY);
    } else if (output_ != audio) {
        createdoutput_.clear();
        if (std::string gone; !folders_.remove(OwnFolders::Kind::recording, audio, gone))
            addlog("Could not delete " + gone);
    }
    return true;
}

bool TConverter::fail(const std::string& audio)
{
    discardoutput();
    descriptor_.state = DESC_FAILED;
    descriptor_.setpath(audio);
    writedescriptor(path_, descriptor_);
    return false;
}

void TConverter::discardoutput()
{
    // Only what this conversion created itself goes: the temporary ".wave" or the new MP3.
    if (!temp_.empty()) {
        ::unlink(temp_.c_str());
        temp_.clear();
    }
    if (!createdoutput_.empty()) {
        ::unlink(createdoutput_.c_str());
        createdoutput_.clear();
    }
}

bool TConverter::openreader(const std::string& source)
{
    if (std::string why; !folders_.allows(OwnFolders::Kind::recording, source, why, true)) {
        error_ = "Skipped " + why;
        return false;
    }
    reader_ = std::make_unique<TWavein>(source);
    if (!reader_->ok()) {
        error_ = reader_->error();
        return false;
    }
    sourceformat_ = reader_->getformat();
    return true;
}

bool TConverter::towav()
{
    const std::string source = descriptor_.getpath();
    if (!openreader(source))
        return false;
    output_ = source;
    bool down = false;
    bool dup = false;
    const std::uint16_t targetchannels = descriptor_.format.fx.nChannels;
    if (targetchannels < sourceformat_.nChannels && sourceformat_.nChannels == 2) {
        sourceformat_ = pcmformat(sourceformat_.nSamplesPerSec, 1, 16);
        down = true;
    } else if (targetchannels > sourceformat_.nChannels && sourceformat_.nChannels == 1) {
        sourceformat_ = pcmformat(sourceformat_.nSamplesPerSec, 2, 16);
        dup = true;
    }

    // The temporary file takes a free name beside the recording (one left by an earlier attempt
    // is not replaced).
    std::unique_ptr<TACMWriter> writer;
    const std::string tempbase = withextension(source, "");
    for (int n = 1;; ++n) {
        if (n > outputnamelimit) {
            error_ = "No free file name for: " + tempbase + ".wave";
            return false;
        }
        const std::string candidate = numberedname(tempbase, n) + ".wave";
        writer = std::make_unique<TACMWriter>(sourceformat_, descriptor_.format);
        try {
            writer->open(candidate);
            temp_ = candidate;
            break;
        } catch (const EOutputNameTaken&) {
            continue;
        } catch (const std::exception& e) {
            error_ = e.what();
            return false;
        }
    }

    std::uint64_t fed = 0;
    bool failed = !pumpblocks([&](std::size_t count) {
        if (down)
            count = downmix(buffer_.data(), count);
        if (normalize_)
            applygain(buffer_.data(), count, gain_);
        if (dup)
            count = duplicate(buffer_.data(), count);
        writer->write(buffer_.data(), count);
        fed += count;
    });
    try {
        writer->close();
    } catch (const std::exception& e) {
        if (!failed)
            error_ = e.what();
        failed = true;
    }
    const std::uint32_t frames = writer->framecount();
    writer.reset();
    reader_.reset();
    if (failed || abort_.load())
        return false;

    // Every source frame must have reached the file before the recording is replaced.
    if (frames != fed / sourceformat_.nBlockAlign) {
        error_ = "Converted file is incomplete";
        return false;
    }
    if (const int rc = syncfile(temp_)) {
        error_ = systemerrortext(rc);
        return false;
    }
    return true;
}

bool TConverter::tomp3()
{
    const std::string source = descriptor_.getpath();
    if (!openreader(source))
        return false;
    MP3Settings settings;
    settings.mp3mode = descriptor_.mp3mode;
    settings.vbrmax = descriptor_.vbrmax;
    settings.bitrate = descriptor_.bitrate;
    settings.avgbitrate = descriptor_.avgbitrate;
    settings.vbrquality = descriptor_.vbrquality;
    settings.mp3crc = descriptor_.mp3crc != 0;
    // The MP3 takes a free name: that of an earlier recording with the same name (whose WAV is
    // gone after its own conversion) is never replaced.
    std::unique_ptr<MP3writer> writer;
    const std::string base = withextension(source, "");
    for (int n = 1; !writer; ++n) {
        if (n > outputnamelimit) {
            error_ = "No free file name for: " + base + ".mp3";
            return false;
        }
        output_ = numberedname(base, n) + ".mp3";
        try {
            writer = std::make_unique<MP3writer>(output_, settings, samplerateofindex(samplerate_),
                                                 descriptor_.samplerate, sourceformat_.nChannels);
        } catch (const EOutputNameTaken&) {
            continue;
        } catch (const std::exception& e) {
            error_ = e.what();
            return false;
        }
    }
    createdoutput_ = output_;
    if (!writer->ready()) {
        if (encodererrorbox_)
            mainqueue().postcall([] { usernotifier().error("MP3 Encoder Error", "Error opening encoding stream"); });
        error_ = "Can not initialize MP3 encoder";
        return false;
    }

    if (mp3hook)
        mp3hook(*writer);
    std::uint64_t fed = 0;
    bool failed = !pumpblocks([&](std::size_t count) {
        if (normalize_)
            applygain(buffer_.data(), count, gain_);
        writer->encode(buffer_.data(), count);
        fed += count;
    });
    if (!failed && !abort_.load()) {
        try {
            writer->finish();
        } catch (const std::exception& e) {
            error_ = e.what();
            failed = true;
        }
    }
    const std::uint64_t framesin = writer->framesin();
    const std::uint64_t framesout = writer->framesout();
    const std::uint64_t written = writer->byteswritten();
    const std::uint64_t failedpieces = writer->failedpieces();
    const std::uint64_t framesfailed = writer->framesfailed();
    const int lastresult = writer->lastresult();
    writer.reset();
    reader_.reset();
    if (failed || abort_.load())
        return false;
    // A complete MP3: every source frame was encoded (or its piece failed in the encoder), the MP3
    // frames cover them, and the file holds every byte the encoder produced.
    const std::uint64_t sourceframes = fed / sourceformat_.nBlockAlign;
    if (framesin + framesfailed != sourceframes || framesout < framesin || filesize(output_) != written) {
        error_ = "Converted file is incomplete";
        return false;
    }
    if (failedpieces > 0) {
        // Those pieces are missing from the MP3; the rest of the recording is kept.
        addlog("MP3 encoder failed on " + std::to_string(failedpieces) + " pieces (" +
               std::to_string(framesfailed * 1000 / std::max<std::uint32_t>(1, sourceformat_.nSamplesPerSec)) +
               " ms of audio) of: " + stemof(source) + ", encoder result " + std::to_string(lastresult));
    }
    return true;
}

}  // namespace velk
