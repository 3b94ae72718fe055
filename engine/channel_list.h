#pragma once
// TChannelList: the live channels of the recorder, one TChannel per configured channel, owned
// here and attached to their cards. It builds them from the configuration at start-up (dropping
// the configured channels whose card or input does not exist, with a status-log line naming
// each), switches them all on or off, and frees them at shutdown, which finishes every open
// recording. Each channel detaches itself from its card as it goes; the cards outlive the list.
//
// Threads: main thread only.

#include <memory>
#include <vector>

#include "engine/channel.h"

namespace velk {

class TCardSet;
struct TConfig;

class TChannelList {
public:
    // The channels of `config` go on the cards of `cards` and record with the settings published
    // in `settings`; all three must outlive the list.
    TChannelList(TCardSet& cards, TConfig& config, const RecordingSettingsCell& settings)
        : cards_(cards), config_(config), settings_(settings)
    {
    }
    // Frees the channels (see clear()).
    ~TChannelList();
    TChannelList(const TChannelList&) = delete;
    TChannelList& operator=(const TChannelList&) = delete;

    // Creates one channel per configured channel (the first `num`, at most 256) on the started
    // cards, with the lines "Starting Channels...", "Sound card not exist for channel: ",
    // "Wrong recording mode for channel: " and "Failed to create channel: ".
    void createchannels();
    // Switches every channel on (manual: records; voice activation: listens) or off.
    void allchannelsstate(bool on);
    // Frees every channel (each detaches itself from its card); each writer finishes its recording.
    void clear();

    std::size_t size() const { return channels_.size(); }
    // The slots createchannels dropped, each as its index at the moment it was dropped (the
    // table closes up after each), in that order.
    const std::vector<int>& dropped() const { return dropped_; }
    TChannel& at(std::size_t i) { return *channels_.at(i); }

private:
    void drop(int i);

    TCardSet& cards_;
    TConfig& config_;
    const RecordingSettingsCell& settings_;
    std::vector<std::unique_ptr<TChannel>> channels_;
    std::vector<int> dropped_;
};

// Drops slot i of the configured channels of `config`: the later slots move down one place and
// `num` decreases by one (the last slot keeps a stale copy).
void DeleteChannel(TConfig& config, int i);

}  // namespace velk
