#include "engine/channel_list.h"

#include <algorithm>
#include <exception>

#include "config/config.h"
#include "services/status_log.h"
#include "core/user_notifier.h"
#include "engine/card_set.h"
#include "recfiles/own_folders.h"

namespace velk {

void DeleteChannel(TConfig& c, int i)
{
    if (i < 0 || i >= c.num)
        return;
    for (int k = i; k + 1 < c.num; ++k)
        c.channels[static_cast<std::size_t>(k)] = c.channels[static_cast<std::size_t>(k + 1)];
    --c.num;
}

TChannelList::~TChannelList() { clear(); }

void TChannelList::drop(int i)
{
    DeleteChannel(config_, i);
    dropped_.push_back(i);
}

void TChannelList::createchannels()
{
    TConfig& c = config_;
    c.num = std::clamp(c.num, 0, maxchannels);
    addlog("Starting Channels...");
    int i = 0;
    while (i < c.num) {
        const TChannelConfig slot = c.channels[static_cast<std::size_t>(i)];
        TSCapture* card = slot.card < cards_.table().count ? cards_.at(slot.card) : nullptr;
        if (!card) {
            drop(i);
            addlog("Sound card not exist for channel: " + slot.name);
            continue;
        }
        // The inputs of a card that is not there yet are not known: its channels wait with it.
        const bool waiting = card->inputlost();
        if (slot.chnum < 0 || (!waiting && slot.chnum >= cards_.channelinputs(i))) {
            drop(i);
            addlog("Wrong recording mode for channel: " + slot.name);
            continue;
        }
        std::unique_ptr<TChannel> channel;
        try {
            channel = std::make_unique<TChannel>(slot.name, card, slot.chnum, slot.stereo, settings_);
        } catch (const std::exception&) {
            drop(i);
            addlog("Failed to create channel: " + slot.name);
            usernotifier().error("VELK", "Failed to create channel. Please restart or reconfigure the program");
            continue;
        }
        channel->setid(i);
        // An empty or relative folder would put the files in "/" or wherever the program started.
        channel->setfolder(OwnFolders::recordingfolder(slot.folder, c.outfolder));
        channel->setmode(channelmodeof(slot.mode));
        channel->setvoxlevel(slot.voxlevel);
        channel->setvoxtimer(slot.voxtime);
        channel->setdeltime(slot.deltime);
        TChannel& live = *channel;
        channels_.push_back(std::move(channel));
        live.connect(card);
        card->selectline(c.cards[static_cast<std::size_t>(slot.card)]);
        ++i;
    }
}

void TChannelList::allchannelsstate(bool on)
{
    for (auto& channel : channels_) {
        if (channel->recording() == on)
            continue;
        if (on)
            channel->startrecording();
        else
            channel->stoprecording();
    }
}

void TChannelList::clear() { channels_.clear(); }

}  // namespace velk
