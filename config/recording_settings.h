#pragma once
// RecordingSettings: the part of the configuration that worker threads act on, as one immutable
// value. The main thread builds it from the configuration record and publishes it in a
// RecordingSettingsCell; the recording writer takes one snapshot per block (and per newfile() or
// closefile()), the converter one per task, the cleanup thread one per pass. Workers never read
// the live record: a change reaches them when it is published, never half-way through a block, a
// task or a pass.
//
// The running recorder's cell is a member of VelkSystem, which hands it to the channels, the
// compression and the cleanup as it creates them (each keeps a reference; the system outlives
// them). recordingsettings() forwards to it while the system is installed, for the main-thread
// callers without an owner (the dialogs' publication, the lower layers' tests).
//
// Threads:
//   main thread   publication: after the record was loaded and after every change of one of the
//                 fields below (the same call in tests that change them)
//   any thread    read() on a cell handed over (lock-free, allocates nothing; see SnapshotCell)

#include <cstdint>
#include <string>

#include "config/config.h"
#include "core/snapshot_cell.h"
#include "core/wave_format.h"

namespace velk {

struct RecordingSettings {
    // Splitting (the recording writer).
    std::int32_t interval = 4;  // index into splitintervals
    bool timealign = false;
    std::int32_t overlap = 0;   // seconds
    // The final format (written into each descriptor; tells whether a file needs compression).
    std::int32_t codec = 0;     // 0 WAV, 1 MP3
    fWaveFormat format;
    std::int32_t mp3mode = 0;
    std::int32_t vbrmax = 0;
    std::int32_t bitrate = 5;
    std::int32_t avgbitrate = 5;
    std::int32_t vbrquality = 5;
    bool mp3crc = true;
    bool normalize = false;
    std::int32_t samplerate = 5;  // index into samplerates (the MP3 encoder's configured rate)
    // Names and folders.
    std::string namingrule;       // template of the audio file names
    std::string velk_path;        // data folder of the descriptors
    // The cleanup.
    std::int32_t cleanuptime = 100;  // days; 0 never

    // The fields of `c`.
    static RecordingSettings of(const TConfig& c);

    bool operator==(const RecordingSettings&) const = default;
};

using RecordingSettingsCell = SnapshotCell<RecordingSettings>;

// The installed system's cell, or else a process default; before the first publication it holds
// the settings of a default configuration record. Main thread: a worker reads only the cell it
// was handed.
RecordingSettingsCell& recordingsettings();
// Installs `cell` as recordingsettings() (nullptr: the process default again). Main thread.
void setrecordingsettings(RecordingSettingsCell* cell);

// Publishes the settings of the configuration record `c` in recordingsettings(). Main thread.
void publishrecordingsettings(const TConfig& c);
// The same for config() (the callers without an owner).
void publishrecordingsettings();

}  // namespace velk
