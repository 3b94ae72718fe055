#include "config/recording_settings.h"

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

SnapshotCell<RecordingSettings>& recordingsettings()
{
    static SnapshotCell<RecordingSettings> cell(RecordingSettings::of(TConfig{}));
    return cell;
}

void publishrecordingsettings()
{
    recordingsettings().publish(RecordingSettings::of(config()));
}

}  // namespace velk
