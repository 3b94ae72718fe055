#include "engine/capture_session.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include "config/status_log.h"
#include "engine/channel.h"
#include "engine/sample_converter.h"

namespace velk {

namespace {

constexpr std::size_t maxpoolblocks = 1024;
constexpr std::size_t minpoolblocks = 32;
constexpr std::size_t poolbytes = 32u << 20;

// A float of full scale 1.0 as a 16-bit sample: x * volume rounded to the nearest integer, ties
// to even, clamped to the 16-bit range (float driver types can exceed full scale).
inline std::int16_t tosample(float x, double volume)
{
    const double y = roundtoeven(std::min(32767.0, std::max(-32768.0, static_cast<double>(x) * volume)));
    return static_cast<std::int16_t>(y);
}

// Levels above full scale (float driver types) are kept, but bounded to stay an int.
inline int level(double peak) { return static_cast<int>(roundtoeven(std::min(peak * 32767.0, 2147483647.0))); }

// One sample's step of an input's peak: multiplied by 0.999, replaced by a louder |x|.
inline float decay(float peak, float x)
{
    peak = static_cast<float>(peak * 0.999);
    const float a = std::fabs(x);
    return a > peak ? a : peak;
}

// Below this the level is 0 anyway; flushing spares the processor denormal arithmetic during long
// silences.
inline float flush(float peak) { return peak < 1e-20f ? 0.0f : peak; }

}  // namespace

// --- TStorageThread ---

TStorageThread::TStorageThread(TSCapture& card) : card_(card)
{
    thread_ = std::thread([this] { execute(); });
}

TStorageThread::~TStorageThread()
{
    terminated_ = true;
    card_.wakeup_.release();
    if (thread_.joinable())
        thread_.join();
}

void TStorageThread::execute()
{
    // One step above normal priority where the system allows it; without the right to raise
    // priority the thread simply runs at normal priority.
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), -1);
    while (!terminated_.load()) {
        if (!card_.wakeup_.try_acquire_for(std::chrono::milliseconds(5000)))
            continue;
        card_.deliver();
    }
    // The driver has stopped before termination was asked for: what it queued is still delivered.
    card_.deliver();
}

// --- TSCapture ---

TSCapture::TSCapture(int index, int rate)
{
    format = pcmformat(static_cast<std::uint32_t>(rate), 1, 16);
    host_ = std::make_unique<TAsioHost>();
    host_->setDriverIndex(index);
    host_->OnBufferSwitch32 = [this](TAsioHost&, float* const* inputs, float* const*) { bufferswitch(inputs); };
    host_->OnReset = [this](TAsioHost&) { onreset(); };
    host_->OnLatencyChanged = [this](TAsioHost&) { onlatencychanged(); };
    host_->OnSampleRateChanged = [this](TAsioHost&) { onsampleratechanged(); };
    peaks_.assign(static_cast<std::size_t>(std::max(0, host_->InputChannelCount())), 0.0f);
    host_->setSampleRate(rate);
    refreshrate();
}

TSCapture::~TSCapture()
{
    stop();
    host_.reset();
}

void TSCapture::refreshrate() { actualrate_ = static_cast<int>(std::lround(host_->SampleRate())); }

void TSCapture::start()
{
    if (!stopped_)
        return;
    stopped_ = false;
    inputs_ = static_cast<std::size_t>(std::max(0, host_->InputChannelCount()));
    frames_ = static_cast<std::size_t>(std::max(0, host_->BufferSize()));
    const std::size_t blockfloats = inputs_ * frames_;
    const std::size_t blockbytes = std::max<std::size_t>(1, blockfloats * sizeof(float));
    const std::size_t blocks = std::clamp(poolbytes / blockbytes, minpoolblocks, maxpoolblocks);
    filled_.resize(blocks);
    free_.resize(blocks);
    pool_.clear();
    for (std::size_t k = 0; k < blocks; ++k) {
        pool_.push_back(std::make_unique<float[]>(std::max<std::size_t>(1, blockfloats)));
        free_.push(pool_.back().get());
    }
    samples_.assign(blockfloats, 0);
    pair_.assign(blockfloats, 0);
    if (peaks_.size() != inputs_)
        peaks_.assign(inputs_, 0.0f);
    while (wakeup_.try_acquire()) {
    }
    thread_ = std::make_unique<TStorageThread>(*this);
    host_->OnBufferSwitch32 = [this](TAsioHost&, float* const* inputs, float* const*) { bufferswitch(inputs); };
    host_->setActive(true);
}

void TSCapture::stop()
{
    if (stopped_)
        return;
    stopped_ = true;
    host_->setActive(false);
    host_->OnBufferSwitch32 = nullptr;
    thread_.reset();
    samples_.clear();
    pair_.clear();
    float* block = nullptr;
    while (free_.pop(block)) {
    }
    while (filled_.pop(block)) {
    }
    pool_.clear();
}

// Driver's buffer thread: one pooled block per buffer, or a counted loss when the pool is dry.
void TSCapture::bufferswitch(float* const* inputs)
{
    float* block = nullptr;
    if (!free_.pop(block)) {
        lost_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    for (std::size_t c = 0; c < inputs_; ++c)
        std::memcpy(block + c * frames_, inputs[c], frames_ * sizeof(float));
    filled_.push(block);
    wakeup_.release();
}

// Storage thread.
void TSCapture::deliver()
{
    const double volume = volumeleft;
    float* block = nullptr;
    while (filled_.pop(block)) {
        for (std::size_t c = 0; c < inputs_; ++c) {
            const float* x = block + c * frames_;
            std::int16_t* out = samples_.data() + c * frames_;
            for (std::size_t i = 0; i < frames_; ++i)
                out[i] = tosample(x[i], volume);
        }
        // The decaying peaks: each sample multiplies the peak by 0.999, then a louder sample
        // replaces it. Each input is one chain of dependent steps; running several inputs side by
        // side lets the processor overlap the chains.
        constexpr std::size_t lanes = 8;
        std::size_t c = 0;
        for (; c + lanes <= inputs_; c += lanes) {
            float peak[lanes];
            const float* x[lanes];
            for (std::size_t j = 0; j < lanes; ++j) {
                peak[j] = peaks_[c + j];
                x[j] = block + (c + j) * frames_;
            }
            for (std::size_t i = 0; i < frames_; ++i)
                for (std::size_t j = 0; j < lanes; ++j)
                    peak[j] = decay(peak[j], x[j][i]);
            for (std::size_t j = 0; j < lanes; ++j)
                peaks_[c + j] = flush(peak[j]);
        }
        for (; c < inputs_; ++c) {
            const float* x = block + c * frames_;
            float peak = peaks_[c];
            for (std::size_t i = 0; i < frames_; ++i)
                peak = decay(peak, x[i]);
            peaks_[c] = flush(peak);
        }
        {
            std::lock_guard lock(cardlock());
            for (TChannel* channel : channellist()) {
                if (!channel)
                    continue;
                const auto sel = static_cast<std::size_t>(channel->leftright);
                if (!channel->stereo) {
                    if (channel->leftright < 0 || sel >= inputs_)
                        continue;
                    channel->process(samples_.data() + sel * frames_, static_cast<std::uint32_t>(frames_ * 2),
                                     level(peaks_[sel]));
                } else {
                    if (channel->leftright < 0 || 2 * sel + 1 >= inputs_)
                        continue;
                    const std::int16_t* l = samples_.data() + 2 * sel * frames_;
                    const std::int16_t* r = l + frames_;
                    for (std::size_t i = 0; i < frames_; ++i) {
                        pair_[2 * i] = l[i];
                        pair_[2 * i + 1] = r[i];
                    }
                    const float sum = peaks_[2 * sel] + peaks_[2 * sel + 1];
                    channel->process(pair_.data(), static_cast<std::uint32_t>(frames_ * 4), level(sum / 2.0));
                }
            }
        }
        free_.push(block);
    }
    const std::uint64_t lost = lost_.load(std::memory_order_relaxed);
    if (lost != reportedlost_) {
        addlog("Buffers lost: " + std::to_string(lost - reportedlost_) + " for card: " +
               std::to_string(host_->DriverIndex()));
        reportedlost_ = lost;
    }
}

void TSCapture::switchchannelsback()
{
    std::lock_guard lock(cardlock());
    for (TChannel* channel : channellist())
        if (channel && channel->recording)
            channel->startrecording();
}

void TSCapture::setsamplerate(int rate, int bits)
{
    format = pcmformat(static_cast<std::uint32_t>(rate), 1, static_cast<std::uint16_t>(bits));
    host_->setSampleRate(rate);
    refreshrate();
    {
        std::lock_guard lock(cardlock());
        for (TChannel* channel : channellist())
            if (channel)
                channel->setformat(format);
    }
    start();
    switchchannelsback();
}

int TSCapture::inputcount(bool stereo) const
{
    const int n = host_->InputChannelCount();
    return stereo ? n / 2 : n;
}

std::string TSCapture::inputname(int i, bool stereo) const
{
    auto name = [this](int k) { return std::string(host_->InputChannelInfo(k).name, strnlen(host_->InputChannelInfo(k).name, 32)); };
    if (!stereo)
        return name(i);
    return name(2 * i) + " + " + name(2 * i + 1);
}

// --- driver notifications (main thread) ---

void TSCapture::onreset()
{
    addlog("Reset Command received for card: " + std::to_string(host_->DriverIndex()));
    stop();
    start();
}

void TSCapture::onlatencychanged()
{
    addlog("Latency changed to " + std::to_string(host_->InputLatency()) +
           " for card: " + std::to_string(host_->DriverIndex()));
    stop();
    start();
}

void TSCapture::onsampleratechanged()
{
    addlog("Sampling Rate changed to " + std::to_string(std::lround(host_->SampleRate())) +
           " for card: " + std::to_string(host_->DriverIndex()));
    stop();
    // The channels' writers are rebuilt from the new actual rate, so no recording carries the
    // old one; the channels that were on start again in new files.
    refreshrate();
    {
        std::lock_guard lock(cardlock());
        for (TChannel* channel : channellist())
            if (channel)
                channel->setformat(format);
    }
    start();
    switchchannelsback();
}

}  // namespace velk
