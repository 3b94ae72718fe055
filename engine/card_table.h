#pragma once
// The card table and the routines over all cards: starting every card found at start-up, closing
// them at shutdown, stopping the cards nobody uses, and the questions the channel dialog and the
// start-up ask about a configured channel's inputs. The card objects live in captures(), indexed
// by card number; numbers never change within a run, and a card that is missing or fails keeps
// its number, waiting for its device.
//
// Threads: main thread only.

#include <array>
#include <memory>
#include <string>

#include "engine/capture_session.h"
#include "engine/driver_list.h"

namespace velk {

constexpr int maxcardtable = 129;

struct Tcard {
    std::array<std::string, maxcardtable> names;  // display name of each started card
    std::array<std::string, maxcardtable> ids;    // device identities (not used by this edition)
    int count = 0;                                // number of started cards
};

Tcard& cardtable();
// The card objects by card number; an entry is empty when its card was freed.
std::array<std::unique_ptr<TSCapture>, 256>& captures();

// Enumerates the drivers and starts the cards. Cards named in the configuration (`cardnames`)
// keep their numbers: each is matched to the listed driver of that name, and waited for as a lost
// card when none is listed or it fails to start. The other drivers take the free numbers in list
// order (all of them, by position, when the configuration names no card). The names of the cards
// are put back into the configuration. False (after telling the user) when there is no driver
// at all and the configuration names no card to wait for.
bool startcards();
// Every 2 seconds (the card watch): checkdevice() on every card.
void checkcards();
// Empties every card's channel list, stops and frees every card, frees the driver list.
void closecards();
// Stops every card that no configured channel (the first `num` of the configuration) uses.
void stopidlecards();
// Starts card `index` (nothing when it runs or does not exist).
void startcard(int index);
// Selectable inputs of configured channel n: its card's inputcount in the channel's mode; 0 when
// the card does not exist.
int channelinputs(int n);
// The input name of configured channel n; empty when its card object is gone.
std::string channelinputname(int n);

}  // namespace velk
