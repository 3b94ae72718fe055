#include "config/recording_settings.h"

#include <atomic>

namespace velk {

RecordingSettings RecordingSettings::of(const TConfig& c)
{
    RecordingSettings s;
    s.interval = c.interval;
    s.timealign = c.timealign;
    s.overlap = c.overlap;
    s.codec = c.codec;
    s.format = c.format;
    s.mp3mode = c.mp3mode;
    s.vbrmax = c.vbrmax;
    s.bitrate = c.bitrate;
    s.avgbitrate = c.avgbitrate;
    s.vbrquality = c.vbrquality;
    s.mp3crc = c.mp3crc;
    s.normalize = c.normalize;
    s.samplerate = c.samplerate;
    s.namingrule = c.namingrule;
    s.velk_path = c.velk_path;
    s.cleanuptime = c.cleanuptime;
    return s;
}

namespace {

RecordingSettingsCell& defaultcell()
{
    static RecordingSettingsCell cell(RecordingSettings::of(TConfig{}));
    return cell;
}

std::atomic<RecordingSettingsCell*> installed{nullptr};

}  // namespace

RecordingSettingsCell& recordingsettings()
{
    RecordingSettingsCell* cell = installed.load(std::memory_order_acquire);
    return cell ? *cell : defaultcell();
}

void setrecordingsettings(RecordingSettingsCell* cell)
{
    installed.store(cell, std::memory_order_release);
}

void publishrecordingsettings(const TConfig& c)
{
    recordingsettings().publish(RecordingSettings::of(c));
}

void publishrecordingsettings()
{
    publishrecordingsettings(config());
}

}  // namespace velk
