#pragma once
// VelkSystem: the recorder without its windows. It owns the main-thread queue and the status-log
// list, runs the start-up and the shutdown in their fixed order, and handles the four main-thread
// messages (panel states go to whoever presents them). The windows and the headless loop both
// drive this one class, so the order of things is the same with and without windows.
//
// Threads: main thread only, except queue() whose posting side any thread may use.

#include <functional>
#include <string>
#include <vector>

#include "config/edition.h"
#include "config/status_log.h"
#include "core/main_thread_queue.h"

namespace velk {

class VelkSystem : public MainMessageHandler {
public:
    // Installs the system's queue as the program's main-thread queue, bound to this thread.
    explicit VelkSystem(Edition edition);
    // Runs shutdown() if start-up ran and shutdown did not.
    ~VelkSystem() override;
    VelkSystem(const VelkSystem&) = delete;
    VelkSystem& operator=(const VelkSystem&) = delete;

    // Start-up: the status log takes lines from here on; the configuration is loaded (defaults
    // when the files are missing or damaged).
    void startup();
    // Shutdown in its fixed order: save the configuration, let the queue run once, post
    // "VELK Closed.", let the queue run once more, stop handling messages, file the status log.
    void shutdown();

    // Delivers every waiting message (the loops call this when wakeupfd() is readable).
    std::size_t runqueue();
    MainThreadQueue& queue() { return queue_; }
    StatusLog& statuslog() { return statuslog_; }
    Edition edition() const { return edition_; }

    // Headless: every status-log line also goes to stdout as it arrives.
    void setechotostdout(bool on) { echo_ = on; }
    // Called for WM_CHANNELSTATE (the panels listen here).
    std::function<void(const ChannelStateMessage&)> onchannelstate;
    // Paths queued for compression by finished recordings, in arrival order.
    const std::vector<std::string>& compressionqueue() const { return compressions_; }

    // MainMessageHandler
    void channelstate(const ChannelStateMessage& message) override;
    void logline(LogLineMessage& message) override;
    void savedescriptor(SaveDescriptorMessage& message) override;
    void filecomplete(FileCompleteMessage& message) override;

private:
    Edition edition_;
    MainThreadQueue queue_;
    StatusLog statuslog_;
    bool started_ = false;
    bool stopped_ = false;
    bool handling_ = true;
    bool echo_ = false;
    std::vector<std::string> compressions_;
};

// "4.0.0"
std::string velkversion();

}  // namespace velk
