#pragma once
// TChannel: one recording stream of the recorder, a selection of one card's inputs (one input, a
// stereo pair, or the mono mix of left and right). It receives every captured block of its card,
// keeps the block level for its meter, decides by manual control or voice activation whether the
// block belongs in a recording, and drives its WAVwriter. It reports state changes to the main
// window (ChannelStateMessage: 0 idle, 1 recording, 2 listening, 3 no input: switched on while
// its card is lost) and writes status-log lines.
//
// Threads:
//   storage thread of the card, holding the card lock   process()
//   main thread (takes the card lock itself)            startrecording(), stoprecording(),
//                                                       connect(), disconnect(), inputlost()
//   holder of the card lock, or the main thread while   setformat(), setinput(), mypath
//   the channel is attached to no card
//   main thread, any time                               setvoxlevel(), setvoxtimer(), voxmode,
//                                                       deltime, int_id (atomics; the storage
//                                                       thread sees them from its next block)
//   any thread, without a lock                          drawlevel, threshold, recording (meter)
// The card's sample-rate procedure may also call startrecording() again from its own thread.
//
// process() allocates nothing and takes no lock while the channel stays in one state; opening
// and closing recordings (state changes) do file-system work and post messages.
// A full disk does not switch the channel off: the error is logged with its reason and the
// writer opens the next file when there is room again (see WAVwriter).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "config/recording_settings.h"
#include "core/wave_format.h"
#include "engine/capture_card.h"
#include "recfiles/wav_writer.h"

namespace velk {

class TChannel final : public WAVwriterOwner {
public:
    // Channel `cn` on card `src` with input selector `ch` (`leftright`) and mode `mstereo`,
    // recording with the settings published in `settings`, which must outlive the channel. Reads
    // the card's rates; main thread. Does not attach the channel: follow with connect().
    TChannel(const std::string& cn, TCaptureCard* src, int ch, bool mstereo, const RecordingSettingsCell& settings);
    // The settings of recordingsettings() (callers without an owner).
    TChannel(const std::string& cn, TCaptureCard* src, int ch, bool mstereo);
    // Detaches the channel from its card (when connect() attached it and disconnect() did not
    // detach it since), then frees the writer, which finishes an open recording. Posts nothing.
    // The card must outlive the channel while the channel is attached to it.
    ~TChannel() override;
    TChannel(const TChannel&) = delete;
    TChannel& operator=(const TChannel&) = delete;

    // Detect level 1..100 (percent of full scale); threshold = level * 32768 / 100, rounded.
    void setvoxlevel(int level);
    // Detect time in seconds.
    void setvoxtimer(int tm);
    // New input selector and mode; rebuilds the writer with the current rate.
    void setinput(int ch, bool mstereo);
    // Takes only the sample rate of `fmt`; frees the writer (finishing its recording), rebuilds
    // PCM and creates a new writer. `recording` is left as it is.
    void setformat(const tWAVEFORMATEX& fmt);
    // Attaches the channel to `cap`'s channel list under its card lock.
    void connect(TCaptureCard* cap);
    // Removes the last entry of this channel from its owner's list under the card lock.
    void disconnect();
    // Switches the channel on (manual: opens a recording; voice activation: arms it). While the
    // card is lost the channel is on without a recording and shows "No Input".
    void startrecording();
    // The card lost its device: an open recording is finished now, and a channel that is on
    // shows "No Input" until the card, back, switches it on again.
    void inputlost();
    // Switches the channel off, finishing an open recording.
    void stoprecording();
    // One block: `data` 16-bit PCM (interleaved left/right when stereo), `dsize` bytes, `dmax`
    // the block level (0..32767). Storage thread, under the card lock. Never throws.
    void process(const std::int16_t* data, std::uint32_t dsize, int dmax);

    // WAVwriterOwner
    std::int32_t ownervoxmode() const override { return voxmode.load(std::memory_order_relaxed); }
    std::int32_t ownervoxtimer() const override { return voxtimer.load(std::memory_order_relaxed); }
    std::int32_t ownerdeltime() const override { return deltime.load(std::memory_order_relaxed); }

    using Mono = std::chrono::steady_clock::time_point;

    // Monotonic time of the last block above the threshold (creation time at first); elapsed
    // time, so a clock change never shortens or stretches the hold time.
    Mono voxstart;
    // Target format: PCM, 1 or 2 channels, the configured rate, 16 bits.
    tWAVEFORMATEX PCM;
    // The card the channel belongs to; not owned.
    TCaptureCard* owner = nullptr;
    std::atomic<std::int32_t> fvoxlevel{0};
    // Owned; present from construction on.
    std::unique_ptr<WAVwriter> writer;
    std::atomic<std::int32_t> threshold{0};
    // Switched on (manual: recording; voice activation: armed).
    std::atomic<bool> recording{false};
    std::string chname;
    std::string mypath;
    std::atomic<std::int32_t> int_id{0};
    std::atomic<std::int32_t> voxtimer{1};
    std::atomic<std::int32_t> voxmode{1};  // 0 voice activation, 1 manual
    std::atomic<std::int32_t> deltime{0};
    std::atomic<std::int32_t> drawlevel{0};
    int leftright = 0;
    bool stereo = false;

private:
    void makewriter();
    // Posts a state code. A repeated "listening" is not posted again: the panel shows it already
    // and the capture path must not allocate for every quiet block.
    void poststate(int code);
    // A writer error: one "Error: " line, the open recordings finished, the channel idle.
    void fail(const char* text) noexcept;

    const RecordingSettingsCell& settings_;
    int lastposted_ = -1;  // last state code posted; guarded by the card lock
    int attached_ = 0;     // entries of this channel in owner's list; main thread
};

// The detect threshold of a detect level: level * 32768 / 100, rounded to the nearest integer.
std::int32_t voxthreshold(int level);

// The state code of a channel that is on while its card's device is lost.
constexpr int channelnoinput = 3;

}  // namespace velk
