#pragma once
// What the drivers share: DriverCallbacks, what a driver keeps of its host's callbacks (given to
// createBuffers): the entry points, and whether the host takes the buffer switch with time
// information; and helpers for the interface's fixed-size fields.
//
// Threads: set() while the driver is stopped; the driver's own threads call the rest.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "engine/audio_driver.h"

namespace velk {

class DriverCallbacks {
public:
    void set(const ASIOCallbacks& callbacks)
    {
        callbacks_ = callbacks;
        timeinfo_ = callbacks_.asioMessage && callbacks_.bufferSwitchTimeInfo &&
                    callbacks_.asioMessage(callbacks_.context, kAsioSupportsTimeInfo, 0, nullptr, nullptr) == 1;
    }

    // The host takes the time-information buffer switch: the driver fills the ASIOTime it passes.
    bool timeinfo() const { return timeinfo_; }

    // One buffer half is ready: the time-information switch with `time` when the host takes it,
    // else the plain one.
    void bufferswitch(std::int32_t half, ASIOTime& time) const
    {
        if (timeinfo_)
            callbacks_.bufferSwitchTimeInfo(callbacks_.context, &time, half, 1);
        else
            callbacks_.bufferSwitch(callbacks_.context, half, 1);
    }

    // The host takes native float inputs as they are (ASIOCallbacks::bufferSwitchInputs).
    bool takesinputs() const { return callbacks_.bufferSwitchInputs != nullptr; }

    // One buffer half is ready, with this cycle's native float inputs handed over as they are.
    void bufferswitch(std::int32_t half, ASIOTime& time, const float* const* inputs) const
    {
        callbacks_.bufferSwitchInputs(callbacks_.context, &time, half, inputs);
    }

    // The host's answer to `selector`; 0 when it has no message callback.
    std::int32_t message(std::int32_t selector) const
    {
        return callbacks_.asioMessage ? callbacks_.asioMessage(callbacks_.context, selector, 0, nullptr, nullptr) : 0;
    }

    // Tells the host the sample rate changed; false when it has no callback for that.
    bool ratechanged(ASIOSampleRate rate) const
    {
        if (!callbacks_.sampleRateDidChange)
            return false;
        callbacks_.sampleRateDidChange(callbacks_.context, rate);
        return true;
    }

private:
    ASIOCallbacks callbacks_{};
    bool timeinfo_ = false;
};

// Copies `text` into a fixed-size text field of the driver interface (`size` bytes with the
// terminator), cut to fit.
inline void copydrivertext(char* target, std::size_t size, std::string_view text)
{
    const std::size_t n = std::min(size - 1, text.size());
    std::memcpy(target, text.data(), n);
    target[n] = 0;
}

// getClockSources of a driver with one clock, `name`.
inline ASIOError onlyclocksource(ASIOClockSource* clocks, std::int32_t* numSources, std::string_view name)
{
    if (*numSources < 1)
        return ASE_InvalidParameter;
    clocks[0] = ASIOClockSource{};
    clocks[0].isCurrentSource = 1;
    copydrivertext(clocks[0].name, sizeof clocks[0].name, name);
    *numSources = 1;
    return ASE_OK;
}

}  // namespace velk
