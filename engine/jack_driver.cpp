#include "engine/jack_driver.h"

#include <jack/jack.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <sstream>

#include "services/status_log.h"
#include "engine/sample_converter.h"

namespace velk {

namespace {

// libjack's own messages. The library prints them to the standard error by default, several
// lines for one failure and again at every attempt; here every error goes through one handler
// that writes each distinct text once to the status log. The messages one of the recorder's own
// calls causes become one line, with what the recorder was doing. Informational messages are
// dropped.
class JackMessages {
public:
    static JackMessages& instance()
    {
        static JackMessages messages;
        return messages;
    }
    // While a scope is quiet, errors are expected (probing for a server) and dropped.
    void quiet(bool on) { quiet_.fetch_add(on ? 1 : -1); }
    // A client opened: a later failure is reported again.
    void forget()
    {
        std::lock_guard lock(mutex_);
        seen_.clear();
    }

    // What the calling thread is doing: the messages it causes meanwhile are logged as one line
    // when the scope ends.
    class Doing {
    public:
        explicit Doing(const char* what) : what_(what), previous_(doing_) { doing_ = this; }
        ~Doing()
        {
            doing_ = previous_;
            if (messages_.empty())
                return;
            std::string line;
            for (const std::string& m : messages_)
                line += (line.empty() ? "" : "; ") + m;
            instance().logonce(line + " (" + what_ + ")");
        }
        Doing(const Doing&) = delete;
        Doing& operator=(const Doing&) = delete;

    private:
        friend class JackMessages;
        const char* what_;
        Doing* previous_;
        std::vector<std::string> messages_;
    };

private:
    JackMessages()
    {
        jack_set_error_function(&JackMessages::error);
        jack_set_info_function([](const char*) {});
    }
    static void error(const char* text)
    {
        JackMessages& self = instance();
        if (self.quiet_.load() > 0 || !text)
            return;
        std::string message(text);
        while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
            message.pop_back();
        if (doing_)
            doing_->messages_.push_back(std::move(message));
        else
            self.logonce(message);
    }
    void logonce(const std::string& message)
    {
        {
            std::lock_guard lock(mutex_);
            if (seen_.size() >= 64)
                seen_.clear();
            if (!seen_.insert(message).second)
                return;
        }
        addlog("JACK: " + message);
    }

    std::atomic<int> quiet_{0};
    std::mutex mutex_;
    std::set<std::string> seen_;
    static thread_local Doing* doing_;
};

thread_local JackMessages::Doing* JackMessages::doing_ = nullptr;

std::vector<std::string> splitlist(const char* text)
{
    std::vector<std::string> out;
    if (!text)
        return out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty())
            out.push_back(item);
    return out;
}

jack_client_t* openclient(const std::string& name, const std::string& server, jack_status_t* status)
{
    const auto options = static_cast<jack_options_t>(JackNoStartServer | (server.empty() ? 0 : JackServerName));
    return server.empty() ? jack_client_open(name.c_str(), options, status)
                          : jack_client_open(name.c_str(), options, status, server.c_str());
}

}  // namespace

void JackDriver::ClientCloser::operator()(jack_client_t* client) const { jack_client_close(client); }

JackDriver::JackDriver(JackDriverSettings settings) : settings_(std::move(settings)) { JackMessages::instance(); }

JackDriver::~JackDriver()
{
    stop();
    disposeBuffers();
    // A client whose server ended is not closed: its shared memory belongs to the dead server,
    // and once another server has started under the same name libjack's close reads through it
    // and crashes. The small client record is left to the library.
    if (dead_)
        static_cast<void>(client_.release());
    client_.reset();
}

bool JackDriver::serverrunning(const std::string& servername)
{
    // Asking is not an error: without a server the library would report its failure to connect
    // on every start of the program, and at every retry of a lost card.
    JackMessages& messages = JackMessages::instance();
    messages.quiet(true);
    jack_status_t status{};
    jack_client_t* client = openclient("velkprobe", servername, &status);
    if (client)
        jack_client_close(client);
    messages.quiet(false);
    return client != nullptr;
}

ASIOBool JackDriver::init(void*)
{
    jack_status_t status{};
    {
        JackMessages::Doing doing("opening the JACK client");
        client_.reset(openclient(settings_.clientname, settings_.servername, &status));
    }
    if (!client_) {
        error_ = "No JACK server answers (status " + std::to_string(static_cast<int>(status)) + ")";
        return 0;
    }
    JackMessages::instance().forget();
    sources_ = settings_.sources;
    if (sources_.empty())
        sources_ = splitlist(std::getenv("VELK_JACK_SOURCES"));
    if (sources_.empty()) {
        if (const char** ports = jack_get_ports(client_.get(), nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                                JackPortIsPhysical | JackPortIsOutput)) {
            for (const char** p = ports; *p; ++p)
                sources_.emplace_back(*p);
            jack_free(ports);
        }
    }
    // The callbacks are registered once, while the client is inactive.
    jack_set_process_callback(client_.get(), &JackDriver::processcallback, this);
    jack_set_buffer_size_callback(client_.get(), &JackDriver::buffersizecallback, this);
    jack_set_sample_rate_callback(client_.get(), &JackDriver::sampleratecallback, this);
    jack_set_xrun_callback(client_.get(), &JackDriver::xruncallback, this);
    jack_set_latency_callback(
        client_.get(), [](jack_latency_callback_mode_t mode, void* arg) { latencycallback(mode, arg); }, this);
    jack_on_info_shutdown(
        client_.get(), [](jack_status_t code, const char* reason, void* arg) { shutdowncallback(code, reason, arg); },
        this);
    return 1;
}

void JackDriver::getDriverName(char* name) { copydrivertext(name, 32, "JACK"); }

void JackDriver::getErrorMessage(char* string) { copydrivertext(string, 124, error_); }

ASIOError JackDriver::start()
{
    if (!client_ || buffersize_ == 0 || dead_)
        return ASE_NotPresent;
    if (running_)
        return ASE_OK;
    half_ = 0;
    running_ = true;
    JackMessages::Doing doing("starting the JACK client");
    if (!activated_) {
        if (jack_activate(client_.get()) != 0) {
            running_ = false;
            error_ = "JACK refused to activate the client";
            return ASE_HWMalfunction;
        }
        activated_ = true;
    }
    for (std::size_t i = 0; i < ports_.size() && i < sources_.size(); ++i)
        jack_connect(client_.get(), sources_[i].c_str(), jack_port_name(ports_[i]));
    return ASE_OK;
}

ASIOError JackDriver::stop()
{
    running_ = false;
    // Deactivating waits for a process cycle in progress, so no buffer callback runs afterwards.
    if (client_ && activated_ && !dead_)
        jack_deactivate(client_.get());
    activated_ = false;
    return ASE_OK;
}

ASIOError JackDriver::getChannels(std::int32_t* numInputChannels, std::int32_t* numOutputChannels)
{
    if (!client_)
        return ASE_NotPresent;
    // Without source ports the card still offers a stereo pair, which stays silent until
    // something is connected to it.
    *numInputChannels = sources_.empty() ? 2 : static_cast<std::int32_t>(sources_.size());
    *numOutputChannels = 0;
    return ASE_OK;
}

ASIOError JackDriver::getLatencies(std::int32_t* inputLatency, std::int32_t* outputLatency)
{
    if (!client_)
        return ASE_NotPresent;
    jack_nframes_t latency = 0;
    for (jack_port_t* port : ports_) {
        jack_latency_range_t range{};
        jack_port_get_latency_range(port, JackCaptureLatency, &range);
        latency = std::max(latency, range.max);
    }
    if (ports_.empty() && !sources_.empty()) {
        if (jack_port_t* port = jack_port_by_name(client_.get(), sources_[0].c_str())) {
            jack_latency_range_t range{};
            jack_port_get_latency_range(port, JackCaptureLatency, &range);
            latency = range.max;
        }
    }
    *inputLatency = static_cast<std::int32_t>(latency);
    *outputLatency = 0;
    reportedlatency_ = *inputLatency;
    return ASE_OK;
}

ASIOError JackDriver::getBufferSize(std::int32_t* minSize, std::int32_t* maxSize, std::int32_t* preferredSize,
                                    std::int32_t* granularity)
{
    if (!client_)
        return ASE_NotPresent;
    const auto size = static_cast<std::int32_t>(jack_get_buffer_size(client_.get()));
    *minSize = *maxSize = *preferredSize = size;
    *granularity = 0;
    return ASE_OK;
}

ASIOError JackDriver::canSampleRate(ASIOSampleRate sampleRate)
{
    if (!client_)
        return ASE_NotPresent;
    return sampleRate == static_cast<double>(jack_get_sample_rate(client_.get())) ? ASE_OK : ASE_NoClock;
}

ASIOError JackDriver::getSampleRate(ASIOSampleRate* sampleRate)
{
    if (!client_)
        return ASE_NotPresent;
    *sampleRate = jack_get_sample_rate(client_.get());
    return ASE_OK;
}

ASIOError JackDriver::setSampleRate(ASIOSampleRate sampleRate)
{
    // The server owns the rate; a client can only agree with it.
    return canSampleRate(sampleRate);
}

ASIOError JackDriver::getClockSources(ASIOClockSource* clocks, std::int32_t* numSources)
{
    return onlyclocksource(clocks, numSources, "JACK server");
}

ASIOError JackDriver::setClockSource(std::int32_t reference) { return reference == 0 ? ASE_OK : ASE_InvalidParameter; }

ASIOError JackDriver::getSamplePosition(std::uint64_t* samplePosition, std::uint64_t* timeStamp)
{
    if (!client_ || !running_)
        return ASE_SPNotAdvancing;
    *samplePosition = position_;
    *timeStamp = static_cast<std::uint64_t>(jack_get_time()) * 1000;
    return ASE_OK;
}

ASIOError JackDriver::getChannelInfo(ASIOChannelInfo* info)
{
    std::int32_t inputs = 0, outputs = 0;
    if (getChannels(&inputs, &outputs) != ASE_OK)
        return ASE_NotPresent;
    if (!info->isInput || info->channel < 0 || info->channel >= inputs)
        return ASE_InvalidParameter;
    info->isActive = !ports_.empty();
    info->channelGroup = 0;
    info->type = ASIOSTFloat32LSB;
    const auto index = static_cast<std::size_t>(info->channel);
    copydrivertext(info->name, sizeof info->name,
             index < sources_.size() ? sources_[index] : "Input " + std::to_string(info->channel + 1));
    return ASE_OK;
}

ASIOError JackDriver::createBuffers(ASIOBufferInfo* bufferInfos, std::int32_t numChannels, std::int32_t bufferSize,
                                    const ASIOCallbacks* callbacks)
{
    if (!client_ || !callbacks)
        return ASE_NotPresent;
    if (bufferSize != static_cast<std::int32_t>(jack_get_buffer_size(client_.get())))
        return ASE_InvalidMode;
    disposeBuffers();
    std::int32_t inputs = 0, outputs = 0;
    getChannels(&inputs, &outputs);
    ports_.assign(inputs, nullptr);
    buffers_.assign(inputs, {});
    for (std::int32_t i = 0; i < numChannels; ++i) {
        ASIOBufferInfo& b = bufferInfos[i];
        if (!b.isInput || b.channelNum < 0 || b.channelNum >= inputs) {
            disposeBuffers();
            return ASE_InvalidParameter;
        }
        const std::string name = "in_" + std::to_string(b.channelNum + 1);
        jack_port_t* port = jack_port_register(client_.get(), name.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        if (!port) {
            disposeBuffers();
            return ASE_NoMemory;
        }
        ports_[b.channelNum] = port;
        buffers_[b.channelNum].assign(2 * static_cast<std::size_t>(bufferSize), 0.0f);
        b.buffers[0] = buffers_[b.channelNum].data();
        b.buffers[1] = buffers_[b.channelNum].data() + bufferSize;
    }
    std::erase(ports_, nullptr);
    inputs_.assign(static_cast<std::size_t>(inputs), nullptr);
    buffersize_ = bufferSize;
    callbacks_.set(*callbacks);
    return ASE_OK;
}

ASIOError JackDriver::disposeBuffers()
{
    stop();
    if (client_ && !dead_)
        for (jack_port_t* port : ports_)
            jack_port_unregister(client_.get(), port);
    ports_.clear();
    buffers_.clear();
    inputs_.clear();
    buffersize_ = 0;
    return ASE_OK;
}

ASIOError JackDriver::future(std::int32_t selector, void*)
{
    return selector == kAsioCanTimeInfo ? ASE_SUCCESS : ASE_NotPresent;
}

// --- JACK threads ---

int JackDriver::processcallback(std::uint32_t nframes, void* arg) { return static_cast<JackDriver*>(arg)->process(nframes); }

int JackDriver::process(std::uint32_t nframes)
{
    if (!running_ || static_cast<std::int32_t>(nframes) != buffersize_)
        return 0;
    const bool direct = callbacks_.takesinputs();
    const std::size_t offset = static_cast<std::size_t>(half_) * nframes;
    std::size_t port = 0;
    for (std::size_t i = 0; i < buffers_.size(); ++i) {
        if (buffers_[i].empty())
            continue;
        const auto* in = static_cast<const float*>(jack_port_get_buffer(ports_[port++], nframes));
        if (direct)
            inputs_[i] = in;
        else
            std::memcpy(buffers_[i].data() + offset, in, nframes * sizeof(float));
    }
    const std::uint64_t position = position_;
    if (callbacks_.timeinfo() || direct) {
        time_.timeInfo.samplePosition = position;
        time_.timeInfo.systemTime = static_cast<std::uint64_t>(jack_get_time()) * 1000;
        time_.timeInfo.flags = kSamplePositionValid | kSystemTimeValid;
    }
    if (direct)
        callbacks_.bufferswitch(half_, time_, inputs_.data());
    else
        callbacks_.bufferswitch(half_, time_);
    position_ = position + nframes;
    half_ ^= 1;
    return 0;
}

int JackDriver::buffersizecallback(std::uint32_t nframes, void* arg)
{
    auto* self = static_cast<JackDriver*>(arg);
    if (self->buffersize_ != 0 && static_cast<std::int32_t>(nframes) != self->buffersize_)
        self->callbacks_.message(kAsioBufferSizeChange);
    return 0;
}

int JackDriver::sampleratecallback(std::uint32_t nframes, void* arg)
{
    auto* self = static_cast<JackDriver*>(arg);
    if (self->buffersize_ != 0)
        self->callbacks_.ratechanged(nframes);
    return 0;
}

int JackDriver::xruncallback(void* arg)
{
    auto* self = static_cast<JackDriver*>(arg);
    const std::uint64_t now = jack_get_time();
    // Count xruns within a two-second window; a storm asks for a reset once.
    if (now - self->xrunwindow_.load() > 2000000) {
        self->xrunwindow_ = now;
        self->xruns_ = 0;
    }
    if (++self->xruns_ == self->settings_.xrunstorm)
        self->callbacks_.message(kAsioResetRequest);
    return 0;
}

void JackDriver::latencycallback(int mode, void* arg)
{
    auto* self = static_cast<JackDriver*>(arg);
    if (mode != JackCaptureLatency || !self->running_)
        return;
    // Connecting ports recomputes latencies too; only a real change is reported, or the host's
    // restart (which reconnects) would report again for ever.
    std::int32_t input = 0, output = 0;
    self->getLatencies(&input, &output);
    if (input != self->reportedlatency_.exchange(input))
        self->callbacks_.message(kAsioLatenciesChanged);
}

void JackDriver::shutdowncallback(int, const char*, void* arg)
{
    auto* self = static_cast<JackDriver*>(arg);
    self->dead_ = true;
    self->running_ = false;
    self->callbacks_.message(kAsioResetRequest);
}

}  // namespace velk
