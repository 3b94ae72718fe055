#include "engine/channel.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <mutex>

#include "config/config.h"
#include "config/recording_settings.h"
#include "services/status_log.h"
#include "core/clock.h"
#include "core/main_thread_queue.h"

namespace velk {

namespace {

std::unique_lock<std::recursive_mutex> lockcard(TCaptureCard* card)
{
    return card ? std::unique_lock<std::recursive_mutex>(card->cardlock()) : std::unique_lock<std::recursive_mutex>();
}

// Without a card: the configured rate of the published settings.
std::uint32_t configuredrateof(const TCaptureCard* card, const RecordingSettingsCell& settings)
{
    return static_cast<std::uint32_t>(card ? card->configuredrate() : samplerateofindex(settings.read()->samplerate));
}

std::uint32_t actualrateof(const TCaptureCard* card, const RecordingSettingsCell& settings)
{
    return static_cast<std::uint32_t>(card ? card->actualrate() : samplerateofindex(settings.read()->samplerate));
}

}  // namespace

std::int32_t voxthreshold(int level)
{
    return static_cast<std::int32_t>(std::lround(static_cast<double>(level) * 32768.0 / 100.0));
}

TChannel::TChannel(const std::string& cn, TCaptureCard* src, int ch, bool mstereo,
                   const RecordingSettingsCell& settings)
    : chname(cn), settings_(settings), leftright(ch), stereo_(mstereo), voxstart(appclock().monotonic()), owner(src)
{
    setvoxlevel(10);
    PCM = pcmformat(configuredrateof(src, settings_), stereo_ ? 2 : 1, 16);
    makewriter();
}

TChannel::TChannel(const std::string& cn, TCaptureCard* src, int ch, bool mstereo)
    : TChannel(cn, src, ch, mstereo, recordingsettings())
{
}

TChannel::~TChannel()
{
    // Off the card's list first: its storage thread must not hand a block to a channel going away.
    if (owner && attached_ > 0) {
        std::lock_guard<std::recursive_mutex> lock(owner->cardlock());
        auto& list = owner->channellist();
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
    }
    writer_.reset();
}

void TChannel::makewriter()
{
    const tWAVEFORMATEX infmt = pcmformat(actualrateof(owner, settings_), PCM.nChannels, 16);
    writer_ = std::make_unique<WAVwriter>(*this, PCM, infmt, settings_);
}

void TChannel::setvoxlevel(int level)
{
    fvoxlevel.store(level, std::memory_order_relaxed);
    threshold_.store(voxthreshold(level), std::memory_order_relaxed);
}

void TChannel::setvoxtimer(int tm)
{
    voxtimer_.store(tm, std::memory_order_relaxed);
}

void TChannel::setinput(int ch, bool mstereo)
{
    stereo_ = mstereo;
    leftright = ch;
    setformat(PCM);
}

void TChannel::setformat(const tWAVEFORMATEX& fmt)
{
    const std::uint32_t rate = fmt.nSamplesPerSec;
    writer_.reset();
    PCM = pcmformat(rate, stereo_ ? 2 : 1, 16);
    makewriter();
}

void TChannel::connect(TCaptureCard* cap)
{
    owner = cap;
    if (!cap)
        return;
    std::lock_guard<std::recursive_mutex> lock(cap->cardlock());
    cap->channellist().push_back(this);
    ++attached_;
}

void TChannel::disconnect()
{
    if (!owner)
        return;
    std::lock_guard<std::recursive_mutex> lock(owner->cardlock());
    auto& list = owner->channellist();
    const auto last = std::find(list.rbegin(), list.rend(), this);
    if (last != list.rend()) {
        list.erase(std::next(last).base());
        attached_ = static_cast<int>(std::count(list.begin(), list.end(), this));
    }
}

void TChannel::poststate(ChannelState state)
{
    const int code = static_cast<int>(state);
    if (state == ChannelState::listening && lastposted_ == code)
        return;
    lastposted_ = code;
    mainqueue().post(ChannelStateMessage{int_id.load(std::memory_order_relaxed), code});
}

void TChannel::startrecording()
{
    auto lock = lockcard(owner);
    recording_.store(true, std::memory_order_relaxed);
    if (owner && owner->inputlost()) {
        poststate(ChannelState::noinput);
        return;
    }
    if (mode() == ChannelMode::manual) {
        try {
            writer_->newfile(mypath, chname, appclock().now());
            poststate(ChannelState::recording);
            addlog("Record started: " + chname);
        } catch (const std::exception& e) {
            addlog("Error: " + std::string(e.what()) + " " + chname);
            recording_.store(false, std::memory_order_relaxed);
        }
    } else {
        lastposted_ = -1;  // arming always tells the panel
        poststate(ChannelState::listening);
        addlog("VOX Activated for: " + chname);
    }
}

void TChannel::inputlost()
{
    auto lock = lockcard(owner);
    if (writer_ && (writer_->fileopen() || writer_->overlapopen())) {
        try {
            writer_->closefile();
        } catch (const std::exception& e) {
            addlog("Error: " + std::string(e.what()) + " " + chname);
        }
        addlog("Record complete: " + chname);
    }
    if (recording_.load(std::memory_order_relaxed))
        poststate(ChannelState::noinput);
}

void TChannel::stoprecording()
{
    {
        auto lock = lockcard(owner);
        recording_.store(false, std::memory_order_relaxed);
        if (writer_ && (writer_->fileopen() || writer_->waiting())) {
            try {
                writer_->closefile();
            } catch (const std::exception& e) {
                addlog("Error: " + std::string(e.what()) + " " + chname);
            }
            addlog("Record complete: " + chname);
        }
        lastposted_ = static_cast<int>(ChannelState::idle);
    }
    mainqueue().post(ChannelStateMessage{int_id.load(std::memory_order_relaxed), static_cast<int>(ChannelState::idle)});
}

void TChannel::process(const std::int16_t* data, std::uint32_t dsize, int dmax)
{
    drawlevel_.store(dmax, std::memory_order_relaxed);
    if (!writer_ || !recording_.load(std::memory_order_relaxed))
        return;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
    try {
        if (mode() == ChannelMode::manual) {
            writer_->writedata(bytes, dsize, dmax);
            return;
        }
        const Mono now = appclock().monotonic();
        // A recording the disk cut off is still running: the writer opens its next file.
        const bool active = writer_->fileopen() || writer_->waiting();
        if (dmax > threshold_.load(std::memory_order_relaxed)) {
            voxstart = now;
            if (!active) {
                poststate(ChannelState::recording);
                addlog("Record started: " + chname);
                try {
                    writer_->newfile(mypath, chname, appclock().now());
                } catch (const std::exception& e) {
                    if (!writer_->diskfull())
                        throw;
                    const std::string detail = writer_->waitfordisk(mypath, chname);
                    addlog("Error: " + std::string(e.what()) + " " + chname + detail);
                    return;
                }
            }
        } else {
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - voxstart).count();
            if ((ms < 0 ? -ms : ms) / 1000 >= voxtimer_.load(std::memory_order_relaxed)) {
                poststate(ChannelState::listening);
                if (active) {
                    writer_->closefile();
                    addlog("Record complete: " + chname);
                }
            }
        }
        if (writer_->fileopen() || writer_->waiting())
            writer_->writedata(bytes, dsize, dmax);
    } catch (const ERecordingInterrupted& e) {
        // The channel stays on; the writer_ starts a new file when the disk has room again.
        try {
            addlog("Error: " + std::string(e.what()) + " " + chname + e.detail());
        } catch (...) {
        }
    } catch (const std::exception& e) {
        fail(e.what());
    }
}

void TChannel::fail(const char* text) noexcept
{
    try {
        addlog("Error: " + std::string(text) + " " + chname);
    } catch (...) {
    }
    recording_.store(false, std::memory_order_relaxed);
    // Whatever the writer_ still holds open (an overlap file after a failed split) is finished;
    // its errors were reported by the line above already.
    try {
        writer_->closefile();
    } catch (...) {
    }
    lastposted_ = static_cast<int>(ChannelState::idle);
    try {
        mainqueue().post(ChannelStateMessage{int_id.load(std::memory_order_relaxed), static_cast<int>(ChannelState::idle)});
    } catch (...) {
    }
}

}  // namespace velk
