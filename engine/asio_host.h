#pragma once
// TAsioHost: the program's side of one driver connection. It loads a driver from a driver list it
// is handed (the card set's one enumeration; the host keeps its own copy of the entry it opened,
// for the re-open after a reset), chooses the buffer size, creates the buffers with one converter per channel, starts and
// stops streaming, converts every delivered buffer to 32-bit floats and hands it to its owner, and
// answers the driver's messages.
//
// Threads:
//   main thread           construction, destruction, every setter and getter, the events
//                         OnReset, OnLatencyChanged and OnSampleRateChanged
//   driver's buffer thread OnBufferSwitch32: each buffer is converted and handed on right there,
//                         on the driver's callback thread, before the callback returns, so the
//                         driver never refills a half that has not been read yet. The handler
//                         must not lock, wait or allocate, and reads the inputs only: a native
//                         float input points straight into the driver's buffer.
//   driver's other threads asioMessage / sampleRateDidChange only post the reset, latency and
//                         rate work to the main thread (mainqueue().postcall), in the order the
//                         driver reported it. Each request carries the serial of the driver
//                         instance that made it; one that arrives after that instance was
//                         replaced (a reset re-opens the driver) is dropped.
// OnBufferSwitch32 may be set or cleared only while the host is not Active.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/audio_driver.h"
#include "engine/driver_list.h"
#include "engine/sample_converter.h"

namespace velk {

class TAsioHost {
public:
    // Inputs then outputs: one float array of BufferSize() per channel.
    using BufferSwitch32 = std::function<void(TAsioHost& sender, float* const* inputs, float* const* outputs)>;
    using Notify = std::function<void(TAsioHost& sender)>;

    // No driver, SampleRate 44100.
    TAsioHost();
    // Stops and unloads the driver.
    ~TAsioHost();
    TAsioHost(const TAsioHost&) = delete;
    TAsioHost& operator=(const TAsioHost&) = delete;

    // Loads driver `v` of `drivers` and creates its buffers; -1 (or an index the list does not
    // have) unloads. Raises on failure (the index is then -1).
    void setDriverIndex(const TDavAsioDriverList& drivers, int v);
    // Unloads the driver and loads the entry of `current` (the drivers listed now) named `name`
    // (ignoring case). False when no such entry is listed; raises as setDriverIndex.
    bool reopen(const TDavAsioDriverList& current, const std::string& name);
    int DriverIndex() const { return driverindex_; }
    const std::string& DriverName() const { return drivername_; }
    std::int32_t DriverVersion() const { return driverversion_; }

    void setActive(bool a);
    bool Active() const { return active_; }

    // |r|, 0 or above 1048575 become 44100; a rate the driver declines leaves the rate unchanged.
    void setSampleRate(double r);
    double SampleRate() const { return samplerate_; }

    std::int32_t BufferSize() const { return buffersize_; }
    std::int32_t BufferMinimum() const { return bufferminimum_; }
    std::int32_t BufferMaximum() const { return buffermaximum_; }
    std::int32_t BufferPreferredSize() const { return bufferpreferred_; }
    std::int32_t BufferGranularity() const { return buffergranularity_; }
    std::int32_t InputChannelCount() const { return inputcount_; }
    std::int32_t OutputChannelCount() const { return outputcount_; }
    std::int32_t InputLatency() const { return inputlatency_; }
    std::int32_t OutputLatency() const { return outputlatency_; }
    bool BuffersCreated() const { return bufferscreated_; }
    // Capabilities probed with future (bit s-10 for selector s); not used by the recorder.
    std::uint32_t CanDos() const { return candos_; }

    // The channel information of input i; raises "Index out of bounds %d" for a missing input.
    const ASIOChannelInfo& InputChannelInfo(int i) const;

    BufferSwitch32 OnBufferSwitch32;
    Notify OnReset;
    Notify OnLatencyChanged;
    Notify OnSampleRateChanged;
    // A reset re-opened the driver and restored streaming as it was before the reset.
    Notify OnReopened;
    // A reset could not re-open the driver, or the driver did not stream again although it did
    // before; `why` says what failed. Without a handler the status log says it.
    std::function<void(TAsioHost& sender, const std::string& why)> OnLost;

    // The driver's message callback, as the driver sees it (tests ask it directly).
    std::int32_t asioMessage(std::int32_t selector, std::int32_t value);

private:
    struct Token {
        TAsioHost* host;
    };
    // What the callbacks of one driver instance carry: made on the main thread before the
    // instance is created, read-only for the instance's threads, freed after it is unloaded.
    struct CallbackContext {
        TAsioHost* host;
        std::weak_ptr<Token> token;
        std::uint64_t serial;
    };
    static void cbBufferSwitch(void* context, std::int32_t half, ASIOBool direct);
    static ASIOTime* cbBufferSwitchTimeInfo(void* context, ASIOTime* params, std::int32_t half, ASIOBool direct);
    static void cbSampleRateDidChange(void* context, ASIOSampleRate rate);
    static std::int32_t cbAsioMessage(void* context, std::int32_t selector, std::int32_t value, void* message,
                                      double* opt);

    // Opens the driver at the current index; streams afterwards when `activate`.
    void LoadDriver(bool activate);
    bool MakeBuffers();
    void ChooseBufferSize();
    void FreeBuffers();
    void UnloadDriver();
    void ClearValues();
    void bufferswitch(std::int32_t half);
    void timedbufferswitch(std::int32_t half);
    // Carries driver work to the main thread; dropped when the host is gone by then, or when the
    // driver instance `serial` was replaced in the meantime.
    void postmain(const CallbackContext* context, std::function<void(TAsioHost&)> work);
    std::int32_t message(std::int32_t selector, const CallbackContext* context);
    void lost(const std::string& why);
    void reset();
    void latencieschanged();
    void sampleratechanged(double rate);

    TDavAsioDriverDescription description_;  // of the driver at DriverIndex
    DriverPtr driver_;
    int driverindex_ = -1;
    std::string drivername_;
    std::int32_t driverversion_ = 0;
    bool active_ = false;
    bool bufferscreated_ = false;
    double samplerate_ = 44100;
    std::int32_t buffersize_ = 0, bufferminimum_ = 0, buffermaximum_ = 0, bufferpreferred_ = 0, buffergranularity_ = 0;
    std::int32_t inputcount_ = 0, outputcount_ = 0, inputlatency_ = 0, outputlatency_ = 0;
    std::uint32_t candos_ = 0;
    std::vector<ASIOChannelInfo> inputinfo_, outputinfo_;
    std::vector<ASIOBufferInfo> bufferinfo_;  // inputs first, then outputs
    std::vector<TInConverter> inconverters_;
    std::vector<bool> inputdirect_;  // the input's driver buffers are native floats, passed on as they are
    std::vector<TOutConverter> outconverters_;
    std::vector<std::vector<float>> floatbuffers_;  // inputs first, then outputs
    std::vector<float*> inputs_, outputs_;
    ASIOTime time_{};
    ASIOCallbacks callbacks_{};
    std::shared_ptr<Token> token_;
    std::unique_ptr<CallbackContext> context_;  // of the loaded driver instance
    std::uint64_t serial_ = 0;                  // of the loaded driver instance
};

}  // namespace velk
