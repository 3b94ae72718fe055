#include "engine/card_table.h"

#include <exception>
#include <mutex>

#include "config/config.h"
#include "config/status_log.h"
#include "core/user_notifier.h"

namespace velk {

namespace {

std::unique_ptr<TDavAsioDriverList>& driverlist()
{
    static std::unique_ptr<TDavAsioDriverList> list;
    return list;
}

TSCapture* cardof(int n)
{
    if (n < 0 || n >= maxchannels)
        return nullptr;
    const int card = config().channels[static_cast<std::size_t>(n)].card;
    if (card < 0 || card >= cardtable().count)
        return nullptr;
    return captures()[static_cast<std::size_t>(card)].get();
}

}  // namespace

Tcard& cardtable()
{
    static Tcard table;
    return table;
}

std::array<std::unique_ptr<TSCapture>, 256>& captures()
{
    static std::array<std::unique_ptr<TSCapture>, 256> cards;
    return cards;
}

bool startcards()
{
    addlog("Audio Devices Enumeration...");
    driverlist() = std::make_unique<TDavAsioDriverList>();
    driverlist()->enumerate();
    Tcard& table = cardtable();
    if (driverlist()->count() == 0) {
        usernotifier().error("Could not locate active audio devices.",
                             "VELK could not locate any ASIO drivers.\nPlease try to use DirectSound version.");
        addlog("Check the audio devices and restart VELK");
        return false;
    }
    addlog("Starting Sound Cards...");
    table.count = 0;
    const int rate = samplerateofindex(config().samplerate);
    for (std::size_t i = 0; i < driverlist()->count() && table.count < maxcardtable; ++i) {
        const std::string description = driverlist()->item(i).name;
        auto& slot = captures()[static_cast<std::size_t>(table.count)];
        try {
            slot = std::make_unique<TSCapture>(static_cast<int>(i), rate);
            slot->agc = config().agc;
            slot->start();
            table.names[static_cast<std::size_t>(table.count)] = description;
            ++table.count;
        } catch (const std::exception& e) {
            slot.reset();
            addlog("Could not start " + description + ", " + e.what());
        }
    }
    return true;
}

void closecards()
{
    for (auto& card : captures()) {
        if (!card)
            continue;
        std::lock_guard lock(card->cardlock());
        card->channellist().clear();
    }
    for (auto& card : captures()) {
        if (!card)
            continue;
        card->stop();
        card.reset();
    }
    driverlist().reset();
}

void stopidlecards()
{
    const TConfig& cfg = config();
    const int num = std::clamp(cfg.num, 0, maxchannels);
    for (int k = 0; k < cardtable().count; ++k) {
        bool used = false;
        for (int n = 0; n < num && !used; ++n)
            used = cfg.channels[static_cast<std::size_t>(n)].card == k;
        if (!used && captures()[static_cast<std::size_t>(k)])
            captures()[static_cast<std::size_t>(k)]->stop();
    }
}

void startcard(int index)
{
    if (index >= 0 && index < cardtable().count && captures()[static_cast<std::size_t>(index)])
        captures()[static_cast<std::size_t>(index)]->start();
}

int channelinputs(int n)
{
    TSCapture* card = cardof(n);
    return card ? card->inputcount(config().channels[static_cast<std::size_t>(n)].stereo) : 0;
}

std::string channelinputname(int n)
{
    TSCapture* card = cardof(n);
    if (!card)
        return {};
    const TChannelConfig& c = config().channels[static_cast<std::size_t>(n)];
    return card->inputname(c.chnum, c.stereo);
}

}  // namespace velk
