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
    : voxstart(appclock().monotonic()), owner(src), chname(cn), leftright(ch), stereo(mstereo), settings_(settings)
{
    setvoxlevel(10);
    PCM = pcmformat(configuredrateof(src, settings_), stereo ? 2 : 1, 16);
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
    writer.reset();
}

void TChannel::makewriter()
{
    const tWAVEFORMATEX infmt = pcmformat(actualrateof(owner, settings_), PCM.nChannels, 16);
    writer = std::make_unique<WAVwriter>(*this, PCM, infmt, settings_);
}

void TChannel::setvoxlevel(int level)
{
    fvoxlevel.store(level, std::memory_order_relaxed);
    threshold.store(voxthreshold(level), std::memory_order_relaxed);
}

void TChannel::setvoxtimer(int tm)
{
    voxtimer.store(tm, std::memory_order_relaxed);
}

void TChannel::setinput(int ch, bool mstereo)
{
    stereo = mstereo;
    leftright = ch;
    setformat(PCM);
}

void TChannel::setformat(const tWAVEFORMATEX& fmt)
{
    const std::uint32_t rate = fmt.nSamplesPerSec;
    writer.reset();
    PCM = pcmformat(rate, stereo ? 2 : 1, 16);
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

void TChannel::poststate(int code)
{
    if (code == 2 && lastposted_ == 2)
        return;
    lastposted_ = code;
    mainqueue().post(ChannelStateMessage{int_id.load(std::memory_order_relaxed), code});
}

void TChannel::startrecording()
{
    auto lock = lockcard(owner);
    recording.store(true, std::memory_order_relaxed);
    if (owner && owner->inputlost()) {
        poststate(channelnoinput);
        return;
    }
    if (voxmode.load(std::memory_order_relaxed) == 1) {
        try {
            writer->newfile(mypath, chname, appclock().now());
            poststate(1);
            addlog("Record started: " + chname);
        } catch (const std::exception& e) {
            addlog("Error: " + std::string(e.what()) + " " + chname);
            recording.store(false, std::memory_order_relaxed);
        }
    } else {
        lastposted_ = -1;  // arming always tells the panel
        poststate(2);
        addlog("VOX Activated for: " + chname);
    }
}

void TChannel::inputlost()
{
    auto lock = lockcard(owner);
    if (writer && (writer->fileopen() || writer->overlapopen())) {
        try {
            writer->closefile();
        } catch (const std::exception& e) {
            addlog("Error: " + std::string(e.what()) + " " + chname);
        }
        addlog("Record complete: " + chname);
    }
    if (recording.load(std::memory_order_relaxed))
        poststate(channelnoinput);
}

void TChannel::stoprecording()
{
    {
        auto lock = lockcard(owner);
        recording.store(false, std::memory_order_relaxed);
        if (writer && (writer->fileopen() || writer->waiting())) {
            try {
                writer->closefile();
            } catch (const std::exception& e) {
                addlog("Error: " + std::string(e.what()) + " " + chname);
            }
            addlog("Record complete: " + chname);
        }
        lastposted_ = 0;
    }
    mainqueue().post(ChannelStateMessage{int_id.load(std::memory_order_relaxed), 0});
}

void TChannel::process(const std::int16_t* data, std::uint32_t dsize, int dmax)
{
    drawlevel.store(dmax, std::memory_order_relaxed);
    if (!writer || !recording.load(std::memory_order_relaxed))
        return;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
    try {
        if (voxmode.load(std::memory_order_relaxed) == 1) {
            writer->writedata(bytes, dsize, dmax);
            return;
        }
        const Mono now = appclock().monotonic();
        // A recording the disk cut off is still running: the writer opens its next file.
        const bool active = writer->fileopen() || writer->waiting();
        if (dmax > threshold.load(std::memory_order_relaxed)) {
            voxstart = now;
            if (!active) {
                poststate(1);
                addlog("Record started: " + chname);
                try {
                    writer->newfile(mypath, chname, appclock().now());
                } catch (const std::exception& e) {
                    if (!writer->diskfull())
                        throw;
                    const std::string detail = writer->waitfordisk(mypath, chname);
                    addlog("Error: " + std::string(e.what()) + " " + chname + detail);
                    return;
                }
            }
        } else {
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - voxstart).count();
            if ((ms < 0 ? -ms : ms) / 1000 >= voxtimer.load(std::memory_order_relaxed)) {
                poststate(2);
                if (active) {
                    writer->closefile();
                    addlog("Record complete: " + chname);
                }
            }
        }
        if (writer->fileopen() || writer->waiting())
            writer->writedata(bytes, dsize, dmax);
    } catch (const ERecordingInterrupted& e) {
        // The channel stays on; the writer starts a new file when the disk has room again.
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
    recording.store(false, std::memory_order_relaxed);
    // Whatever the writer still holds open (an overlap file after a failed split) is finished;
    // its errors were reported by the line above already.
    try {
        writer->closefile();
    } catch (...) {
    }
    lastposted_ = 0;
    try {
        mainqueue().post(ChannelStateMessage{int_id.load(std::memory_order_relaxed), 0});
    } catch (...) {
    }
}

}  // namespace velk
