#pragma once
// TConfig: the one program-wide configuration record, with its 256 channel slots. The main thread
// fills it at start-up, the dialogs change it in place, and it is written back to "config.xml"
// (WDM edition "configds.xml") and "format.dat" when a dialog's Ok is pressed and at shutdown.
//
// Threads: only the main thread reads or changes the record. Worker threads read the published
// RecordingSettings instead (config/recording_settings.h), which the main thread publishes again
// after every change of the fields they act on.

#include <array>
#include <cstdint>
#include <string>

#include "core/wave_format.h"

namespace velk {

constexpr int maxchannels = 256;
constexpr int maxcards = 256;

// Sample rates by index (TConfig::samplerate).
constexpr std::array<int, 7> samplerates = {8000, 11025, 16000, 22050, 32000, 44100, 48000};
// Split intervals in minutes by index (TConfig::interval).
constexpr std::array<int, 8> splitintervals = {1, 5, 15, 20, 30, 60, 120, 180};

struct TChannelConfig {
    std::int32_t card = 0;       // sound-card index in the card table
    std::int32_t chnum = 0;      // mono input index, or stereo pair index when `stereo`
    std::string name;            // unique among channels (without regard to case)
    std::int32_t volume = 32768; // input volume 0..65536
    std::string folder;          // output folder of this channel
    std::int32_t mode = 1;       // 0 voice activated, 1 manual
    std::int32_t voxlevel = 5;   // detect level, 1..100 percent of full scale
    std::int32_t voxtime = 2;    // detect time in seconds, 1..100
    std::int32_t deltime = 1;    // voice-activated recordings shorter than this (s) are deleted
    bool stereo = false;

    bool operator==(const TChannelConfig&) const = default;
};

struct TConfig {
    std::string outfolder;                       // default output folder
    std::string passw;                           // access password; empty = no protection
    std::array<TChannelConfig, maxchannels> channels;
    std::array<std::int32_t, maxcards> cards{};  // selected input mixer line per card
    std::array<std::string, maxcards> cardnames; // name of each card; empty: not known (older files)
    std::int32_t samplerate = 5;                 // index into samplerates
    fWaveFormat format;                          // the WAV target format
    bool status = true;                          // status-log list shown
    std::int32_t num = 1;                        // channels in use, 0..256
    std::int32_t columns = 1;                    // columns of channel panels, 1..4
    bool settpass = false;                       // password for Settings
    bool logspass = false;                       // password for the browsers
    bool exitpass = false;                       // password to exit and to stop a channel
    bool agc = false;                            // automatic gain control
    std::int32_t interval = 4;                   // index into splitintervals
    bool timealign = false;                      // align splits with the time of day
    std::int32_t cleanuptime = 100;              // delete recordings older than this (days); 0 never
    std::int32_t lowspaceminutes = 15;           // warn below this much recording time left; 0 never
    bool autorecording = false;                  // start all channels after start-up
    bool toolbar = true;
    bool stayontop = false;
    std::string namingrule = "%yy%-%mn%-%dd%-%hh%-%nn%-%ss%-%name%";
    std::int32_t pcard = 0;                      // playback device of the browser
    std::int32_t pvolume = -3000;                // playback volume (hundredths of a dB)
    std::int32_t codec = 0;                      // 0 WAV, 1 MP3
    std::int32_t mp3mode = 0;                    // 0 CBR, 1 VBR, 2 ABR
    std::int32_t vbrmax = 0;
    std::int32_t bitrate = 5;
    std::int32_t avgbitrate = 5;
    std::int32_t vbrquality = 5;                 // 0..9
    bool mp3crc = true;
    std::string log_path;                        // daily log files
    std::string velk_path;                       // recording descriptors
    std::string common_path;                     // common folder, with the trailing slash
    std::int32_t overlap = 0;                    // seconds consecutive split files overlap, 0..60
    bool normalize = false;                      // normalise during compression

    bool operator==(const TConfig&) const = default;
};

// The width of a channel panel before the user changes it, in pixels (the layout arithmetic's
// smallest column width too).
constexpr int defaultpanelwidth = 230;

// Program-wide display values stored in the XML file beside TConfig.
struct TDisplaySettings {
    std::int32_t panelwidth = defaultpanelwidth;  // width of a channel panel in pixels
    std::int32_t loglistheight = 100;             // status-log list height, written but never read back
};

// The configuration record of the running recorder, which VelkSystem owns and installs here for
// its lifetime. A forwarding kept for the lower layers' tests, which have no owner; with no
// system installed it is a record of defaults. Main thread only: the program's own code takes the
// record from its owner.
TConfig& config();
// Installs `record` as config() (nullptr: the record of defaults again). Main thread.
void setconfig(TConfig* record);
// The display settings of the running recorder (VelkSystem owns them), forwarded as config() is;
// with no system installed, a set of defaults. Main thread only.
TDisplaySettings& displaysettings();
// Installs `display` as displaysettings() (nullptr: the defaults again). Main thread.
void setdisplaysettings(TDisplaySettings* display);

// Sample rate in Hz of a rate index (index clamped into the table).
int samplerateofindex(int index);
// Split interval in minutes of an interval index (index clamped into the table).
int splitminutesofindex(int index);

}  // namespace velk
