#pragma once
// TSCapture: the capture session of one sound card. It owns the card's driver host, the list of
// attached channels (through TCaptureCard) and a pool of blocks. The host calls the buffer handler
// once per driver buffer on the driver's thread; the handler copies the inputs into a pooled block
// and queues it. The card's storage thread (TStorageThread) turns each queued block into 16-bit
// samples, tracks every input's decaying peak and, holding the card lock, hands each attached
// channel its slice (one input, or a stereo pair interleaved) with its level.
//
// Block pool: at start the session allocates min(1024, max(32, 32 MiB / block bytes)) blocks,
// i.e. 1024 blocks for small cards and never more than 32 MiB per card for large ones (64 inputs
// at 256 frames: 512 blocks, 2.7 s of audio). When the pool runs dry the handler drops the buffer
// instead of allocating or waiting, counts it, and the storage thread reports the count in the
// status log ("Buffers lost: " + count + " for card: " + driver index).
//
// Wake-up: one counting semaphore per card, released once per batch of queued blocks (as many as
// make up to 40 ms of audio, at most 8; one block per wake-up for long buffers); the storage
// thread empties the queue after each wake-up, and also when it has waited for as long as two
// batches take, so a batch the driver leaves unfinished is delivered all the same. No block waits
// for another card.
//
// A lost card: when the driver dies (a reset whose old driver no longer starts, a re-open that
// fails, a driver that stops streaming) the card finishes every open recording, its channels
// show "No Input" (state 3) and it is opened again by name at each checkdevice() (every 2
// seconds, from the card watch); once back it takes the driver's rate again and the channels
// that were on record into new files. A card configured but absent at start-up is made lost
// from the beginning. One status-log line when lost, one when back. The card never enumerates the
// drivers itself: it is handed the card set's lists.
//
// Threads:
//   main thread            construction, destruction, start(), stop(), setsamplerate(), the card
//                          operations for the dialogs, the host's reset / latency / rate handlers,
//                          checkdevice()
//   driver's buffer thread the buffer handler (no lock, no wait, no allocation)
//   storage thread         delivery to the channels, under the card lock
//   any thread             configuredrate(), actualrate(), freeblocks(), lostblocks(), handedover(),
//                          inputlost()

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include "core/wave_format.h"
#include "engine/asio_host.h"
#include "engine/capture_card.h"
#include "engine/spsc_queue.h"

namespace velk {

class TSCapture;

// The storage thread of one card. Created and started by TSCapture::start, ended by stop.
class TStorageThread {
public:
    explicit TStorageThread(TSCapture& card);
    // Asks the thread to end, wakes it and waits for it; the blocks queued by then are delivered.
    ~TStorageThread();
    TStorageThread(const TStorageThread&) = delete;
    TStorageThread& operator=(const TStorageThread&) = delete;

private:
    void execute();

    TSCapture& card_;
    std::atomic<bool> terminated_{false};
    std::thread thread_;
};

class TSCapture final : public TCaptureCard {
public:
    // Opens driver `index` of `drivers` (the card set's enumeration) with its buffers and asks for
    // `rate` Hz. Raises the host's errors ("Asio driver failed!" ...). The card is created stopped.
    TSCapture(const TDavAsioDriverList& drivers, int index, int rate);
    // The card named `name` that cannot be opened now: created lost and stopped, with no inputs;
    // checkdevice() opens it once a driver of that name is listed.
    struct Absent {};
    TSCapture(std::string name, int rate, Absent);
    // Stops the card if it runs.
    ~TSCapture() override;

    // While the card is lost, start() and stop() only note whether it runs once back.
    void start();
    void stop();
    bool stopped() const { return stopped_; }
    // The name the card was opened by (the driver list's description).
    const std::string& name() const { return name_; }
    // Every 2 seconds: opens a lost card again from `current` (the drivers listed now, which the
    // caller enumerates when a card is lost); declares a running card lost when its driver is no
    // longer streaming or delivered nothing since the check before last.
    void checkdevice(const TDavAsioDriverList& current);
    // Finishes the channels' recordings and waits for the driver (see the top of this file).
    void declarelost(const std::string& why);
    // The stand-in virtual card, once `current` lists another card: records from that one from now
    // on (it then has that card's name). True when it changed cards.
    bool replacestandin(const TDavAsioDriverList& current);
    // Changes the card's rate while it is stopped, rebuilds the channels' formats, starts the card
    // and switches the channels that were on back on.
    void setsamplerate(int rate, int bits);

    // Card operations for the dialogs.
    int inputcount(bool stereo) const;
    std::string inputname(int i, bool stereo) const;
    bool hasmixer() const { return false; }
    int linecount() const { return 0; }
    std::string linename(int) const { return {}; }
    void selectline(int i) { mixerline_ = i; }
    int mixerline() const { return mixerline_; }
    void setagc(bool on) { agc_ = on; }
    bool agc() const { return agc_; }
    // The virtual card recording because no other card was found.
    bool standin() const { return standin_; }
    void setstandin(bool on) { standin_ = on; }
    int getvolume(int) const { return 32767; }
    void getvolumes(int& left, int& right) const { left = right = 32767; }
    void unmutedestination() {}

    // TCaptureCard
    int configuredrate() const override { return static_cast<int>(format_.nSamplesPerSec); }
    int actualrate() const override { return actualrate_.load(); }
    bool inputlost() const override { return devicelost_.load(); }

    TAsioHost& host() { return *host_; }
    // Spare blocks in the pool now (free-running drivers use it as back-pressure).
    std::size_t freeblocks() const { return free_.size(); }
    std::size_t poolsize() const { return pool_.size(); }
    std::uint64_t lostblocks() const { return lost_.load(); }
    // Buffers the driver handed over since the card was created (lost ones included).
    std::uint64_t handedover() const { return buffers_.load(std::memory_order_relaxed) + lost_.load(); }

private:
    friend class TStorageThread;
    void bufferswitch(float* const* inputs);
    // Storage thread: delivers every queued block.
    void deliver();
    void refreshrate();
    // After a rate change (card stopped): takes the driver's actual rate, rebuilds every attached
    // channel's format, starts the card and switches back on the channels that were on.
    void restartwithformat();
    void switchchannelsback();
    void sethandlers();
    // The card is back: its rate and the channels' formats are taken anew, and it runs again if it
    // ran when lost.
    void restore(bool announce = true);
    // The driver's rate may have changed with its buffers: takes it, and rebuilds the channels'
    // formats when it did.
    void restartcard();
    void rebuildformats();
    void onreset();
    void onlatencychanged();
    void onsampleratechanged();
    void onreopened();

    // Main thread (the card stopped, or the storage thread not running, where a field is also
    // read by the threads below).
    std::unique_ptr<TAsioHost> host_;
    std::string name_;
    tWAVEFORMATEX format_;  // PCM, 1 channel, the configured rate, 16 bits
    int mixerline_ = 0;
    bool agc_ = false;
    bool standin_ = false;
    bool resume_ = false;                   // lost: runs again once back
    std::vector<std::unique_ptr<float[]>> pool_;
    // Size of the running configuration (set by start).
    std::size_t inputs_ = 0;
    std::size_t frames_ = 0;
    std::size_t batch_ = 1;    // blocks per wake-up (set by start)
    std::chrono::microseconds waitlimit_{5000000};  // the storage thread's longest wait
    std::uint64_t checkedbuffers_ = 0;       // checkdevice(): buffers_ at the last check
    int quietchecks_ = 0;                    // checkdevice(): checks in a row without a buffer
    bool quietcounted_ = false;              // checkdevice(): a check was counted, at lastquietcheck_
    std::chrono::steady_clock::time_point lastquietcheck_{};

    // Driver's buffer thread.
    std::size_t pending_ = 0;  // blocks queued since the last wake-up

    // Storage thread (delivering under the card lock).
    std::vector<float> peaks_;
    std::vector<std::int16_t> samples_;
    std::vector<std::int16_t> pair_;
    std::uint64_t reportedlost_ = 0;

    // Any thread (atomics, lock-free queues, the semaphore).
    std::atomic<bool> stopped_{true};
    std::counting_semaphore<> wakeup_{0};
    SpscQueue<float*> filled_;  // buffer thread -> storage thread
    SpscQueue<float*> free_;    // storage thread -> buffer thread
    std::atomic<int> actualrate_{0};
    std::atomic<std::uint64_t> lost_{0};
    std::atomic<bool> devicelost_{false};
    std::atomic<std::uint64_t> buffers_{0};  // buffers handed over by the driver

    // Main thread; declared last, so the storage thread ends before anything it uses goes.
    std::unique_ptr<TStorageThread> thread_;
};

}  // namespace velk
