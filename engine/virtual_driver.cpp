#include "engine/virtual_driver.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numbers>

#include "core/byte_order.h"
#include "core/errors.h"
#include "engine/sample_converter.h"

namespace velk {

namespace {

// The first channel of a 16-bit PCM WAV file as floats; empty when the file is not one.
std::vector<float> loadwav(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<float> samples;
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) || std::memcmp(bytes.data() + 8, "WAVE", 4))
        return samples;
    std::size_t pos = 12;
    int channels = 0, bits = 0;
    while (pos + 8 <= bytes.size()) {
        const std::uint32_t size = le::get32(&bytes[pos + 4]);
        const std::size_t body = pos + 8;
        if (size > bytes.size() - body)
            break;
        if (!std::memcmp(&bytes[pos], "fmt ", 4) && size >= 16) {
            if (le::get16(&bytes[body]) != 1)
                return samples;
            channels = le::get16(&bytes[body + 2]);
            bits = le::get16(&bytes[body + 14]);
        } else if (!std::memcmp(&bytes[pos], "data", 4)) {
            if (channels < 1 || bits != 16)
                return samples;
            const std::size_t frame = 2u * channels;
            for (std::size_t f = 0; f + frame <= size; f += frame)
                samples.push_back(static_cast<std::int16_t>(le::get16(&bytes[body + f])) / 32767.0f);
            return samples;
        }
        pos = body + size + (size & 1);
    }
    return samples;
}

}  // namespace

// One period of a sine, shared by all generators.
const std::vector<float>& sinetable()
{
    static const std::vector<float> table = [] {
        std::vector<float> t(1u << 12);
        for (std::size_t i = 0; i < t.size(); ++i)
            t[i] = static_cast<float>(std::sin(2 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(t.size())));
        return t;
    }();
    return table;
}

// The signal of one input from a given frame on. Sines are read from a 4096-point table with a
// 32-bit phase accumulator (a test signal, cheap enough for 256 free-running inputs).
struct VirtualDriver::Generator {
    VirtualSignal signal;
    double rate = 48000;
    std::uint32_t phase = 0, step = 0;
    std::uint64_t period = 0, onframes = 0;
    std::vector<float> table;

    Generator(const VirtualSignal& sig, double r, std::uint64_t position) : signal(sig), rate(r)
    {
        if (signal.kind == VirtualSignal::wavfile) {
            table = loadwav(signal.path);
            if (table.empty())
                signal.kind = VirtualSignal::silence;
        }
        step = static_cast<std::uint32_t>(std::llround(std::fmod(signal.frequency / rate, 1.0) * 4294967296.0));
        phase = static_cast<std::uint32_t>(position * step);
        onframes = static_cast<std::uint64_t>(signal.onseconds * rate);
        period = onframes + static_cast<std::uint64_t>(signal.offseconds * rate);
        if (period == 0)
            period = 1;
    }

    void generate(float* out, std::size_t count, std::uint64_t position)
    {
        switch (signal.kind) {
        case VirtualSignal::silence:
            std::fill(out, out + count, 0.0f);
            return;
        case VirtualSignal::ramp:
            for (std::size_t i = 0; i < count; ++i) {
                const auto n = static_cast<std::int64_t>((position + i + static_cast<std::uint64_t>(signal.offset)) % 20000);
                out[i] = static_cast<float>(static_cast<double>(n - 10000) / 32767.0);
            }
            return;
        case VirtualSignal::wavfile:
            for (std::size_t i = 0; i < count; ++i)
                out[i] = table[(position + i) % table.size()];
            return;
        case VirtualSignal::sine:
        case VirtualSignal::bursts:
            break;
        }
        const float a = static_cast<float>(signal.amplitude);
        const float* sine = sinetable().data();
        if (signal.kind == VirtualSignal::sine) {
            for (std::size_t i = 0; i < count; ++i, phase += step)
                out[i] = a * sine[phase >> 20];
            return;
        }
        for (std::size_t i = 0; i < count; ++i, phase += step) {
            const bool on = (position + i) % period < onframes;
            out[i] = on ? a * sine[phase >> 20] : 0.0f;
        }
    }
};

// --- VirtualControl ---

bool VirtualControl::requestreset()
{
    std::lock_guard lock(mutex_);
    return driver_ && (driver_->callbacks_.message(kAsioResetRequest), true);
}

bool VirtualControl::requestbuffersizechange()
{
    std::lock_guard lock(mutex_);
    return driver_ && (driver_->callbacks_.message(kAsioBufferSizeChange), true);
}

bool VirtualControl::reportlatencychange()
{
    std::lock_guard lock(mutex_);
    return driver_ && (driver_->callbacks_.message(kAsioLatenciesChanged), true);
}

bool VirtualControl::reportsamplerate(double rate)
{
    std::lock_guard lock(mutex_);
    if (!driver_)
        return false;
    driver_->rate_ = rate;
    return driver_->callbacks_.ratechanged(rate);
}

// --- VirtualDriver ---

VirtualDriver::VirtualDriver(std::shared_ptr<VirtualDriverSettings> settings) : settings_(std::move(settings))
{
    if (!settings_->control)
        settings_->control = std::make_shared<VirtualControl>();
    rate_ = settings_->rate;
}

VirtualDriver::~VirtualDriver()
{
    {
        std::lock_guard lock(settings_->control->mutex_);
        if (settings_->control->driver_ == this)
            settings_->control->driver_ = nullptr;
    }
    stop();
    disposeBuffers();
}

ASIOBool VirtualDriver::init(void*)
{
    if (settings_->failinit) {
        error_ = "Virtual card failure requested at init";
        return 0;
    }
    initialised_ = true;
    std::lock_guard lock(settings_->control->mutex_);
    settings_->control->driver_ = this;
    return 1;
}

void VirtualDriver::getDriverName(char* name) { copydrivertext(name, 32, settings_->name); }

void VirtualDriver::getErrorMessage(char* string) { copydrivertext(string, 124, error_); }

ASIOError VirtualDriver::start()
{
    if (!initialised_ || buffersize_ == 0)
        return ASE_InvalidMode;
    if (settings_->failstart) {
        error_ = "Virtual card failure requested at start";
        return ASE_HWMalfunction;
    }
    if (running_)
        return ASE_OK;
    // The stream continues where the previous instance of this card stopped.
    position_ = settings_->control->position_.load();
    generators_.clear();
    for (std::int32_t i = 0; i < settings_->inputs; ++i) {
        const VirtualSignal sig = i < static_cast<std::int32_t>(settings_->signals.size()) ? settings_->signals[i] : VirtualSignal{};
        generators_.push_back(std::make_unique<Generator>(sig, rate_.load(), position_.load()));
    }
    running_ = true;
    thread_ = std::thread([this] { run(); });
    return ASE_OK;
}

ASIOError VirtualDriver::stop()
{
    running_ = false;
    if (thread_.joinable())
        thread_.join();
    return ASE_OK;
}

ASIOError VirtualDriver::getChannels(std::int32_t* numInputChannels, std::int32_t* numOutputChannels)
{
    *numInputChannels = settings_->inputs;
    *numOutputChannels = settings_->outputs;
    return initialised_ ? ASE_OK : ASE_NotPresent;
}

ASIOError VirtualDriver::getLatencies(std::int32_t* inputLatency, std::int32_t* outputLatency)
{
    *inputLatency = settings_->inputlatency;
    *outputLatency = settings_->outputlatency;
    return ASE_OK;
}

ASIOError VirtualDriver::getBufferSize(std::int32_t* minSize, std::int32_t* maxSize, std::int32_t* preferredSize,
                                       std::int32_t* granularity)
{
    *minSize = settings_->bufferminimum;
    *maxSize = settings_->buffermaximum;
    *preferredSize = settings_->bufferpreferred;
    *granularity = settings_->buffergranularity;
    return ASE_OK;
}

ASIOError VirtualDriver::canSampleRate(ASIOSampleRate sampleRate)
{
    const auto& r = settings_->rates;
    return std::find(r.begin(), r.end(), sampleRate) != r.end() ? ASE_OK : ASE_NoClock;
}

ASIOError VirtualDriver::getSampleRate(ASIOSampleRate* sampleRate)
{
    *sampleRate = rate_;
    return ASE_OK;
}

ASIOError VirtualDriver::setSampleRate(ASIOSampleRate sampleRate)
{
    if (canSampleRate(sampleRate) != ASE_OK)
        return ASE_NoClock;
    rate_ = sampleRate;
    return ASE_OK;
}

ASIOError VirtualDriver::getClockSources(ASIOClockSource* clocks, std::int32_t* numSources)
{
    return onlyclocksource(clocks, numSources, "Internal");
}

ASIOError VirtualDriver::setClockSource(std::int32_t reference) { return reference == 0 ? ASE_OK : ASE_InvalidParameter; }

ASIOError VirtualDriver::getSamplePosition(std::uint64_t* samplePosition, std::uint64_t* timeStamp)
{
    *samplePosition = position_;
    *timeStamp = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
    return running_ ? ASE_OK : ASE_SPNotAdvancing;
}

ASIOError VirtualDriver::getChannelInfo(ASIOChannelInfo* info)
{
    const std::int32_t count = info->isInput ? settings_->inputs : settings_->outputs;
    if (info->channel < 0 || info->channel >= count)
        return ASE_InvalidParameter;
    info->isActive = buffersize_ > 0;
    info->channelGroup = 0;
    info->type = settings_->sampletype;
    copydrivertext(info->name, sizeof info->name,
             std::string(info->isInput ? "Input " : "Output ") + std::to_string(info->channel + 1));
    return ASE_OK;
}

ASIOError VirtualDriver::createBuffers(ASIOBufferInfo* bufferInfos, std::int32_t numChannels, std::int32_t bufferSize,
                                       const ASIOCallbacks* callbacks)
{
    if (settings_->failcreatebuffers) {
        error_ = "Virtual card failure requested at createBuffers";
        return ASE_InvalidMode;
    }
    if (!initialised_ || bufferSize < 1 || !callbacks)
        return ASE_InvalidParameter;
    width_ = samplewidth(settings_->sampletype);
    if (width_ == 0)
        return ASE_InvalidMode;
    disposeBuffers();
    inbuffers_.assign(settings_->inputs, {});
    outbuffers_.assign(settings_->outputs, {});
    for (std::int32_t i = 0; i < numChannels; ++i) {
        ASIOBufferInfo& b = bufferInfos[i];
        auto& list = b.isInput ? inbuffers_ : outbuffers_;
        if (b.channelNum < 0 || b.channelNum >= static_cast<std::int32_t>(list.size()))
            return ASE_InvalidParameter;
        list[b.channelNum].assign(2 * width_ * bufferSize, 0);
        b.buffers[0] = list[b.channelNum].data();
        b.buffers[1] = list[b.channelNum].data() + width_ * bufferSize;
    }
    buffersize_ = bufferSize;
    callbacks_.set(*callbacks);
    scratch_.assign(bufferSize, 0.0f);
    return ASE_OK;
}

ASIOError VirtualDriver::disposeBuffers()
{
    stop();
    const bool had = !inbuffers_.empty() || !outbuffers_.empty();
    inbuffers_.clear();
    outbuffers_.clear();
    buffersize_ = 0;
    if (had && settings_->throwondispose)
        throw EVelkError("the virtual driver failed to dispose of its buffers");
    return ASE_OK;
}

ASIOError VirtualDriver::future(std::int32_t selector, void*)
{
    return selector == kAsioCanTimeInfo ? ASE_SUCCESS : ASE_NotPresent;
}

void VirtualDriver::fill(int half, std::uint64_t position)
{
    const TOutConverter convert = outconverter(settings_->sampletype);
    for (std::size_t i = 0; i < inbuffers_.size(); ++i) {
        if (inbuffers_[i].empty())
            continue;
        generators_[i]->generate(scratch_.data(), scratch_.size(), position);
        convert.oc32(scratch_.data(), inbuffers_[i].data() + half * width_ * buffersize_, scratch_.size());
    }
}

void VirtualDriver::run()
{
    // Pacing follows the machine's monotonic clock, as a card's crystal would: it is the sound
    // hardware being imitated, not a reading of the recorder's time.
    using clock = std::chrono::steady_clock;
    auto next = clock::now();
    int half = 0;
    while (running_) {
        const std::uint64_t position = position_;
        fill(half, position);
        if (settings_->realtime) {
            next += std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(buffersize_ / rate_.load()));
            std::this_thread::sleep_until(next);
            if (!running_)
                break;
        } else if (settings_->canproduce) {
            while (running_ && !settings_->canproduce())
                std::this_thread::yield();
            if (!running_)
                break;
        }
        if (callbacks_.timeinfo()) {
            time_.timeInfo.samplePosition = position;
            time_.timeInfo.sampleRate = rate_;
            time_.timeInfo.flags = kSamplePositionValid | kSampleRateValid;
        }
        callbacks_.bufferswitch(half, time_);
        position_ = position + buffersize_;
        settings_->control->position_ = position + buffersize_;
        settings_->control->buffers_++;
        half ^= 1;
    }
}

}  // namespace velk
