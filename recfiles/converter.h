#pragma once
// TConverter: one compression at a time. It reads a recording's descriptor, converts the recorded
// 16-bit PCM WAV to the descriptor's final format (a codec WAV through TACMWriter, or MP3 through
// MP3writer), optionally normalising the level on the way, and rewrites the descriptor in state 3
// (final) or 4 (failed). The recorded WAV is replaced or deleted only once the output has been
// written completely, flushed to the disk and closed, and the final descriptor names it: a full
// disk, a write error, a descriptor that cannot be written or a crash never costs the recording.
// Outputs (the temporary ".wave", the MP3) take a free name and never replace an existing file.
//
// Only descriptors inside the data folder and recordings inside the output folders are touched
// (OwnFolders); any other task is skipped, its error naming the path.
//
// Threads:
//   compression thread  convert(), error(), output()
//   main thread         constructor
//   any thread          cancel(), aborted()

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/recording_settings.h"
#include "core/rec_descriptor.h"
#include "core/wave_format.h"
#include "recfiles/own_folders.h"

namespace velk {

class TWavein;
class MP3writer;

// The normalisation gain of a recording whose loudest block had level `peak` (0..32767):
// 32767 / peak in single precision, 1.0 for silence.
float normalizegain(std::int32_t peak);
// Multiplies every 16-bit sample of `data` by `gain`, clamps to the 16-bit range and rounds to the
// nearest integer, halves to even.
void applygain(std::uint8_t* data, std::size_t bytes, float gain);
// Stereo to mono in place: each frame L, R becomes (L div 2) + (R div 2), divisions truncating.
// Returns the new byte count (half of the whole frames' bytes).
std::size_t downmix(std::uint8_t* data, std::size_t bytes);
// Mono to stereo in place: each sample s becomes s, s. `data` must hold 2 x `bytes`. Returns the
// new byte count.
std::size_t duplicate(std::uint8_t* data, std::size_t bytes);

class TConverter {
public:
    static constexpr std::size_t blocksize = 8192;  // bytes read from the WAV per step

    // `encodererrorbox`: also show "Error opening encoding stream" in a message box (through the
    // main thread, without waiting) when the MP3 encoder cannot start; headless it is left out.
    // `folders`: what the tasks may read, rewrite and remove; `settings` (not owned, must outlive
    // the converter): where the settings each task takes are published.
    TConverter(OwnFolders folders, const RecordingSettingsCell& settings, bool encodererrorbox = false);
    // The folders of config() and recordingsettings() (main thread; callers without an owner).
    explicit TConverter(bool encodererrorbox = false);
    ~TConverter();
    TConverter(const TConverter&) = delete;
    TConverter& operator=(const TConverter&) = delete;

    // Converts the recording whose descriptor file is `path`. Returns true on success; error()
    // then is empty. An unreadable or invalid descriptor is left as it is; every other failure
    // leaves state 4 and the recorded WAV untouched.
    bool convert(const std::string& path);
    // The last error text, and the file the conversion is about: the output once it is known,
    // before that the recording (or, with an unreadable descriptor, the descriptor file).
    const std::string& error() const { return error_; }
    const std::string& output() const { return output_; }

    // Stops a running conversion at its next block; it then fails as aborted. Final: the converter
    // is cancelled once, when the processor is freed.
    void cancel() { abort_.store(true); }
    bool aborted() const { return abort_.load(); }

    // Called on the compression thread after each block was handed to the writer (tests use it to
    // act in the middle of a conversion).
    std::function<void()> blockhook;
    // Called on the compression thread with each MP3 writer before the first block (tests use it
    // to make pieces fail in the encoder).
    std::function<void(MP3writer&)> mp3hook;

private:
    // Opens the recorded WAV `source` and takes its format; false (error_ set) when it cannot.
    bool openreader(const std::string& source);
    // Write the output (towav: into temp_, tomp3: into output_); false (error_ set) on failure.
    bool towav();
    bool tomp3();
    // After a good conversion: writes the final descriptor, then puts the output in place of the
    // recording `audio`. False (error_ set, state 4, recording kept) when either step fails.
    bool commit(const std::string& audio);
    bool fail(const std::string& audio);
    // Removes the files this conversion created and did not put in place.
    void discardoutput();
    // Reads the recording block by block into buffer_ and hands each block's byte count to
    // `take` (which may throw), until the end or an abort; false (error_ set) when `take` threw.
    template <class Take>
    bool pumpblocks(Take&& take);
    void yield();

    std::vector<std::uint8_t> buffer_;  // 2 x blocksize: duplication doubles a block in place
    TRecDescriptor descriptor_;
    std::string path_;
    float gain_ = 1.0f;
    // Taken from the published settings at the start of each task.
    bool normalize_ = false;
    int samplerate_ = 5;  // index of the configured rate (the MP3 encoder's)
    std::unique_ptr<TWavein> reader_;
    tWAVEFORMATEX sourceformat_;
    std::string output_;
    std::string error_;
    std::string temp_;           // codec WAV: the converted file until it replaces the recording
    std::string createdoutput_;  // MP3: the file this conversion created
    bool encodererrorbox_ = false;
    std::atomic<bool> abort_{false};
    // The folders conversions may act in: a copy of the configuration's taken by the constructor.
    const OwnFolders folders_;
    const RecordingSettingsCell& settings_;
};

}  // namespace velk
