#pragma once
// WAVwriter: turns one channel's stream of captured blocks into a series of recordings. Each
// recording is a PCM WAV file in the channel's folder (named by the user's template) plus a
// recording descriptor below the data folder. The writer splits a running recording at the
// configured interval (optionally aligned to the clock and optionally overlapping the next file),
// deletes voice-activated recordings that turn out too short, and hands every descriptor to the
// main thread, which writes it (and queues finished files for compression).
//
// Threads: the writer has no lock of its own. Its owner serialises every call with the card lock:
// writedata() runs on the card's storage thread; newfile() and closefile() run there (voice
// activation, splits) or on the main thread (manual start and stop). newfile() creates the
// state-1 descriptor itself (exclusively, under its named lock), so no two recordings take one
// name; every later write of a descriptor goes through the main-thread queue, in posting order.
//
// Settings: the writer never reads the live configuration. Each block (writedata()), newfile()
// and closefile() takes one snapshot of the RecordingSettings published in the cell the writer
// was given and uses it throughout
// (split interval, alignment, overlap, names, data folder, final format), so a change made on the
// main thread applies from the next block on and never half-way through one. The channel's
// folder is passed in by the channel with each newfile().
//
// A full disk: a write error (or a split whose new file cannot be opened) finishes the open files
// as far as they got and leaves the writer waiting(): blocks are dropped, and once per second of
// audio (counted in bytes, so the capture path reads no extra clock and allocates nothing while
// the disk stays full) the writer checks the folder's free space and, when there is room, opens
// a new file and logs the length of the gap.
//
// Time: names, the descriptor's start and stop and the alignment use local wall-clock time;
// every span (split interval, overlap, recording length) is elapsed time on the clock's monotonic
// timeline, so a 30-minute file stays 30 minutes long across a daylight-saving change or a step
// of the system clock.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "config/recording_settings.h"
#include "core/date_time.h"
#include "core/errors.h"
#include "core/rec_descriptor.h"
#include "core/wave_format.h"
#include "recfiles/acm_writer.h"

namespace velk {

// Raised by writedata() when a write error cut the recording off and the writer now waits for the
// disk: only this file is over, not the recording. what() is the writer's own message ("Failed to
// write data to file"); detail() is ": " + the system's reason + " (" + free bytes + " bytes free)".
class ERecordingInterrupted : public EMakerError {
public:
    ERecordingInterrupted(const std::string& message, std::string detail)
        : EMakerError(message), detail_(std::move(detail))
    {
    }
    const std::string& detail() const { return detail_; }

private:
    std::string detail_;
};

// What the writer reads of its owner when it closes a recording (in the system: the channel).
// Called on whichever thread closes the recording; implementations read atomics.
class WAVwriterOwner {
public:
    virtual ~WAVwriterOwner() = default;
    virtual std::int32_t ownervoxmode() const = 0;   // 0 voice activated, 1 manual
    virtual std::int32_t ownervoxtimer() const = 0;  // hold time in seconds
    virtual std::int32_t ownerdeltime() const = 0;   // minimum length in seconds; 0 keeps all
};

class WAVwriter {
public:
    // `owner` and `settings` (where the settings are published) must outlive the writer. `fmt`
    // is the recording format (configured rate), `infmt` the capture format (the card's actual
    // rate); both 16-bit PCM with the same channel count.
    WAVwriter(const WAVwriterOwner& owner, const tWAVEFORMATEX& fmt, const tWAVEFORMATEX& infmt,
              const RecordingSettingsCell& settings);
    // The settings of recordingsettings() (main thread; callers without an owner).
    WAVwriter(const WAVwriterOwner& owner, const tWAVEFORMATEX& fmt, const tWAVEFORMATEX& infmt);
    // Finishes an open overlap recording, then the current one; errors go to the status log.
    ~WAVwriter();
    WAVwriter(const WAVwriter&) = delete;
    WAVwriter& operator=(const WAVwriter&) = delete;

    // Starts a recording at instant `time` for channel `name` in `folder`. Does nothing if one
    // is open. A name already taken by a descriptor or by any file the recording could end up as
    // (".wav", ".wave", ".mp3") gets "-2", "-3" ... on both; the WAV and the state-1 descriptor
    // are created exclusively (here, on the calling thread), then the main thread writes it again.
    // Throws EVelkError: folder creation, an audio path too long for the descriptor, or the audio
    // file failing to open (then nothing is left behind and no recording is open).
    void newfile(const std::string& folder, const std::string& name, SystemTime time);
    // Appends `dsize` bytes of capture-format PCM with block level `dmax` (0..32767). Returns
    // `dsize`, or 0 when no recording is open. Splits when the interval is due. A write error ends
    // the open recordings cleanly (header and descriptor finished), makes the writer wait for the
    // disk and is thrown once as ERecordingInterrupted. Allocates nothing except at a split and
    // when a waiting writer opens its next file.
    std::size_t writedata(const std::uint8_t* data, std::size_t dsize, int dmax);
    // Finishes the overlap recording, then the current one. Throws the first error after both
    // were finished as far as possible. Ends a wait for the disk.
    void closefile();

    // After a newfile() that failed because the disk is full (diskfull()): wait for the disk as
    // after a write error. Returns the detail for the error line, as ERecordingInterrupted's.
    std::string waitfordisk(const std::string& folder, const std::string& name);
    // The last failure of newfile() or of a write was a full disk (or a file-size limit).
    bool diskfull() const;

    bool fileopen() const { return fileopen_; }
    // A recording was cut off by the disk and the writer tries to open its next file.
    bool waiting() const { return waiting_; }
    bool overlapopen() const { return overlapopen_; }

    const tWAVEFORMATEX& format() const { return fmt_; }
    const tWAVEFORMATEX& captureformat() const { return infmt_; }

    // True when a finished WAV of this writer already is the final format of `settings`.
    bool nocompression(const RecordingSettings& settings) const;

private:
    using Mono = std::chrono::steady_clock::time_point;

    struct Recording {
        TRecDescriptor descriptor;
        std::string audiopath;
        std::string descriptorpath;
        std::unique_ptr<TACMWriter> audio;
        std::int32_t peak = 0;
        Mono started{};  // monotonic start, for the length of the recording
    };

    // The steps of newfile(), writedata() and closefile() with the snapshot their caller took.
    void newfile(const std::string& folder, const std::string& name, SystemTime time, const RecordingSettings& s);
    void closefile(const RecordingSettings& s);
    void closeoverlap(const RecordingSettings& s);
    // Closes the audio file and posts or deletes the descriptor. Throws the audio close error
    // after the descriptor was dealt with.
    void finish(Recording& rec, bool maydelete, const RecordingSettings& s);
    // Ends both recordings after a write error, swallowing further errors.
    void abandonall(const RecordingSettings& s) noexcept;
    // Finishes what is open and starts waiting for the disk; returns the error line's detail.
    std::string startwaiting(int error, const RecordingSettings& s);
    // A waiting writer's attempt to open its next file, at most once per second of audio.
    bool tryresume(std::size_t dsize, const RecordingSettings& s);
    void postdescriptor(Recording& rec, const RecordingSettings& s);

    const WAVwriterOwner& owner_;
    const RecordingSettingsCell& settings_;
    tWAVEFORMATEX fmt_;
    tWAVEFORMATEX infmt_;
    std::string name_;
    std::string folder_;
    Recording current_;
    Recording overlap_;
    bool fileopen_ = false;
    bool overlapopen_ = false;
    Mono splitref_{};
    Mono overlapstart_{};

    bool waiting_ = false;
    Mono gapstart_{};            // when the disk cut the recording off
    std::uint64_t waitbytes_ = 0;  // capture bytes dropped since the last attempt
    int lasterror_ = 0;          // errno of the last failed open or write, 0 if unknown
};

// Split interval in minutes and alignment step in minutes of an interval index (0..7).
int splitalignminutes(int interval);

// The instant `time` moved back to the start of its local alignment step of `step` minutes
// (minute-of-hour mod step, seconds and milliseconds removed).
SystemTime alignedtime(SystemTime time, int step);

}  // namespace velk
