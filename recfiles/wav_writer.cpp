#include "recfiles/wav_writer.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <exception>
#include <utility>

#include "config/config.h"
#include "config/recording_settings.h"
#include "config/file_name_template.h"
#include "services/status_log.h"
#include "core/clock.h"
#include "core/errors.h"
#include "core/main_thread_queue.h"
#include "platform/data_folders.h"
#include "platform/paths.h"
#include "recfiles/descriptor_files.h"
#include "recfiles/output_names.h"

namespace velk {

namespace {

using Mono = std::chrono::steady_clock::time_point;

// Audio a recording's file receives per write, after its first second.
constexpr std::uint32_t gathermilliseconds = 500;

// Whole seconds between two points of the monotonic timeline: the absolute millisecond
// difference divided by 1000, truncated.
std::int64_t wholeseconds(Mono a, Mono b)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count();
    return (ms < 0 ? -ms : ms) / 1000;
}

void makefolders(const std::string& folder, int& error)
{
    if (folder.empty())
        return;
    errno = 0;
    if (forcefolders(folder))
        return;
    // forcefolders leaves errno alone when a file stands where a folder should be.
    const int err = errno != 0 ? errno : ENOTDIR;
    error = err;
    throw EVelkError("Could not create directory structure: " + folder + "\r\n" + systemerrortext(err));
}

// Bytes an unprivileged writer may still use on the file system of `folder`; -1 when unknown.
std::int64_t freebytes(const std::string& folder)
{
    struct statvfs st {};
    if (folder.empty() || ::statvfs(folder.c_str(), &st) != 0)
        return -1;
    return static_cast<std::int64_t>(st.f_bavail) * static_cast<std::int64_t>(st.f_frsize);
}

// ": No space left on device (0 bytes free)"
std::string diskdetail(int error, std::int64_t free)
{
    std::string detail;
    if (error != 0)
        detail = ": " + systemerrortext(error);
    if (free >= 0)
        detail += " (" + std::to_string(free) + " bytes free)";
    return detail;
}

}  // namespace

int splitalignminutes(int interval)
{
    static constexpr std::array<int, 8> steps = {1, 5, 15, 20, 30, 60, 60, 30};
    if (interval < 0)
        interval = 0;
    if (interval >= static_cast<int>(steps.size()))
        interval = static_cast<int>(steps.size()) - 1;
    return steps[static_cast<std::size_t>(interval)];
}

SystemTime alignedtime(SystemTime time, int step)
{
    using namespace std::chrono;
    // Whole seconds first, so the fraction is removed exactly; the local minute and second are
    // those of the time zone at that instant.
    const SystemTime whole = floor<seconds>(time);
    const CalendarTime local = tolocalcalendar(whole);
    const int minutesback = step > 0 ? local.minute % step : 0;
    return whole - minutes(minutesback) - seconds(local.second);
}

WAVwriter::WAVwriter(const WAVwriterOwner& owner, const tWAVEFORMATEX& fmt, const tWAVEFORMATEX& infmt,
                     const RecordingSettingsCell& settings)
    : owner_(owner), settings_(settings), fmt_(fmt), infmt_(infmt)
{
}

WAVwriter::WAVwriter(const WAVwriterOwner& owner, const tWAVEFORMATEX& fmt, const tWAVEFORMATEX& infmt)
    : WAVwriter(owner, fmt, infmt, recordingsettings())
{
}

WAVwriter::~WAVwriter()
{
    try {
        closefile();
    } catch (const std::exception& e) {
        try {
            addlog("Error: " + std::string(e.what()) + " " + name_);
        } catch (...) {
        }
    }
}

bool WAVwriter::nocompression(const RecordingSettings& c) const
{
    const tWAVEFORMATEX& f = c.format.fx;
    return c.codec == 0 && f.wFormatTag == WAVE_FORMAT_PCM && f.nSamplesPerSec == fmt_.nSamplesPerSec &&
           f.nChannels == fmt_.nChannels && f.wBitsPerSample == 16 && !c.normalize;
}

void WAVwriter::newfile(const std::string& folder, const std::string& name, SystemTime time)
{
    const auto settings = settings_.read();
    newfile(folder, name, time, *settings);
}

void WAVwriter::newfile(const std::string& folder, const std::string& name, SystemTime time,
                        const RecordingSettings& c)
{
    if (fileopen_)
        return;
    name_ = name;
    folder_ = folder;
    lasterror_ = 0;

    const TDateTime local = tolocaldatetime(time);
    const std::string audiobase = templatepath(folder_, makefilename(name_, c.namingrule, local));
    const std::string descriptorbase = templatepath(c.velk_path, makefilename(name_, descriptortemplate, local));

    // A cut path would point at some other file.
    if (!TRecDescriptor::pathfits(audiobase + ".wav"))
        throw EVelkError("Recording path is longer than 260 characters: " + audiobase + ".wav");
    makefolders(folderof(audiobase), lasterror_);
    makefolders(folderof(descriptorbase), lasterror_);

    Recording rec;
    TRecDescriptor& d = rec.descriptor;
    d.version = 2;
    d.start = local;
    d.stop = local;
    d.peak = 0;
    d.state = DESC_RECORDING;
    d.codec = c.codec;
    d.setname(name_);
    d.samplerate = static_cast<std::int32_t>(fmt_.nSamplesPerSec);
    d.format = c.format;
    d.mp3mode = c.mp3mode;
    d.vbrmax = c.vbrmax;
    d.bitrate = c.bitrate;
    d.avgbitrate = c.avgbitrate;
    d.vbrquality = c.vbrquality;
    d.mp3crc = c.mp3crc ? 1 : 0;
    d.reserved = 0;

    // The same name comes back when a channel restarts within a second, when the template has
    // no seconds, and for a whole hour when the clocks go back: never write over a recording.
    // A name counts as taken when the recording could end up in any of its files (after an MP3
    // conversion only the ".mp3" is left). The WAV and then the state-1 descriptor are created
    // exclusively, so a name taken in between (another channel of the same name starting in the
    // same second, whose descriptor is not written yet) moves on to the next number as well.
    for (int n = 1;; ++n) {
        if (n > outputnamelimit)
            throw EVelkError("No free file name for: " + audiobase + ".wav");
        const std::string audio = numberedname(audiobase, n);
        rec.audiopath = audio + ".wav";
        rec.descriptorpath = numberedname(descriptorbase, n) + ".velk";
        if (recordingnametaken(audio) || pathtaken(rec.descriptorpath))
            continue;
        if (!TRecDescriptor::pathfits(rec.audiopath))
            throw EVelkError("Recording path is longer than 260 characters: " + rec.audiopath);
        rec.audio = std::make_unique<TACMWriter>(infmt_, fWaveFormat{fmt_, {}});
        // After its first second, half a second per write, each with the header brought up to
        // date: a crash loses at most the half second not yet written, and the capture path makes
        // far fewer system calls.
        rec.audio->setgather(gathermilliseconds);
        try {
            rec.audio->open(rec.audiopath);
        } catch (const EOutputNameTaken&) {
            continue;
        } catch (...) {
            // Nothing is left behind for a recording that never ran (the writer removes a file it
            // could not finish creating), and no descriptor was written for it.
            lasterror_ = rec.audio->lasterror();
            addlog("New file: " + stemof(rec.audiopath));
            throw;
        }
        d.setpath(rec.audiopath);
        // Any other failure is left to the main thread's write, which logs it; the audio goes on.
        if (createdescriptor(rec.descriptorpath, d) == EEXIST) {
            rec.audio.reset();
            ::unlink(rec.audiopath.c_str());
            continue;
        }
        break;
    }

    try {
        // The main thread writes the state-1 descriptor again, in order with the later writes.
        mainqueue().post(SaveDescriptorMessage{d, rec.descriptorpath});
    } catch (...) {
        // Without its descriptor the new file would be nobody's: both go again.
        rec.audio.reset();
        ::unlink(rec.audiopath.c_str());
        ::unlink(rec.descriptorpath.c_str());
        throw;
    }
    addlog("New file: " + stemof(rec.audiopath));

    const Mono mono = appclock().monotonic();
    const SystemTime wall = appclock().now();
    rec.started = mono - std::chrono::duration_cast<Mono::duration>(wall - time);
    const SystemTime reference = c.timealign ? alignedtime(time, splitalignminutes(c.interval)) : time;
    splitref_ = mono - std::chrono::duration_cast<Mono::duration>(wall - reference);

    current_ = std::move(rec);
    fileopen_ = true;
    waiting_ = false;
}

std::size_t WAVwriter::writedata(const std::uint8_t* data, std::size_t dsize, int dmax)
{
    // One snapshot for the whole block: lock-free and without allocating.
    const auto settings = settings_.read();
    const RecordingSettings& c = *settings;
    if (!fileopen_ && !(waiting_ && tryresume(dsize, c)))
        return 0;
    if (dmax > current_.peak)
        current_.peak = dmax;

    const Mono now = appclock().monotonic();
    if (wholeseconds(splitref_, now) >= std::int64_t{splitminutesofindex(c.interval)} * 60) {
        if (c.overlap <= 0) {
            closefile(c);
        } else {
            if (overlapopen_)
                closeoverlap(c);
            // The current recording becomes the overlap recording; its file stays open. Swapping
            // moves handles and strings without allocating.
            std::swap(overlap_, current_);
            overlapstart_ = now;
            overlapopen_ = true;
            fileopen_ = false;
        }
        try {
            newfile(folder_, name_, appclock().now(), c);
        } catch (const std::exception& e) {
            std::string message = e.what();
            throw ERecordingInterrupted(std::move(message), startwaiting(lasterror_, c));
        }
    }

    if (overlapopen_) {
        if (wholeseconds(overlapstart_, now) < c.overlap) {
            if (dmax > overlap_.peak)
                overlap_.peak = dmax;
            try {
                overlap_.audio->write(data, dsize);
            } catch (const std::exception& e) {
                std::string message = e.what();
                throw ERecordingInterrupted(std::move(message), startwaiting(overlap_.audio->lasterror(), c));
            }
        } else {
            closeoverlap(c);
        }
    }

    try {
        current_.audio->write(data, dsize);
    } catch (const std::exception& e) {
        std::string message = e.what();
        throw ERecordingInterrupted(std::move(message), startwaiting(current_.audio->lasterror(), c));
    }
    return dsize;
}

std::string WAVwriter::startwaiting(int error, const RecordingSettings& s)
{
    lasterror_ = error;
    abandonall(s);
    waiting_ = true;
    gapstart_ = appclock().monotonic();
    waitbytes_ = 0;
    return diskdetail(error, freebytes(folder_));
}

bool WAVwriter::tryresume(std::size_t dsize, const RecordingSettings& s)
{
    waitbytes_ += dsize;
    if (waitbytes_ < std::max<std::uint64_t>(1, infmt_.nAvgBytesPerSec))
        return false;
    waitbytes_ = 0;
    // No file is tried while the disk cannot take its header and a few seconds of audio.
    const std::int64_t free = freebytes(folder_);
    if (free >= 0 && free < 65536 + 2 * std::int64_t{fmt_.nAvgBytesPerSec})
        return false;
    try {
        newfile(folder_, name_, appclock().now(), s);
    } catch (const std::exception&) {
        return false;  // reported when the wait began; tried again a second later
    }
    addlog("Recording resumed after a gap of " + std::to_string(wholeseconds(gapstart_, appclock().monotonic())) +
           " s: " + name_);
    return true;
}

std::string WAVwriter::waitfordisk(const std::string& folder, const std::string& name)
{
    folder_ = folder;
    name_ = name;
    const auto settings = settings_.read();
    return startwaiting(lasterror_, *settings);
}

bool WAVwriter::diskfull() const
{
    return lasterror_ == ENOSPC || lasterror_ == EDQUOT || lasterror_ == EFBIG;
}

void WAVwriter::closefile()
{
    const auto settings = settings_.read();
    closefile(*settings);
}

void WAVwriter::closefile(const RecordingSettings& s)
{
    if (waiting_) {
        waiting_ = false;
        addlog("Recording ended after a gap of " + std::to_string(wholeseconds(gapstart_, appclock().monotonic())) +
               " s: " + name_);
    }
    std::exception_ptr first;
    try {
        closeoverlap(s);
    } catch (...) {
        first = std::current_exception();
    }
    if (fileopen_) {
        fileopen_ = false;
        try {
            finish(current_, true, s);
        } catch (...) {
            if (!first)
                first = std::current_exception();
        }
    }
    if (first)
        std::rethrow_exception(first);
}

void WAVwriter::closeoverlap(const RecordingSettings& s)
{
    if (!overlapopen_)
        return;
    overlapopen_ = false;
    // A file ended by the overlap is never deleted as too short.
    finish(overlap_, false, s);
}

void WAVwriter::finish(Recording& rec, bool maydelete, const RecordingSettings& s)
{
    std::string closeerror;
    try {
        rec.audio->close();
    } catch (const std::exception& e) {
        closeerror = e.what();
    }
    rec.audio.reset();

    const Mono mono = appclock().monotonic();
    TRecDescriptor& d = rec.descriptor;
    d.stop = appclock().nowlocal();
    d.peak = rec.peak;
    d.state = DESC_WAITING;
    d.reserved = 0;

    const std::int64_t length = wholeseconds(rec.started, mono);
    const std::int32_t deltime = owner_.ownerdeltime();
    if (maydelete && owner_.ownervoxmode() == 0 && deltime > 0 && length - owner_.ownervoxtimer() <= deltime) {
        // Too short: the audio file goes at once; the descriptor goes through the main-thread
        // queue, behind the state-1 write of the same file that may still be waiting there.
        ::unlink(rec.audiopath.c_str());
        mainqueue().postcall([path = std::move(rec.descriptorpath)] { deletedescriptor(path); });
    } else {
        postdescriptor(rec, s);
    }
    if (!closeerror.empty())
        throw EMakerError(closeerror);
}

void WAVwriter::postdescriptor(Recording& rec, const RecordingSettings& s)
{
    if (nocompression(s)) {
        rec.descriptor.state = DESC_FINAL;
        mainqueue().post(SaveDescriptorMessage{rec.descriptor, std::move(rec.descriptorpath)});
    } else {
        mainqueue().post(FileCompleteMessage{rec.descriptor, std::move(rec.descriptorpath)});
    }
}

void WAVwriter::abandonall(const RecordingSettings& s) noexcept
{
    try {
        closeoverlap(s);
    } catch (...) {
    }
    if (fileopen_) {
        fileopen_ = false;
        try {
            finish(current_, true, s);
        } catch (...) {
        }
    }
}

}  // namespace velk
