#pragma once
// VirtualDriver: a sound card without hardware, behind the driver interface. It has a chosen
// number of inputs in any of the converter table's sample types, reports the buffer sizes and
// rates it is given, and plays one signal per input (silence, a sine, tone bursts separated by
// silence, a ramp that counts frames, or a 16-bit PCM WAV file looped). It streams paced in real
// time like a card, or free-running as fast as its consumer takes the buffers (benchmarks and fast
// tests). It can be told to fail at init, createBuffers or start, and to ask its host for a
// reset, a buffer-size change, a latency change or a new sample rate, so every failure path of the
// host and the capture session can be exercised.
//
// Threads: the driver operations on the host's thread (main thread); the streaming thread calls
// the buffer callbacks; VirtualControl's requests from any thread.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/audio_driver.h"
#include "engine/driver_callbacks.h"

namespace velk {

struct VirtualSignal {
    enum Kind { silence, sine, bursts, ramp, wavfile };
    Kind kind = silence;
    double frequency = 440.0;  // Hz (sine, bursts)
    double amplitude = 0.5;    // of full scale (sine, bursts)
    double onseconds = 1.0;    // bursts: tone length
    double offseconds = 1.0;   // bursts: silence between tones
    // ramp: frame n of the stream plays ((n + offset) mod 20000 - 10000) / 32767, which the
    // 16-bit stage turns back into the integer n + offset mod 20000 - 10000 exactly.
    std::int64_t offset = 0;
    std::string path;          // wavfile: 16-bit PCM WAV, first channel, looped
};

class VirtualDriver;

// A handle on the driver instances made from one settings record: the host re-creates the driver
// on a reset, and the handle reaches whichever instance is open. It also carries the stream
// position across re-opens, so a ramp continues where it stopped.
class VirtualControl {
public:
    // Each returns false when no instance is open.
    bool requestreset();                 // asioMessage(kAsioResetRequest)
    bool requestbuffersizechange();      // asioMessage(kAsioBufferSizeChange)
    bool reportlatencychange();          // asioMessage(kAsioLatenciesChanged)
    bool reportsamplerate(double rate);  // the card now runs at `rate`: sampleRateDidChange
    // Frames streamed so far by all instances.
    std::uint64_t position() const { return position_.load(); }
    // Buffers delivered to the host so far by all instances.
    std::uint64_t buffers() const { return buffers_.load(); }

private:
    friend class VirtualDriver;
    std::mutex mutex_;
    VirtualDriver* driver_ = nullptr;
    std::atomic<std::uint64_t> position_{0};
    std::atomic<std::uint64_t> buffers_{0};
};

struct VirtualDriverSettings {
    std::string name = "VELK Virtual Card";
    std::int32_t inputs = 8;
    std::int32_t outputs = 0;
    std::int32_t sampletype = 18;  // Int32LSB
    std::int32_t bufferminimum = 64;
    std::int32_t buffermaximum = 4096;
    std::int32_t bufferpreferred = 256;
    std::int32_t buffergranularity = -1;  // powers of two
    std::vector<double> rates = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 96000};
    double rate = 48000;  // the rate the card starts at
    std::int32_t inputlatency = 256;
    std::int32_t outputlatency = 256;
    std::vector<VirtualSignal> signals;  // per input; missing entries are silence
    bool realtime = true;
    // Free-running only: the streaming thread produces the next buffer once this returns true
    // (back-pressure from the consumer); absent means at once.
    std::function<bool()> canproduce;
    bool failinit = false;
    bool failcreatebuffers = false;
    bool failstart = false;
    // disposeBuffers() throws once it has let go of existing buffers (a driver failing as it unloads).
    bool throwondispose = false;
    std::shared_ptr<VirtualControl> control = std::make_shared<VirtualControl>();
};

class VirtualDriver final : public AudioDriver {
public:
    // The settings are shared with the factory, so a test may change them between re-opens.
    explicit VirtualDriver(std::shared_ptr<VirtualDriverSettings> settings);
    ~VirtualDriver() override;

    ASIOBool init(void* sysHandle) override;
    void getDriverName(char* name) override;
    std::int32_t getDriverVersion() override { return 1; }
    void getErrorMessage(char* string) override;
    ASIOError start() override;
    ASIOError stop() override;
    ASIOError getChannels(std::int32_t* numInputChannels, std::int32_t* numOutputChannels) override;
    ASIOError getLatencies(std::int32_t* inputLatency, std::int32_t* outputLatency) override;
    ASIOError getBufferSize(std::int32_t* minSize, std::int32_t* maxSize, std::int32_t* preferredSize,
                            std::int32_t* granularity) override;
    ASIOError canSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getSampleRate(ASIOSampleRate* sampleRate) override;
    ASIOError setSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getClockSources(ASIOClockSource* clocks, std::int32_t* numSources) override;
    ASIOError setClockSource(std::int32_t reference) override;
    ASIOError getSamplePosition(std::uint64_t* samplePosition, std::uint64_t* timeStamp) override;
    ASIOError getChannelInfo(ASIOChannelInfo* info) override;
    ASIOError createBuffers(ASIOBufferInfo* bufferInfos, std::int32_t numChannels, std::int32_t bufferSize,
                            const ASIOCallbacks* callbacks) override;
    ASIOError disposeBuffers() override;
    ASIOError controlPanel() override { return ASE_NotPresent; }
    ASIOError future(std::int32_t selector, void* opt) override;
    ASIOError outputReady() override { return ASE_OK; }

private:
    friend class VirtualControl;
    struct Generator;
    void run();
    void fill(int half, std::uint64_t position);

    std::shared_ptr<VirtualDriverSettings> settings_;
    bool initialised_ = false;
    std::string error_;
    std::atomic<double> rate_{48000};
    std::int32_t buffersize_ = 0;
    DriverCallbacks callbacks_;
    std::size_t width_ = 0;
    std::vector<std::vector<std::uint8_t>> inbuffers_;   // per input: both halves
    std::vector<std::vector<std::uint8_t>> outbuffers_;  // per output: both halves
    std::vector<std::unique_ptr<Generator>> generators_;
    std::vector<float> scratch_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<std::uint64_t> position_{0};
    ASIOTime time_{};
};

}  // namespace velk
