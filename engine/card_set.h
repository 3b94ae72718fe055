#pragma once
// TCardSet: the sound cards of the running recorder. It enumerates the drivers once at start-up
// and owns that list, the capture session of every card by card number, and the cards' names;
// every session opens its driver from this one list. Numbers never change within a run, and a
// card that is missing or fails keeps its number, waiting for its device. Besides starting and
// closing the cards it answers the questions the channel dialog and the start-up ask about a
// configured channel's inputs.
//
// The set reads the configuration record it is given (card names, rate, channels) and writes the
// cards' names back into it. Declared before the channels in their owner, so the cards outlive the
// channels attached to them.
//
// Threads: main thread only.

#include <array>
#include <memory>
#include <string>

#include "engine/capture_session.h"
#include "engine/driver_list.h"

namespace velk {

struct TConfig;

constexpr int maxcardtable = 129;

struct Tcard {
    std::array<std::string, maxcardtable> names;  // display name of each started card
    std::array<std::string, maxcardtable> ids;    // device identities (not used by this edition)
    int count = 0;                                // number of started cards
};

class TCardSet {
public:
    // Reads and updates `config`, which must outlive the set.
    explicit TCardSet(TConfig& config);
    // Closes the cards (see closecards()).
    ~TCardSet();
    TCardSet(const TCardSet&) = delete;
    TCardSet& operator=(const TCardSet&) = delete;

    // Enumerates the drivers (the one enumeration of a start) and starts the cards. Cards named in
    // the configuration (`cardnames`) keep their numbers: each is matched to the listed driver of
    // that name, and waited for as a lost card when none is listed or it fails to start. The other
    // drivers take the free numbers in list order (all of them, by position, when the
    // configuration names no card). The names of the cards are put back into the configuration.
    // False (after telling the user) when there is no driver at all and the configuration names
    // no card to wait for.
    bool startcards();
    // Every 2 seconds (the card watch): checkdevice() on every card; the drivers are listed anew
    // for it only when a card is lost or the stand-in waits for a real card.
    void checkcards();
    // Stops every card: no block reaches a channel afterwards. The cards stay, with their channels.
    void stopcards();
    // Stops and frees every card, and frees the driver list. The channels are gone by then (they
    // detach themselves as they go).
    void closecards();
    // Stops every card that no configured channel (the first `num` of the configuration) uses.
    void stopidlecards();
    // Starts card `index` (nothing when it runs or does not exist).
    void startcard(int index);
    // Selectable inputs of configured channel n: its card's inputcount in the channel's mode; 0 when
    // the card does not exist.
    int channelinputs(int n) const;
    // The input name of configured channel n; empty when its card object is gone.
    std::string channelinputname(int n) const;

    // Card `k`, or null when there is none by that number.
    TSCapture* at(int k) const;
    const Tcard& table() const { return table_; }
    // The drivers enumerated at start-up (empty before startcards()).
    const TDavAsioDriverList& drivers() const { return drivers_; }

private:
    TSCapture* cardof(int n) const;
    void startcardat(int k, std::size_t i, int rate);
    void awaitcardat(int k, const std::string& name, int rate);

    TConfig& config_;
    TDavAsioDriverList drivers_;
    Tcard table_;
    std::array<std::unique_ptr<TSCapture>, 256> cards_;
};

}  // namespace velk
