#pragma once
// JackDriver: the driver interface over a JACK server (and PipeWire's JACK interface). One JACK
// client with one input port per selected source port; the inputs are connected to the source
// ports when streaming starts (by default the system's physical capture ports; VELK_JACK_SOURCES,
// a comma-separated list of port names, or the settings choose others). The card runs at the
// server's rate and buffer size, samples are 32-bit floats, and the input latency is the capture
// latency of the ports. A server shutdown, a buffer-size change or an xrun storm reaches the host
// as the standard's reset request, a rate change as a sample-rate notice, a latency change as a
// latency notice. A host that takes native float inputs as they are gets JACK's port buffers
// themselves, without a copy in between.
//
// Threads: the operations on the host's thread (main thread); JACK's process thread runs the
// buffer callbacks, JACK's notification thread the messages.

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "engine/audio_driver.h"
#include "engine/driver_callbacks.h"

typedef struct _jack_client jack_client_t;
typedef struct _jack_port jack_port_t;

namespace velk {

struct JackDriverSettings {
    std::string clientname = "velk";
    std::string servername;            // empty: $JACK_DEFAULT_SERVER or the default server
    std::vector<std::string> sources;  // empty: $VELK_JACK_SOURCES, else the physical capture ports
    int xrunstorm = 20;                // this many xruns within two seconds ask for a reset
};

class JackDriver final : public AudioDriver {
public:
    explicit JackDriver(JackDriverSettings settings = {});
    ~JackDriver() override;

    // True when a JACK server answers (used to list the driver).
    static bool serverrunning(const std::string& servername = {});

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
    struct ClientCloser {
        void operator()(jack_client_t* client) const;
    };
    static int processcallback(std::uint32_t nframes, void* arg);
    static int buffersizecallback(std::uint32_t nframes, void* arg);
    static int sampleratecallback(std::uint32_t nframes, void* arg);
    static int xruncallback(void* arg);
    static void latencycallback(int mode, void* arg);
    static void shutdowncallback(int code, const char* reason, void* arg);
    int process(std::uint32_t nframes);

    JackDriverSettings settings_;
    std::unique_ptr<jack_client_t, ClientCloser> client_;
    std::string error_;
    std::vector<std::string> sources_;
    std::vector<jack_port_t*> ports_;
    std::vector<std::vector<float>> buffers_;  // per input: both halves
    // Per input: this cycle's port buffer, for a host that takes the inputs as they are (then
    // buffers_ stays unused while streaming).
    std::vector<const float*> inputs_;
    std::int32_t buffersize_ = 0;
    DriverCallbacks callbacks_;
    bool activated_ = false;
    std::atomic<bool> running_{false};
    std::atomic<bool> dead_{false};
    std::atomic<std::uint64_t> position_{0};
    std::atomic<int> xruns_{0};
    std::atomic<std::uint64_t> xrunwindow_{0};  // frame time the current xrun count began
    std::atomic<std::int32_t> reportedlatency_{0};
    int half_ = 0;
    ASIOTime time_{};
};

}  // namespace velk
