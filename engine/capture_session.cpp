#include "engine/capture_session.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "services/status_log.h"
#include "core/clock.h"
#include "engine/channel.h"
#include "engine/sample_converter.h"

namespace velk {

namespace {

constexpr std::size_t maxpoolblocks = 1024;
constexpr std::size_t minpoolblocks = 32;
constexpr std::size_t poolbytes = 32u << 20;
// The storage thread is woken once per this much audio (at most wakeupblocks blocks): blocks reach
// the channels a few tens of milliseconds after capture, well within a meter's refresh.
constexpr double wakeupspan = 0.040;
constexpr std::size_t wakeupblocks = 8;

// A float of full scale 1.0 as a 16-bit sample: x * volume rounded to the nearest integer, ties
// to even, clamped to the 16-bit range (float driver types can exceed full scale).
inline std::int16_t tosample(float x, double volume)
{
    const double y = roundtoeven(std::min(32767.0, std::max(-32768.0, static_cast<double>(x) * volume)));
    return static_cast<std::int16_t>(y);
}

// tosample() over `count` samples. GCC does not vectorise the clamp by itself (the comparisons
// may trap on NaN), so with SSE2 it is spelled out, two doubles at a time, giving the same result
// for every input: minpd(32767, v) caps v as std::min does and lets a NaN through; cvtpd2dq
// rounds to nearest, ties to even (the default rounding mode, which roundtoeven() relies on as
// well) and gives INT_MIN for a NaN or a value beyond the int range, and the saturating pack
// takes everything below -32768 (NaN included) to -32768, as std::max(-32768.0, v) does.
void tosamples(const float* x, std::int16_t* out, std::size_t count, double volume)
{
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128d vol = _mm_set1_pd(volume);
    const __m128d high = _mm_set1_pd(32767.0);
    auto convert2 = [&](__m128 f) {
        const __m128d v = _mm_min_pd(high, _mm_mul_pd(_mm_cvtps_pd(f), vol));
        return _mm_cvtpd_epi32(v);  // two ints in the low half
    };
    for (; i + 8 <= count; i += 8) {
        const __m128 a = _mm_loadu_ps(x + i);
        const __m128 b = _mm_loadu_ps(x + i + 4);
        const __m128i a03 = _mm_unpacklo_epi64(convert2(a), convert2(_mm_movehl_ps(a, a)));
        const __m128i b03 = _mm_unpacklo_epi64(convert2(b), convert2(_mm_movehl_ps(b, b)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packs_epi32(a03, b03));
    }
#endif
    for (; i < count; ++i)
        out[i] = tosample(x[i], volume);
}

// A block level is on the 0..32767 scale of a 16-bit sample: peaks above full scale (float
// driver types) are capped there, so no level reaches level 100's threshold (32768).
inline int level(double peak) { return static_cast<int>(roundtoeven(std::min(peak * 32767.0, 32767.0))); }

// One sample's step of an input's peak: multiplied by 0.999, replaced by a louder |x|.
inline float decay(float peak, float x)
{
    peak = static_cast<float>(peak * 0.999);
    const float a = std::fabs(x);
    return a > peak ? a : peak;
}

// tosample() and decay() over `inputs` rows of `frames` samples (x[j] -> out[j], peak[j]), in one
// pass: each sample is read once for its 16-bit value and its input's peak. GCC does not
// vectorise the clamp by itself (the comparisons may trap on NaN), so with SSE2 both are spelled
// out and give the same result for every input as the plain functions:
// - the sample: minpd(32767, v) caps v as std::min does and lets a NaN through; cvtpd2dq rounds
//   to nearest, ties to even (the default rounding mode, which roundtoeven() relies on as well)
//   and gives INT_MIN for a NaN or a value beyond the int range, and the saturating pack takes
//   everything below -32768 (NaN included) to -32768, as std::max(-32768.0, v) does;
// - the peak: four inputs share a register (a 4x4 transpose turns four samples of four inputs
//   into four steps), and each step is decay() lane by lane with the same operations in the same
//   precision (the widening, the product in double, the rounding back to float, the sign bit
//   cleared, and maxps(a, peak), which is a > peak ? a : peak, NaN included).
// Each input's peak is one chain of dependent steps; up to sixteen inputs side by side (and the
// conversions between them) let the processor overlap the chains.
#if defined(__SSE2__)
// Four inputs per group; returns how many samples were done (whole fours).
template <std::size_t groups>
std::size_t convertandpeaksgroups(const float* const* x, std::int16_t* const* out, std::size_t frames, float* peak,
                                  double volume)
{
    const __m128d vol = _mm_set1_pd(volume);
    const __m128d high = _mm_set1_pd(32767.0);
    const __m128d k = _mm_set1_pd(0.999);
    const __m128 sign = _mm_set1_ps(-0.0f);
    auto convert2 = [&](__m128 f) { return _mm_cvtpd_epi32(_mm_min_pd(high, _mm_mul_pd(_mm_cvtps_pd(f), vol))); };
    auto step = [&](__m128 p, __m128 s) {
        const __m128d lo = _mm_mul_pd(_mm_cvtps_pd(p), k);
        const __m128d hi = _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(p, p)), k);
        const __m128 d = _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi));
        return _mm_max_ps(_mm_andnot_ps(sign, s), d);
    };
    __m128 p[groups];
    for (std::size_t g = 0; g < groups; ++g)
        p[g] = _mm_loadu_ps(peak + 4 * g);
    std::size_t i = 0;
    for (; i + 4 <= frames; i += 4) {
        __m128 a[groups][4];
        for (std::size_t g = 0; g < groups; ++g) {
            for (std::size_t j = 0; j < 4; ++j) {
                const __m128 v = _mm_loadu_ps(x[4 * g + j] + i);
                const __m128i n = _mm_unpacklo_epi64(convert2(v), convert2(_mm_movehl_ps(v, v)));
                _mm_storel_epi64(reinterpret_cast<__m128i*>(out[4 * g + j] + i), _mm_packs_epi32(n, n));
                a[g][j] = v;
            }
            _MM_TRANSPOSE4_PS(a[g][0], a[g][1], a[g][2], a[g][3]);
        }
        for (std::size_t t = 0; t < 4; ++t)
            for (std::size_t g = 0; g < groups; ++g)
                p[g] = step(p[g], a[g][t]);
    }
    for (std::size_t g = 0; g < groups; ++g)
        _mm_storeu_ps(peak + 4 * g, p[g]);
    return i;
}
#endif

#if defined(__x86_64__)
// The same with the doubles four to a register, on processors that have AVX2 (chosen at run
// time): the same operations in the same precision, lane by lane.
template <std::size_t groups>
__attribute__((target("avx2"))) std::size_t convertandpeaksgroupsavx2(const float* const* x, std::int16_t* const* out,
                                                                      std::size_t frames, float* peak, double volume)
{
    const __m256d vol = _mm256_set1_pd(volume);
    const __m256d high = _mm256_set1_pd(32767.0);
    const __m256d k = _mm256_set1_pd(0.999);
    const __m128 sign = _mm_set1_ps(-0.0f);
    __m128 p[groups];
    for (std::size_t g = 0; g < groups; ++g)
        p[g] = _mm_loadu_ps(peak + 4 * g);
    std::size_t i = 0;
    for (; i + 4 <= frames; i += 4) {
        __m128 a[groups][4];
        for (std::size_t g = 0; g < groups; ++g) {
            for (std::size_t j = 0; j < 4; ++j) {
                const __m128 v = _mm_loadu_ps(x[4 * g + j] + i);
                const __m128i n = _mm256_cvtpd_epi32(_mm256_min_pd(high, _mm256_mul_pd(_mm256_cvtps_pd(v), vol)));
                _mm_storel_epi64(reinterpret_cast<__m128i*>(out[4 * g + j] + i), _mm_packs_epi32(n, n));
                a[g][j] = v;
            }
            _MM_TRANSPOSE4_PS(a[g][0], a[g][1], a[g][2], a[g][3]);
        }
        for (std::size_t t = 0; t < 4; ++t)
            for (std::size_t g = 0; g < groups; ++g) {
                const __m128 d = _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtps_pd(p[g]), k));
                p[g] = _mm_max_ps(_mm_andnot_ps(sign, a[g][t]), d);
            }
    }
    for (std::size_t g = 0; g < groups; ++g)
        _mm_storeu_ps(peak + 4 * g, p[g]);
    return i;
}

const bool haveavx2 = __builtin_cpu_supports("avx2");
#endif

template <std::size_t groups>
std::size_t convertandpeaksof(const float* const* x, std::int16_t* const* out, std::size_t frames, float* peak,
                              double volume)
{
#if defined(__x86_64__)
    if (haveavx2)
        return convertandpeaksgroupsavx2<groups>(x, out, frames, peak, volume);
#endif
#if defined(__SSE2__)
    return convertandpeaksgroups<groups>(x, out, frames, peak, volume);
#else
    return 0;
#endif
}

void convertandpeaks(const float* const* x, std::int16_t* const* out, std::size_t inputs, std::size_t frames,
                     float* peak, double volume)
{
    std::size_t i = 0;
    switch (inputs) {
    case 16: i = convertandpeaksof<4>(x, out, frames, peak, volume); break;
    case 12: i = convertandpeaksof<3>(x, out, frames, peak, volume); break;
    case 8: i = convertandpeaksof<2>(x, out, frames, peak, volume); break;
    case 4: i = convertandpeaksof<1>(x, out, frames, peak, volume); break;
    default:
        // Fewer than four inputs: the samples on their own, the peaks one step at a time.
        for (std::size_t j = 0; j < inputs; ++j) {
            tosamples(x[j], out[j], frames, volume);
            for (std::size_t n = 0; n < frames; ++n)
                peak[j] = decay(peak[j], x[j][n]);
        }
        return;
    }
    for (; i < frames; ++i)
        for (std::size_t j = 0; j < inputs; ++j) {
            out[j][i] = tosample(x[j][i], volume);
            peak[j] = decay(peak[j], x[j][i]);
        }
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
        // Woken once per batch of blocks; a batch the driver left unfinished (it paused or
        // stopped) is delivered when the wait runs out.
        static_cast<void>(card_.wakeup_.try_acquire_for(card_.waitlimit_));
        card_.deliver();
    }
    // The driver has stopped before termination was asked for: what it queued is still delivered.
    card_.deliver();
}

// --- TSCapture ---

TSCapture::TSCapture(const TDavAsioDriverList& drivers, int index, int rate)
{
    format_ = pcmformat(static_cast<std::uint32_t>(rate), 1, 16);
    host_ = std::make_unique<TAsioHost>();
    if (index >= 0 && static_cast<std::size_t>(index) < drivers.count())
        name_ = drivers.item(static_cast<std::size_t>(index)).name;
    host_->setDriverIndex(drivers, index);
    host_->OnBufferSwitch32 = [this](TAsioHost&, float* const* inputs, float* const*) { bufferswitch(inputs); };
    sethandlers();
    peaks_.assign(static_cast<std::size_t>(std::max(0, host_->InputChannelCount())), 0.0f);
    host_->setSampleRate(rate);
    refreshrate();
}

TSCapture::TSCapture(std::string name, int rate, Absent) : name_(std::move(name))
{
    format_ = pcmformat(static_cast<std::uint32_t>(rate), 1, 16);
    host_ = std::make_unique<TAsioHost>();
    sethandlers();
    actualrate_ = rate;
    devicelost_ = true;
}

void TSCapture::sethandlers()
{
    host_->OnReset = [this](TAsioHost&) { onreset(); };
    host_->OnLatencyChanged = [this](TAsioHost&) { onlatencychanged(); };
    host_->OnSampleRateChanged = [this](TAsioHost&) { onsampleratechanged(); };
    host_->OnReopened = [this](TAsioHost&) { onreopened(); };
    host_->OnLost = [this](TAsioHost&, const std::string& why) { declarelost(why); };
}

TSCapture::~TSCapture()
{
    stop();
    host_.reset();
}

void TSCapture::refreshrate()
{
    // Without a driver the host's rate means nothing: the card counts as running at its own.
    actualrate_ = host_->DriverIndex() < 0 ? configuredrate() : static_cast<int>(std::lround(host_->SampleRate()));
}

void TSCapture::rebuildformats()
{
    std::lock_guard lock(cardlock());
    for (TChannel* channel : channellist())
        if (channel)
            channel->setformat(format_);
}

void TSCapture::restartwithformat()
{
    refreshrate();
    rebuildformats();
    start();
    switchchannelsback();
}

void TSCapture::start()
{
    if (devicelost_) {
        resume_ = true;
        return;
    }
    if (!stopped_)
        return;
    stopped_ = false;
    quietchecks_ = 0;
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
    // One wake-up per batch of at most wakeupblocks blocks, as many as fit in wakeupspan; the
    // storage thread waits no longer than two batches take.
    const double blockseconds = static_cast<double>(std::max<std::size_t>(1, frames_)) /
                                std::max(1.0, host_->SampleRate());
    batch_ = std::clamp<std::size_t>(static_cast<std::size_t>(wakeupspan / blockseconds), 1, wakeupblocks);
    pending_ = 0;
    waitlimit_ = std::chrono::microseconds(
        std::max<std::int64_t>(1000, static_cast<std::int64_t>(2e6 * blockseconds * static_cast<double>(batch_))));
    if (peaks_.size() != inputs_)
        peaks_.assign(inputs_, 0.0f);
    while (wakeup_.try_acquire()) {
    }
    thread_ = std::make_unique<TStorageThread>(*this);
    // A reset may have left the new driver instance streaming on its own; the handler is only
    // changed while the host is inactive.
    host_->setActive(false);
    host_->OnBufferSwitch32 = [this](TAsioHost&, float* const* inputs, float* const*) { bufferswitch(inputs); };
    host_->setActive(true);
}

void TSCapture::stop()
{
    if (devicelost_) {
        resume_ = false;
        return;
    }
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
    if (++pending_ >= batch_) {
        pending_ = 0;
        wakeup_.release();
    }
    buffers_.fetch_add(1, std::memory_order_relaxed);
}

// Storage thread.
void TSCapture::deliver()
{
    // Driver cards have no input volume: full scale maps to 32767.
    constexpr double volume = 32767.0;
    float* block = nullptr;
    while (filled_.pop(block)) {
        // Sixteen inputs at a time, then fours, then the rest one by one.
        for (std::size_t c = 0; c < inputs_;) {
            const std::size_t n = inputs_ - c >= 16 ? 16 : inputs_ - c >= 4 ? (inputs_ - c) / 4 * 4 : 1;
            float peak[16];
            const float* x[16];
            std::int16_t* out[16];
            for (std::size_t j = 0; j < n; ++j) {
                peak[j] = peaks_[c + j];
                x[j] = block + (c + j) * frames_;
                out[j] = samples_.data() + (c + j) * frames_;
            }
            convertandpeaks(x, out, n, frames_, peak, volume);
            for (std::size_t j = 0; j < n; ++j)
                peaks_[c + j] = flush(peak[j]);
            c += n;
        }
        {
            std::lock_guard lock(cardlock());
            for (TChannel* channel : channellist()) {
                if (!channel)
                    continue;
                const auto sel = static_cast<std::size_t>(channel->input());
                if (!channel->stereo()) {
                    if (channel->input() < 0 || sel >= inputs_)
                        continue;
                    channel->process(samples_.data() + sel * frames_, static_cast<std::uint32_t>(frames_ * 2),
                                     level(peaks_[sel]));
                } else {
                    if (channel->input() < 0 || 2 * sel + 1 >= inputs_)
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
        if (channel && channel->recording())
            channel->startrecording();
}

void TSCapture::setsamplerate(int rate, int bits)
{
    format_ = pcmformat(static_cast<std::uint32_t>(rate), 1, static_cast<std::uint16_t>(bits));
    host_->setSampleRate(rate);
    restartwithformat();
}

int TSCapture::inputcount(bool stereo) const
{
    const int n = host_->InputChannelCount();
    return stereo ? n / 2 : n;
}

std::string TSCapture::inputname(int i, bool stereo) const
{
    if (devicelost_)
        return {};  // not known until the card is back
    auto name = [this](int k) { return std::string(host_->InputChannelInfo(k).name, strnlen(host_->InputChannelInfo(k).name, 32)); };
    if (!stereo)
        return name(i);
    return name(2 * i) + " + " + name(2 * i + 1);
}

// --- driver notifications (main thread) ---

void TSCapture::restartcard()
{
    stop();
    const int before = actualrate_.load();
    refreshrate();
    if (actualrate_.load() == before) {
        start();
        return;
    }
    // The writers must not go on at the old rate: they are rebuilt (finishing their recordings)
    // and the channels that were on start again in new files.
    rebuildformats();
    start();
    switchchannelsback();
}

void TSCapture::onreset()
{
    addlog("Reset Command received for card: " + std::to_string(host_->DriverIndex()));
    if (devicelost_ || stopped_)
        return;  // an idle card stays idle; the host re-opens the driver either way
    stop();
    start();
    // The old instance refusing to start means its device is gone (a server that ended): the
    // recordings end here, whether or not the re-open that follows brings the card back at once.
    if (!host_->Active())
        declarelost("the driver stopped");
}

void TSCapture::onlatencychanged()
{
    if (devicelost_)
        return;  // re-opening: restore() follows
    addlog("Latency changed to " + std::to_string(host_->InputLatency()) +
           " for card: " + std::to_string(host_->DriverIndex()));
    if (stopped_)
        return;
    restartcard();
}

void TSCapture::onsampleratechanged()
{
    addlog("Sampling Rate changed to " + std::to_string(std::lround(host_->SampleRate())) +
           " for card: " + std::to_string(host_->DriverIndex()));
    if (devicelost_)
        return;
    const bool running = !stopped_;
    stop();
    // The channels' writers are rebuilt from the new actual rate, so no recording carries the
    // old one; the channels that were on start again in new files.
    refreshrate();
    rebuildformats();
    if (running) {
        start();
        switchchannelsback();
    }
}

void TSCapture::onreopened()
{
    if (devicelost_)
        restore();
}

// --- lost and back (main thread) ---

void TSCapture::declarelost(const std::string& why)
{
    if (devicelost_)
        return;
    const bool running = !stopped_;
    stop();
    devicelost_ = true;
    resume_ = running;
    addlog("Sound card lost: " + name_ + (why.empty() ? "" : " (" + why + ")") + ", retrying every 2 seconds");
    std::lock_guard lock(cardlock());
    for (TChannel* channel : channellist())
        if (channel)
            channel->inputlost();
}

bool TSCapture::replacestandin(const TDavAsioDriverList& list)
{
    if (!standin_)
        return false;
    std::size_t i = 0;
    while (i < list.count() && list.item(i).standin)
        ++i;
    if (i == list.count())
        return false;
    addlog("Sound card found: " + list.item(i).name + ", recording from it instead of " + name_);
    // As a loss and a return: the test signal's recordings end, the real card's begin.
    const bool running = !stopped_;
    stop();
    {
        std::lock_guard lock(cardlock());
        for (TChannel* channel : channellist())
            if (channel)
                channel->inputlost();
    }
    devicelost_ = true;
    resume_ = running;
    standin_ = false;
    name_ = list.item(i).name;
    bool opened = false;
    try {
        opened = host_->reopen(list, name_);
    } catch (const std::exception&) {
    }
    if (opened)
        restore(false);
    return true;
}

void TSCapture::restore(bool announce)
{
    devicelost_ = false;
    peaks_.assign(static_cast<std::size_t>(std::max(0, host_->InputChannelCount())), 0.0f);
    host_->setSampleRate(configuredrate());
    refreshrate();
    // The writers were finished when the card was lost; new ones take the rate the card has now.
    rebuildformats();
    if (announce)
        addlog("Sound card back: " + name_);
    if (!resume_)
        return;
    resume_ = false;
    start();
    switchchannelsback();
}

void TSCapture::checkdevice(const TDavAsioDriverList& current)
{
    if (devicelost_) {
        bool opened = false;
        try {
            opened = host_->reopen(current, name_);
        } catch (const std::exception&) {
            // Still failing: the loss was reported once; the next check tries again.
        }
        if (opened)
            restore();
        return;
    }
    if (stopped_) {
        quietchecks_ = 0;
        return;
    }
    if (!host_->Active()) {
        declarelost("the driver is not streaming");
        return;
    }
    // Checks closer together than the watch's period (one on request, right after another) say
    // nothing about a driver that fell silent: only those a second or more apart are counted.
    const auto now = appclock().monotonic();
    if (quietcounted_ && now - lastquietcheck_ < std::chrono::seconds(1))
        return;
    quietcounted_ = true;
    lastquietcheck_ = now;
    const std::uint64_t buffers = buffers_.load(std::memory_order_relaxed);
    quietchecks_ = buffers == checkedbuffers_ ? quietchecks_ + 1 : 0;
    checkedbuffers_ = buffers;
    if (quietchecks_ >= 2)
        declarelost("no audio from the driver");
}

}  // namespace velk
