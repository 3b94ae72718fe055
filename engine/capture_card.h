#pragma once
// TCaptureCard: what a channel needs of the sound card it is attached to. The capture session of
// each card implements it; tests use a fake. The card owns the card lock (one re-entrant lock per
// card) and the list of attached channels, and reports its configured and actual sample rates.
//
// Threads: the card's storage thread holds the card lock while it hands one block to every
// channel in the list; the main thread takes it to attach, detach, start and stop channels. The
// list may be read or changed only while the card lock is held.

#include <mutex>
#include <vector>

namespace velk {

class TChannel;

class TCaptureCard {
public:
    virtual ~TCaptureCard() = default;

    // The card lock; re-entrant, so a holder may call channel operations that take it again.
    std::recursive_mutex& cardlock() { return cardlock_; }
    // The attached channels, in attachment order; guarded by cardlock(). Not owned.
    std::vector<TChannel*>& channellist() { return channels_; }

    // The rate asked for in the configuration, in Hz.
    virtual int configuredrate() const = 0;
    // The rate the card really delivers, in Hz (equal to the configured rate when the card
    // accepted it).
    virtual int actualrate() const = 0;
    // True while the card's device is gone (failed, unplugged, its server ended): a channel
    // switched on now shows "No Input" and records once the card is back.
    virtual bool inputlost() const { return false; }

private:
    std::recursive_mutex cardlock_;
    std::vector<TChannel*> channels_;
};

}  // namespace velk
