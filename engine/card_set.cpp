#include "engine/card_set.h"

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

bool samename(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

TCardSet::TCardSet(TConfig& config) : config_(config) {}

TCardSet::~TCardSet() { closecards(); }

TSCapture* TCardSet::at(int k) const
{
    if (k < 0 || static_cast<std::size_t>(k) >= cards_.size())
        return nullptr;
    return cards_[static_cast<std::size_t>(k)].get();
}

TSCapture* TCardSet::cardof(int n) const
{
    if (n < 0 || n >= maxchannels)
        return nullptr;
    const int card = config_.channels[static_cast<std::size_t>(n)].card;
    if (card < 0 || card >= table_.count)
        return nullptr;
    return at(card);
}

// Card `k` from driver `i` of the list. A driver that fails to start keeps the number all the
// same, as a lost card that is tried again, so no other card's channels move onto it.
void TCardSet::startcardat(int k, std::size_t i, int rate)
{
    const TDavAsioDriverDescription& d = drivers_.item(i);
    auto& slot = cards_[static_cast<std::size_t>(k)];
    table_.names[static_cast<std::size_t>(k)] = d.name;
    try {
        slot = std::make_unique<TSCapture>(drivers_, static_cast<int>(i), rate);
        slot->setagc(config_.agc);
        slot->setstandin(d.standin);
        slot->start();
        if (d.standin)
            addlog("No sound card found: recording from " + d.name + " (test signal)");
        return;
    } catch (const std::exception& e) {
        slot.reset();
        addlog("Could not start " + d.name + ", " + e.what());
    }
    slot = std::make_unique<TSCapture>(d.name, rate, TSCapture::Absent{});
    slot->setagc(config_.agc);
    slot->start();  // runs once the driver opens
}

// A configured card that is not listed now: waited for under its name.
void TCardSet::awaitcardat(int k, const std::string& name, int rate)
{
    auto& slot = cards_[static_cast<std::size_t>(k)];
    table_.names[static_cast<std::size_t>(k)] = name;
    slot = std::make_unique<TSCapture>(name, rate, TSCapture::Absent{});
    slot->setagc(config_.agc);
    slot->start();
    addlog("Waiting for sound card: " + name + ", retrying every 2 seconds");
}

bool TCardSet::startcards()
{
    addlog("Audio Devices Enumeration...");
    drivers_.enumerate();
    TConfig& cfg = config_;
    // Cards the configuration knows by name keep their numbers and are waited for when missing;
    // the virtual card stands in only when the configuration names none (a first start).
    int named = 0;
    for (int k = 0; k < maxcardtable; ++k)
        if (!cfg.cardnames[static_cast<std::size_t>(k)].empty())
            named = k + 1;
    if (drivers_.count() == 0 && named == 0) {
        usernotifier().error("Could not locate active audio devices.",
                             "VELK could not locate any ASIO drivers.\nPlease try to use DirectSound version.");
        addlog("Check the audio devices and restart VELK");
        return false;
    }
    addlog("Starting Sound Cards...");
    table_ = Tcard{};
    const int rate = samplerateofindex(cfg.samplerate);
    const std::size_t drivers = drivers_.count();
    std::vector<bool> used(drivers, false);
    for (int k = 0; k < named; ++k) {
        const std::string& name = cfg.cardnames[static_cast<std::size_t>(k)];
        if (name.empty())
            continue;
        std::size_t i = 0;
        while (i < drivers && (used[i] || drivers_.item(i).standin || !samename(drivers_.item(i).name, name)))
            ++i;
        if (i < drivers) {
            used[i] = true;
            startcardat(k, i, rate);
        } else {
            awaitcardat(k, name, rate);
        }
    }
    table_.count = named;
    // The drivers no configured name asked for take the free numbers, in list order.
    int k = 0;
    for (std::size_t i = 0; i < drivers; ++i) {
        if (used[i] || (named > 0 && drivers_.item(i).standin))
            continue;
        while (k < maxcardtable && cards_[static_cast<std::size_t>(k)])
            ++k;
        if (k >= maxcardtable)
            break;
        startcardat(k, i, rate);
        table_.count = std::max(table_.count, k + 1);
    }
    // The names are stored beside the card numbers when the configuration is saved; the stand-in
    // is not, so the next start looks for real cards again.
    for (int n = 0; n < table_.count; ++n)
        if (const auto& card = cards_[static_cast<std::size_t>(n)])
            cfg.cardnames[static_cast<std::size_t>(n)] = card->standin() ? std::string() : card->name();
    return true;
}

void TCardSet::checkcards()
{
    // Only a lost card or the stand-in looks for drivers: a run whose cards all stream lists
    // nothing (no folder scan, no JACK probe every 2 seconds).
    bool looking = false;
    for (const auto& card : cards_)
        looking = looking || (card && (card->inputlost() || card->standin()));
    TDavAsioDriverList current;
    if (looking) {
        try {
            current.enumerate();
        } catch (const std::exception& e) {
            addlog(std::string("Could not list the sound cards: ") + e.what());
            return;
        }
    }
    for (std::size_t k = 0; k < cards_.size(); ++k) {
        auto& card = cards_[k];
        if (!card)
            continue;
        card->checkdevice(current);
        // The test signal stood in for a first start without cards: a real card replaces it.
        if (card->standin() && card->replacestandin(current) && k < maxcardtable) {
            table_.names[k] = card->name();
            config_.cardnames[k] = card->name();
        }
    }
}

void TCardSet::stopcards()
{
    for (auto& card : cards_)
        if (card)
            card->stop();
}

void TCardSet::closecards()
{
    for (auto& card : cards_) {
        if (!card)
            continue;
        card->stop();
        card.reset();
    }
    drivers_ = TDavAsioDriverList();
}

void TCardSet::stopidlecards()
{
    const TConfig& cfg = config_;
    const int num = std::clamp(cfg.num, 0, maxchannels);
    for (int k = 0; k < table_.count; ++k) {
        bool used = false;
        for (int n = 0; n < num && !used; ++n)
            used = cfg.channels[static_cast<std::size_t>(n)].card == k;
        if (!used && cards_[static_cast<std::size_t>(k)])
            cards_[static_cast<std::size_t>(k)]->stop();
    }
}

void TCardSet::startcard(int index)
{
    if (index >= 0 && index < table_.count && cards_[static_cast<std::size_t>(index)])
        cards_[static_cast<std::size_t>(index)]->start();
}

int TCardSet::channelinputs(int n) const
{
    TSCapture* card = cardof(n);
    return card ? card->inputcount(config_.channels[static_cast<std::size_t>(n)].stereo) : 0;
}

std::string TCardSet::channelinputname(int n) const
{
    TSCapture* card = cardof(n);
    if (!card)
        return {};
    const TChannelConfig& c = config_.channels[static_cast<std::size_t>(n)];
    return card->inputname(c.chnum, c.stereo);
}

}  // namespace velk
