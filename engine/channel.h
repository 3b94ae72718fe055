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
//   holder of the card lock, or the main thread while   setformat(), setinput(), setfolder()
//   the channel is attached to no card
//   main thread, any time                               setvoxlevel(), setvoxtimer(), setmode(),
//                                                       setdeltime(), setid() (atomics; the
//                                                       storage thread sees them from its next
//                                                       block)
//   any thread, without a lock                          the getters of those, drawlevel(),
//                                                       threshold(), recording() (the meter)
// The class declares its fields in the same groups.
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

// The states a channel reports to its panel; the numbers are the codes of ChannelStateMessage.
enum class ChannelState : int { idle = 0, recording = 1, listening = 2, noinput = 3 };
// How a channel decides what to record; the numbers are those of the configuration file.
enum class ChannelMode : int { voiceactivated = 0, manual = 1 };

// The mode of a stored mode code: 1 manual, anything else voice activation.
constexpr ChannelMode channelmodeof(int code)
{
    return code == 1 ? ChannelMode::manual : ChannelMode::voiceactivated;
}

class TChannel final : public WAVwriterOwner {
public:
    // Channel `cn` on card `src` with input selector `ch` and mode `mstereo`, recording with the
    // settings published in `settings`, which must outlive the channel. Reads the card's rates;
    // main thread. Does not attach the channel: follow with connect().
    TChannel(const std::string& cn, TCaptureCard* src, int ch, bool mstereo, const RecordingSettingsCell& settings);
    // The settings of recordingsettings() (callers without an owner).
    TChannel(const std::string& cn, TCaptureCard* src, int ch, bool mstereo);
    // Detaches the channel from its card (when connect() attached it and disconnect() did not
    // detach it since), then frees the writer, which finishes an open recording. Posts nothing.
    // The card must outlive the channel while the channel is attached to it.
    ~TChannel() override;
    TChannel(const TChannel&) = delete;
    TChannel& operator=(const TChannel&) = delete;

    // --- main thread, taking the card lock itself ---
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

    // --- holder of the card lock, or the main thread while the channel is on no card ---
    // New input selector and mode; rebuilds the writer with the current rate.
    void setinput(int ch, bool mstereo);
    // Takes only the sample rate of `fmt`; frees the writer (finishing its recording), rebuilds
    // the format and creates a new writer. Whether the channel is on is left as it is.
    void setformat(const tWAVEFORMATEX& fmt);
    // The folder the recordings go into.
    void setfolder(std::string folder) { mypath = std::move(folder); }
    const std::string& folder() const { return mypath; }
    // The channel's name (file names, log lines).
    const std::string& name() const { return chname; }
    // The card the channel belongs to; not owned.
    TCaptureCard* card() const { return owner; }
    // The input selector (one input, or a stereo pair) and whether it is a stereo pair.
    int input() const { return leftright; }
    bool stereo() const { return stereo_; }
    // Target format: PCM, 1 or 2 channels, the configured rate, 16 bits.
    const tWAVEFORMATEX& format() const { return PCM; }
    // Present from construction on.
    const WAVwriter& writer() const { return *writer_; }

    // --- storage thread of the card, holding the card lock ---
    // One block: `data` 16-bit PCM (interleaved left/right when stereo), `dsize` bytes, `dmax`
    // the block level (0..32767). Never throws.
    void process(const std::int16_t* data, std::uint32_t dsize, int dmax);

    // --- main thread any time (atomics; the storage thread sees a change from its next block) ---
    // Detect level 1..100 (percent of full scale); threshold = level * 32768 / 100, rounded.
    void setvoxlevel(int level);
    // Detect time in seconds.
    void setvoxtimer(int tm);
    void setmode(ChannelMode mode) { voxmode_.store(static_cast<std::int32_t>(mode), std::memory_order_relaxed); }
    // Voice-activated recordings shorter than this many seconds are deleted.
    void setdeltime(int seconds) { deltime_.store(seconds, std::memory_order_relaxed); }
    // The channel's number in its state messages.
    void setid(int id) { int_id.store(id, std::memory_order_relaxed); }

    // --- any thread, without a lock ---
    ChannelMode mode() const { return channelmodeof(voxmode_.load(std::memory_order_relaxed)); }
    int voxlevel() const { return fvoxlevel.load(std::memory_order_relaxed); }
    int voxtimer() const { return voxtimer_.load(std::memory_order_relaxed); }
    int deltime() const { return deltime_.load(std::memory_order_relaxed); }
    int id() const { return int_id.load(std::memory_order_relaxed); }
    // Switched on (manual: recording; voice activation: armed).
    bool recording() const { return recording_.load(std::memory_order_relaxed); }
    // The meter: the last block's level and the detect threshold.
    int drawlevel() const { return drawlevel_.load(std::memory_order_relaxed); }
    int threshold() const { return threshold_.load(std::memory_order_relaxed); }
    // Shows `level` on the meter as a block would (a panel's preview, tests).
    void setdrawlevel(int level) { drawlevel_.store(level, std::memory_order_relaxed); }

    // WAVwriterOwner
    std::int32_t ownervoxmode() const override { return voxmode_.load(std::memory_order_relaxed); }
    std::int32_t ownervoxtimer() const override { return voxtimer_.load(std::memory_order_relaxed); }
    std::int32_t ownerdeltime() const override { return deltime_.load(std::memory_order_relaxed); }

private:
    using Mono = std::chrono::steady_clock::time_point;

    void makewriter();
    // Posts a state. A repeated "listening" is not posted again: the panel shows it already and
    // the capture path must not allocate for every quiet block.
    void poststate(ChannelState state);
    // A writer error: one "Error: " line, the open recordings finished, the channel idle.
    void fail(const char* text) noexcept;

    // Set at construction, never changed.
    const std::string chname;
    const RecordingSettingsCell& settings_;

    // Storage thread under the card lock, or the main thread taking it (or, for the format,
    // the input and the folder, while the channel is on no card).
    tWAVEFORMATEX PCM;
    std::unique_ptr<WAVwriter> writer_;
    std::string mypath;
    int leftright = 0;
    bool stereo_ = false;
    // Monotonic time of the last block above the threshold (creation time at first); elapsed
    // time, so a clock change never shortens or stretches the hold time.
    Mono voxstart;
    int lastposted_ = -1;  // last state code posted

    // Main thread.
    TCaptureCard* owner = nullptr;
    int attached_ = 0;  // entries of this channel in owner's list

    // Any thread (atomics).
    std::atomic<std::int32_t> fvoxlevel{0};
    std::atomic<std::int32_t> threshold_{0};
    std::atomic<bool> recording_{false};
    std::atomic<std::int32_t> int_id{0};
    std::atomic<std::int32_t> voxtimer_{1};
    std::atomic<std::int32_t> voxmode_{1};  // a ChannelMode
    std::atomic<std::int32_t> deltime_{0};
    std::atomic<std::int32_t> drawlevel_{0};
};

// The detect threshold of a detect level: level * 32768 / 100, rounded to the nearest integer.
std::int32_t voxthreshold(int level);

// The state code of a channel that is on while its card's device is lost.
constexpr int channelnoinput = static_cast<int>(ChannelState::noinput);

}  // namespace velk
