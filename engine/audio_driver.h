#pragma once
// AudioDriver: the driver interface the driver host talks to, one object per opened card. It has
// the operations and callbacks of the professional low-latency driver standard the host is
// written against, with that standard's semantics and result codes, so the host logic is the same
// for every backend: JACK (engine/jack_driver.h), the virtual card (engine/virtual_driver.h) and
// third-party drivers loaded from shared libraries (engine/driver_list.h).
//
// Threads: the host calls every operation on the main thread. The driver calls the callbacks on
// its own threads: bufferSwitch / bufferSwitchTimeInfo on its streaming thread, between start()
// and the return of stop(); asioMessage and sampleRateDidChange on any of its threads. stop() and
// disposeBuffers() return only when no buffer callback is running any more.

#include <cstdint>

namespace velk {

using ASIOError = std::int32_t;
using ASIOBool = std::int32_t;
using ASIOSampleRate = double;

// Result codes.
constexpr ASIOError ASE_OK = 0;                   // plain success
constexpr ASIOError ASE_SUCCESS = 0x3f4847a0;      // success of future() selectors
constexpr ASIOError ASE_NotPresent = -1000;        // hardware input or output is not present
constexpr ASIOError ASE_HWMalfunction = -999;      // hardware is malfunctioning
constexpr ASIOError ASE_InvalidParameter = -998;   // input parameter invalid
constexpr ASIOError ASE_InvalidMode = -997;        // hardware is in a bad mode or used in a bad mode
constexpr ASIOError ASE_SPNotAdvancing = -996;     // hardware is not running when sample position is asked
constexpr ASIOError ASE_NoClock = -995;            // sample clock or rate cannot be determined or is not present
constexpr ASIOError ASE_NoMemory = -994;           // not enough memory

// asioMessage selectors.
enum : std::int32_t {
    kAsioSelectorSupported = 1,
    kAsioEngineVersion = 2,
    kAsioResetRequest = 3,
    kAsioBufferSizeChange = 4,
    kAsioResyncRequest = 5,
    kAsioLatenciesChanged = 6,
    kAsioSupportsTimeInfo = 7,
    kAsioSupportsTimeCode = 8,
    kAsioMMCCommand = 9,
};

// future() selectors the host probes (10..16).
enum : std::int32_t {
    kAsioEnableTimeCodeRead = 1,
    kAsioDisableTimeCodeRead = 2,
    kAsioSetInputMonitor = 3,
    kAsioTransport = 4,
    kAsioSetInputGain = 5,
    kAsioGetInputMeter = 6,
    kAsioSetOutputGain = 7,
    kAsioGetOutputMeter = 8,
    kAsioCanInputMonitor = 9,
    kAsioCanTimeInfo = 10,
    kAsioCanTimeCode = 11,
    kAsioCanTransport = 12,
    kAsioCanInputGain = 13,
    kAsioCanInputMeter = 14,
    kAsioCanOutputGain = 15,
    kAsioCanOutputMeter = 16,
};

struct ASIOClockSource {
    std::int32_t index = 0;
    std::int32_t associatedChannel = -1;
    std::int32_t associatedGroup = -1;
    ASIOBool isCurrentSource = 0;
    char name[32] = {};
};

struct ASIOChannelInfo {
    std::int32_t channel = 0;   // in: channel number
    ASIOBool isInput = 0;       // in
    ASIOBool isActive = 0;      // out
    std::int32_t channelGroup = 0;
    std::int32_t type = 0;      // sample type (engine/sample_converter.h)
    char name[32] = {};
};

struct ASIOBufferInfo {
    ASIOBool isInput = 0;
    std::int32_t channelNum = 0;
    void* buffers[2] = {nullptr, nullptr};  // the double buffer, filled in by createBuffers
};

// Time information of a timed buffer switch (148 bytes in the standard's layout, kept whole).
struct ASIOTime {
    std::int32_t reserved[4] = {};
    struct {
        double speed = 0;
        std::uint64_t systemTime = 0;      // nanoseconds
        std::uint64_t samplePosition = 0;  // frames
        double sampleRate = 0;
        std::uint32_t flags = 0;
        char reserved[12] = {};
    } timeInfo;
    struct {
        double speed = 0;
        std::uint64_t timeCodeSamples = 0;
        std::uint32_t flags = 0;
        char future[64] = {};
    } timeCode;
};

enum : std::uint32_t {
    kSystemTimeValid = 1,
    kSamplePositionValid = 2,
    kSampleRateValid = 4,
};

// The four callbacks. The standard's callbacks carry no context; ours carry the host's
// `context` as the first argument, which replaces the run-time generated entry points a host
// would otherwise need to tell several open drivers apart.
struct ASIOCallbacks {
    void* context = nullptr;
    void (*bufferSwitch)(void* context, std::int32_t doubleBufferIndex, ASIOBool directProcess) = nullptr;
    void (*sampleRateDidChange)(void* context, ASIOSampleRate sRate) = nullptr;
    std::int32_t (*asioMessage)(void* context, std::int32_t selector, std::int32_t value, void* message,
                                double* opt) = nullptr;
    ASIOTime* (*bufferSwitchTimeInfo)(void* context, ASIOTime* params, std::int32_t doubleBufferIndex,
                                      ASIOBool directProcess) = nullptr;
    // An extension of ours, optional for both sides: the timed buffer switch of a driver whose
    // inputs arrive as native 32-bit floats in memory of its own (JACK's port buffers), handed
    // over as they are instead of being copied into the double buffer first. `inputs[i]` is this
    // cycle's buffer of input i (nullptr: none), valid until the call returns; the outputs are
    // the double buffer's half `doubleBufferIndex` as usual.
    ASIOTime* (*bufferSwitchInputs)(void* context, ASIOTime* params, std::int32_t doubleBufferIndex,
                                    const float* const* inputs) = nullptr;
};

class AudioDriver {
public:
    virtual ~AudioDriver() = default;

    // Opens the device; false on failure (getErrorMessage then says why). `sysHandle` is opaque.
    virtual ASIOBool init(void* sysHandle) = 0;
    virtual void getDriverName(char* name) = 0;     // up to 32 characters with the terminator
    virtual std::int32_t getDriverVersion() = 0;
    virtual void getErrorMessage(char* string) = 0;  // up to 124 characters with the terminator
    virtual ASIOError start() = 0;
    virtual ASIOError stop() = 0;
    virtual ASIOError getChannels(std::int32_t* numInputChannels, std::int32_t* numOutputChannels) = 0;
    virtual ASIOError getLatencies(std::int32_t* inputLatency, std::int32_t* outputLatency) = 0;
    virtual ASIOError getBufferSize(std::int32_t* minSize, std::int32_t* maxSize, std::int32_t* preferredSize,
                                    std::int32_t* granularity) = 0;
    virtual ASIOError canSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError getSampleRate(ASIOSampleRate* sampleRate) = 0;
    virtual ASIOError setSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError getClockSources(ASIOClockSource* clocks, std::int32_t* numSources) = 0;
    virtual ASIOError setClockSource(std::int32_t reference) = 0;
    virtual ASIOError getSamplePosition(std::uint64_t* samplePosition, std::uint64_t* timeStamp) = 0;
    virtual ASIOError getChannelInfo(ASIOChannelInfo* info) = 0;
    virtual ASIOError createBuffers(ASIOBufferInfo* bufferInfos, std::int32_t numChannels, std::int32_t bufferSize,
                                    const ASIOCallbacks* callbacks) = 0;
    virtual ASIOError disposeBuffers() = 0;
    virtual ASIOError controlPanel() = 0;
    virtual ASIOError future(std::int32_t selector, void* opt) = 0;
    virtual ASIOError outputReady() = 0;
};

// Entry points of a driver library (a shared object registered in the driver folder):
//   extern "C" velk::AudioDriver* velkdriver_create(const std::uint8_t classid[16]);
//   extern "C" void velkdriver_destroy(velk::AudioDriver* driver);
// velkdriver_create returns nullptr when the library has no driver of that class id.
using DriverCreateFn = AudioDriver* (*)(const std::uint8_t classid[16]);
using DriverDestroyFn = void (*)(AudioDriver* driver);

}  // namespace velk
