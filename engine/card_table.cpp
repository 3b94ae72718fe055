#include "engine/card_table.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <vector>
#include <mutex>

#include "config/config.h"
#include "services/status_log.h"
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

namespace {

bool samename(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// Card `k` from driver `i` of the list. A driver that fails to start keeps the number all the
// same, as a lost card that is tried again, so no other card's channels move onto it.
void startcardat(int k, std::size_t i, int rate)
{
    const TDavAsioDriverDescription& d = driverlist()->item(i);
    auto& slot = captures()[static_cast<std::size_t>(k)];
    cardtable().names[static_cast<std::size_t>(k)] = d.name;
    try {
        slot = std::make_unique<TSCapture>(static_cast<int>(i), rate);
        slot->agc = config().agc;
        slot->standin = d.standin;
        slot->start();
        if (d.standin)
            addlog("No sound card found: recording from " + d.name + " (test signal)");
        return;
    } catch (const std::exception& e) {
        slot.reset();
        addlog("Could not start " + d.name + ", " + e.what());
    }
    slot = std::make_unique<TSCapture>(d.name, rate, TSCapture::Absent{});
    slot->agc = config().agc;
    slot->start();  // runs once the driver opens
}

// A configured card that is not listed now: waited for under its name.
void awaitcardat(int k, const std::string& name, int rate)
{
    auto& slot = captures()[static_cast<std::size_t>(k)];
    cardtable().names[static_cast<std::size_t>(k)] = name;
    slot = std::make_unique<TSCapture>(name, rate, TSCapture::Absent{});
    slot->agc = config().agc;
    slot->start();
    addlog("Waiting for sound card: " + name + ", retrying every 2 seconds");
}

}  // namespace

bool startcards()
{
    addlog("Audio Devices Enumeration...");
    driverlist() = std::make_unique<TDavAsioDriverList>();
    driverlist()->enumerate();
    Tcard& table = cardtable();
    TConfig& cfg = config();
    // Cards the configuration knows by name keep their numbers and are waited for when missing;
    // the virtual card stands in only when the configuration names none (a first start).
    int named = 0;
    for (int k = 0; k < maxcardtable; ++k)
        if (!cfg.cardnames[static_cast<std::size_t>(k)].empty())
            named = k + 1;
    if (driverlist()->count() == 0 && named == 0) {
        usernotifier().error("Could not locate active audio devices.",
                             "VELK could not locate any ASIO drivers.\nPlease try to use DirectSound version.");
        addlog("Check the audio devices and restart VELK");
        return false;
    }
    addlog("Starting Sound Cards...");
    table.count = 0;
    const int rate = samplerateofindex(cfg.samplerate);
    const std::size_t drivers = driverlist()->count();
    std::vector<bool> used(drivers, false);
    for (int k = 0; k < named; ++k) {
        const std::string& name = cfg.cardnames[static_cast<std::size_t>(k)];
        if (name.empty())
            continue;
        std::size_t i = 0;
        while (i < drivers && (used[i] || driverlist()->item(i).standin || !samename(driverlist()->item(i).name, name)))
            ++i;
        if (i < drivers) {
            used[i] = true;
            startcardat(k, i, rate);
        } else {
            awaitcardat(k, name, rate);
        }
    }
    table.count = named;
    // The drivers no configured name asked for take the free numbers, in list order.
    int k = 0;
    for (std::size_t i = 0; i < drivers; ++i) {
        if (used[i] || (named > 0 && driverlist()->item(i).standin))
            continue;
        while (k < maxcardtable && captures()[static_cast<std::size_t>(k)])
            ++k;
        if (k >= maxcardtable)
            break;
        startcardat(k, i, rate);
        table.count = std::max(table.count, k + 1);
    }
    // The names are stored beside the card numbers when the configuration is saved; the stand-in
    // is not, so the next start looks for real cards again.
    for (int n = 0; n < table.count; ++n)
        if (const auto& card = captures()[static_cast<std::size_t>(n)])
            cfg.cardnames[static_cast<std::size_t>(n)] = card->standin ? std::string() : card->name();
    return true;
}

void checkcards()
{
    for (std::size_t k = 0; k < captures().size(); ++k) {
        auto& card = captures()[k];
        if (!card)
            continue;
        card->checkdevice();
        // The test signal stood in for a first start without cards: a real card replaces it.
        if (card->standin && card->replacestandin() && k < maxcardtable) {
            cardtable().names[k] = card->name();
            config().cardnames[k] = card->name();
        }
    }
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
