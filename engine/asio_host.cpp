#include "engine/asio_host.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstring>

#include "services/status_log.h"
#include "core/errors.h"
#include "core/main_thread_queue.h"

namespace velk {

TAsioHost::TAsioHost() : token_(std::make_shared<Token>(Token{this}))
{
    callbacks_.bufferSwitch = &TAsioHost::cbBufferSwitch;
    callbacks_.bufferSwitchTimeInfo = &TAsioHost::cbBufferSwitchTimeInfo;
    callbacks_.sampleRateDidChange = &TAsioHost::cbSampleRateDidChange;
    callbacks_.asioMessage = &TAsioHost::cbAsioMessage;
}

TAsioHost::~TAsioHost()
{
    // The driver's threads read the token while they post: the driver stops first.
    try {
        setActive(false);
    } catch (...) {
    }
    UnloadDriver();
    context_.reset();
    token_.reset();
}

// --- loading ---

void TAsioHost::ClearValues()
{
    drivername_.clear();
    inputlatency_ = outputlatency_ = 0;
    inputcount_ = outputcount_ = 0;
    buffersize_ = 0;
}

void TAsioHost::setDriverIndex(const TDavAsioDriverList& drivers, int v)
{
    if (v == driverindex_)
        return;
    const bool wasactive = active_;
    setActive(false);
    if (v < -1 || v >= static_cast<int>(drivers.count()))
        v = -1;
    driverindex_ = v;
    if (v == -1) {
        ClearValues();
        UnloadDriver();
        description_ = {};
        return;
    }
    UnloadDriver();
    description_ = drivers.item(static_cast<std::size_t>(v));
    drivername_ = description_.name;
    try {
        LoadDriver(false);
    } catch (...) {
        driverindex_ = -1;
        ClearValues();
        UnloadDriver();
        throw;
    }
    if (driver_) {
        char name[33] = {};
        driver_->getDriverName(name);
        if (name[0])
            drivername_ = name;
        driverversion_ = driver_->getDriverVersion();
        candos_ = 0;
        for (std::int32_t selector = kAsioCanTimeInfo; selector <= kAsioCanOutputMeter; ++selector)
            if (driver_->future(selector, nullptr) == ASE_SUCCESS)
                candos_ |= 1u << (selector - kAsioCanTimeInfo);
        ASIOClockSource clocks[4];
        std::int32_t count = 4;
        driver_->getClockSources(clocks, &count);
    }
    setActive(wasactive);
}

bool TAsioHost::reopen(const TDavAsioDriverList& current, const std::string& name)
{
    try {
        setActive(false);
    } catch (...) {
    }
    UnloadDriver();
    driverindex_ = -1;
    ClearValues();
    auto same = [&](const std::string& other) {
        return other.size() == name.size() && std::equal(other.begin(), other.end(), name.begin(), [](char a, char b) {
                   return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
               });
    };
    for (std::size_t i = 0; i < current.count(); ++i) {
        if (same(current.item(i).name)) {
            setDriverIndex(current, static_cast<int>(i));
            return true;
        }
    }
    return false;
}

void TAsioHost::LoadDriver(bool activate)
{
    if (driver_) {
        try {
            setActive(false);
        } catch (...) {
        }
        UnloadDriver();
    }
    // The old instance is gone with its threads: its context goes, and what it posted and is
    // still waiting in the queue is dropped by the new serial.
    context_ = std::make_unique<CallbackContext>(CallbackContext{this, token_, ++serial_});
    callbacks_.context = context_.get();
    try {
        DriverPtr driver = createdriver(description_);
        const ASIOBool ok = driver->init(nullptr);
        if (ok == 0 || (ok >= ASE_NotPresent && ok <= ASE_NoMemory)) {
            // The driver's own reason (getErrorMessage) does not reach the caller.
            char text[128] = {};
            driver->getErrorMessage(text);
        } else {
            driver_ = std::move(driver);
        }
    } catch (...) {
        driver_.reset();
    }
    if (!driver_)
        throw EVelkError("Asio driver failed!");
    if (!MakeBuffers())
        throw EVelkError("Asio buffers could not be created!");
    setActive(bufferscreated_ && activate);
}

void TAsioHost::ChooseBufferSize()
{
    driver_->getBufferSize(&bufferminimum_, &buffermaximum_, &bufferpreferred_, &buffergranularity_);
    if (bufferminimum_ == buffermaximum_)
        bufferpreferred_ = bufferminimum_;
    if (bufferpreferred_ < 1)
        throw EVelkError("Prefered buffer size invalid!");
    buffersize_ = bufferpreferred_;
}

bool TAsioHost::MakeBuffers()
{
    if (!driver_)
        return false;
    if (bufferscreated_)
        FreeBuffers();
    ChooseBufferSize();
    driver_->getSampleRate(&samplerate_);
    time_.timeInfo.sampleRate = samplerate_;
    driver_->getChannels(&inputcount_, &outputcount_);

    inputinfo_.assign(inputcount_, {});
    outputinfo_.assign(outputcount_, {});
    inconverters_.assign(inputcount_, {});
    inputdirect_.assign(inputcount_, false);
    outconverters_.assign(outputcount_, {});
    bufferinfo_.assign(static_cast<std::size_t>(inputcount_ + outputcount_), {});
    for (std::int32_t i = 0; i < inputcount_; ++i) {
        inputinfo_[i].channel = i;
        inputinfo_[i].isInput = 1;
        driver_->getChannelInfo(&inputinfo_[i]);
        inconverters_[i] = inconverter(inputinfo_[i].type);
        inputdirect_[i] = inputinfo_[i].type == ASIOSTFloat32LSB && std::endian::native == std::endian::little;
        bufferinfo_[i].isInput = 1;
        bufferinfo_[i].channelNum = i;
    }
    for (std::int32_t j = 0; j < outputcount_; ++j) {
        outputinfo_[j].channel = j;
        outputinfo_[j].isInput = 0;
        driver_->getChannelInfo(&outputinfo_[j]);
        outconverters_[j] = outconverter(outputinfo_[j].type);
        bufferinfo_[inputcount_ + j].isInput = 0;
        bufferinfo_[inputcount_ + j].channelNum = j;
    }
    // The float exchange buffers exist before the driver can call back.
    floatbuffers_.assign(bufferinfo_.size(), std::vector<float>(static_cast<std::size_t>(buffersize_), 0.0f));
    inputs_.assign(inputcount_, nullptr);
    outputs_.assign(outputcount_, nullptr);
    for (std::int32_t i = 0; i < inputcount_; ++i)
        inputs_[i] = floatbuffers_[i].data();
    for (std::int32_t j = 0; j < outputcount_; ++j)
        outputs_[j] = floatbuffers_[inputcount_ + j].data();

    if (driver_->createBuffers(bufferinfo_.data(), static_cast<std::int32_t>(bufferinfo_.size()), buffersize_,
                               &callbacks_) != ASE_OK)
        return false;
    bufferscreated_ = true;
    driver_->getLatencies(&inputlatency_, &outputlatency_);
    if (OnLatencyChanged)
        OnLatencyChanged(*this);
    return true;
}

void TAsioHost::FreeBuffers()
{
    // The driver lets go of the buffers (and stops calling back) before their memory goes.
    if (driver_) {
        try {
            driver_->disposeBuffers();
        } catch (...) {
        }
    }
    bufferscreated_ = false;
    bufferinfo_.clear();
    floatbuffers_.clear();
    inputs_.clear();
    outputs_.clear();
}

void TAsioHost::UnloadDriver()
{
    if (!driver_)
        return;
    if (bufferscreated_)
        FreeBuffers();
    try {
        driver_->stop();
    } catch (...) {
    }
    driver_.reset();
    active_ = false;
    inputlatency_ = outputlatency_ = 0;
    inputcount_ = outputcount_ = 0;
}

// --- rate and streaming ---

void TAsioHost::setSampleRate(double r)
{
    r = std::fabs(r);
    if (r == 0 || r > 1048575)
        r = 44100;
    if (driver_ && driver_->canSampleRate(r) != ASE_OK)
        return;
    if (r == samplerate_ || !driver_)
        return;
    driver_->setSampleRate(r);  // a failure is not reported; the host takes the rate anyway
    samplerate_ = r;
    // The time record belongs to the driver's buffer thread while streaming; it takes the rate
    // when the buffers are next created.
    if (!active_)
        time_.timeInfo.sampleRate = r;
}

void TAsioHost::setActive(bool a)
{
    if (!driver_)
        a = false;
    if (a == active_)
        return;
    if (a) {
        active_ = driver_->start() == ASE_OK;
        if (!active_)
            driver_->stop();
        return;
    }
    active_ = false;
    driver_->stop();
    if (!bufferscreated_)
        return;
    for (std::size_t k = 0; k < bufferinfo_.size(); ++k) {
        const ASIOBufferInfo& b = bufferinfo_[k];
        const std::int32_t type = b.isInput ? inputinfo_[b.channelNum].type : outputinfo_[b.channelNum].type;
        const std::size_t bytes = static_cast<std::size_t>(buffersize_) * samplewidth(type);
        for (void* half : b.buffers)
            if (half)
                std::memset(half, 0, bytes);
    }
}

const ASIOChannelInfo& TAsioHost::InputChannelInfo(int i) const
{
    if (i < 0 || i >= inputcount_ || i >= static_cast<int>(inputinfo_.size()))
        throw EVelkError("Index out of bounds " + std::to_string(i));
    return inputinfo_[static_cast<std::size_t>(i)];
}

// --- the driver's callbacks ---

void TAsioHost::cbBufferSwitch(void* context, std::int32_t half, ASIOBool)
{
    static_cast<CallbackContext*>(context)->host->bufferswitch(half);
}

ASIOTime* TAsioHost::cbBufferSwitchTimeInfo(void* context, ASIOTime* params, std::int32_t half, ASIOBool)
{
    auto* host = static_cast<CallbackContext*>(context)->host;
    if (params)
        host->time_ = *params;
    host->timedbufferswitch(half);
    return nullptr;
}

void TAsioHost::cbSampleRateDidChange(void* context, ASIOSampleRate rate)
{
    const auto* c = static_cast<CallbackContext*>(context);
    c->host->postmain(c, [rate](TAsioHost& host) { host.sampleratechanged(rate); });
}

std::int32_t TAsioHost::cbAsioMessage(void* context, std::int32_t selector, std::int32_t, void*, double*)
{
    const auto* c = static_cast<CallbackContext*>(context);
    return c->host->message(selector, c);
}

std::int32_t TAsioHost::asioMessage(std::int32_t selector, std::int32_t) { return message(selector, context_.get()); }

std::int32_t TAsioHost::message(std::int32_t selector, const CallbackContext* context)
{
    switch (selector) {
    case kAsioSelectorSupported:
        return 1;
    case kAsioEngineVersion:
        return 2;
    case kAsioResetRequest:
    case kAsioBufferSizeChange:
        postmain(context, [](TAsioHost& host) { host.reset(); });
        return 1;
    case kAsioResyncRequest:
    case kAsioLatenciesChanged:
        postmain(context, [](TAsioHost& host) { host.latencieschanged(); });
        return 1;
    case kAsioSupportsTimeInfo:
    case kAsioSupportsTimeCode:
        return 1;
    default:
        return 0;
    }
}

void TAsioHost::bufferswitch(std::int32_t half)
{
    time_.timeCode = decltype(time_.timeCode){};
    std::uint64_t position = 0, stamp = 0;
    if (driver_ && driver_->getSamplePosition(&position, &stamp) == ASE_OK) {
        time_.timeInfo.samplePosition = position;
        time_.timeInfo.systemTime = stamp;
        time_.timeInfo.flags |= kSamplePositionValid | kSystemTimeValid;
    }
    timedbufferswitch(half);
}

// Runs on the driver's buffer thread: converts, hands on, converts back, all before returning.
void TAsioHost::timedbufferswitch(std::int32_t half)
{
    if (half < 0 || half > 1 || !bufferscreated_)
        return;
    const auto size = static_cast<std::size_t>(buffersize_);
    for (std::int32_t i = 0; i < inputcount_; ++i) {
        void* source = bufferinfo_[i].buffers[half];
        if (!source)
            continue;
        // A driver buffer that already holds native floats is handed on as it is, sparing a copy;
        // the handler only reads the inputs.
        if (inputdirect_[i] && reinterpret_cast<std::uintptr_t>(source) % alignof(float) == 0)
            inputs_[i] = static_cast<float*>(source);
        else
            inconverters_[i].ic32(source, inputs_[i], size);
    }
    if (OnBufferSwitch32)
        OnBufferSwitch32(*this, inputs_.data(), outputs_.data());
    for (std::int32_t j = 0; j < outputcount_; ++j)
        if (void* target = bufferinfo_[inputcount_ + j].buffers[half])
            outconverters_[j].oc32(outputs_[j], target, size);
    driver_->outputReady();
}

// --- main-thread work ---

// Runs on a driver thread: reads only the context the main thread made before the instance.
void TAsioHost::postmain(const CallbackContext* context, std::function<void(TAsioHost&)> work)
{
    if (!context)
        return;
    std::weak_ptr<Token> token = context->token;
    const std::uint64_t serial = context->serial;
    mainqueue().postcall([token = std::move(token), serial, work = std::move(work)] {
        std::shared_ptr<Token> t = token.lock();
        if (t && t->host->driver_ && t->host->serial_ == serial)
            work(*t->host);
    });
}

void TAsioHost::lost(const std::string& why)
{
    if (OnLost)
        OnLost(*this, why);
    else
        addlog("Could not start " + drivername_ + ", " + why);
}

void TAsioHost::reset()
{
    if (!driver_)
        return;
    // Whether the driver streamed is taken before the owner's handler runs: a handler that
    // restarts the card on a dead driver leaves it inactive, and the new instance must stream
    // all the same.
    const bool wasactive = active_;
    if (OnReset)
        OnReset(*this);
    try {
        LoadDriver(wasactive);
    } catch (const std::exception& e) {
        // Nobody on the main thread waits for this: the card stays without a driver until its
        // owner opens it again.
        lost(e.what());
        return;
    }
    if (wasactive && !active_) {
        lost("the driver did not start");
        return;
    }
    if (OnReopened)
        OnReopened(*this);
}

void TAsioHost::latencieschanged()
{
    if (!driver_)
        return;
    driver_->getLatencies(&inputlatency_, &outputlatency_);
    if (OnLatencyChanged)
        OnLatencyChanged(*this);
}

void TAsioHost::sampleratechanged(double rate)
{
    setSampleRate(rate);
    if (OnSampleRateChanged)
        OnSampleRateChanged(*this);
}

}  // namespace velk
