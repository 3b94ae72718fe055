#pragma once
// VelkSystem: the recorder without its windows. It owns its edition, the configuration record
// with the display settings, the recording settings published from it, the main-thread queue, the status-log list, the cards and the
// channels on them, runs the start-up and the shutdown in their fixed order, and handles the four
// main-thread messages (panel states go to whoever presents them). The windows and the headless loop both
// drive this one class, so the order of things is the same with and without windows.
//
// Threads: main thread only, except queue() whose posting side any thread may use. While the
// cards exist, the card watch's thread posts their 2-second check to the queue.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/channel_list.h"
#include "app/low_space_alarm.h"
#include "config/config.h"
#include "config/edition.h"
#include "config/recording_settings.h"
#include "engine/card_set.h"
#include "services/status_log.h"
#include "core/main_thread_queue.h"
#include "recfiles/descriptor_backlog.h"

namespace velk {

class CleanupThread;
class TCardWatch;
class TProcessor;
class TScheduler;
class TWakeEvent;

class VelkSystem : public MainMessageHandler {
public:
    // Installs the system's queue as the program's main-thread queue, bound to this thread.
    explicit VelkSystem(Edition edition);
    // Runs shutdown() if start-up ran and shutdown did not.
    ~VelkSystem() override;
    VelkSystem(const VelkSystem&) = delete;
    VelkSystem& operator=(const VelkSystem&) = delete;

    // Start-up: the status log takes lines from here on; the configuration is loaded (defaults
    // when the files are missing or damaged); the cleanup thread (with its start-up pass) and the
    // compression processor start; what an earlier run left unfinished is repaired
    // (RecordingRecovery); the sound cards start, one channel per configured channel is attached
    // to its card, the unused cards stop (a missing or failed card is tried again every 2 seconds,
    // until the shutdown) and, with
    // `autorecording`, every channel is switched on; the compressions left from the last run (the
    // stored queue and every recording still waiting) are queued again; the schedule is loaded.
    void startup();
    // Shutdown in its fixed order: stop the cleanup thread, save the configuration, close the
    // compression queue to new work, stop the cards, free the channels (finishing their
    // recordings), free the cards, save and free the scheduler, let the queue run once, free the
    // processor (it stores its queue), post "VELK Closed.", let the queue run once more, stop
    // handling messages, file the status log.
    void shutdown();

    // Delivers every waiting message (the loops call this when wakeupfd() is readable), then files
    // the status log when that is due.
    std::size_t runqueue();
    // While the system runs, the status log is filed at least once a minute, so a crash costs at
    // most the last minute of lines: the first runqueue() after start-up files, and then every
    // runqueue() once `logfileinterval` has passed since. The loops call runqueue() again when
    // untillogfiling() has passed, lines or not. A filing that fails is reported once, until one
    // succeeds again.
    static constexpr std::chrono::seconds logfileinterval{60};
    std::chrono::milliseconds untillogfiling() const;
    // The loops' timer, about once a second: writes the descriptors a full data folder held back
    // and, every `spacecheckperiod`, checks the output folders' free space (the low-space alarm).
    void housekeeping();
    static constexpr std::chrono::seconds spacecheckperiod{10};
    // An output folder has less room than the low-space alarm asks for.
    bool lowspace() const { return space_.low(); }
    // Descriptors waiting for room in the data folder.
    std::size_t heldbackdescriptors() const { return descriptors_.size(); }
    MainThreadQueue& queue() { return queue_; }
    StatusLog& statuslog() { return statuslog_; }
    TChannelList& channels() { return channels_; }
    TCardSet& cards() { return cards_; }
    // The configuration record (main thread; workers take what they need from it).
    TConfig& config() { return config_; }
    // The main window's own settings, stored with the configuration.
    TDisplaySettings& displaysettings() { return display_; }
    Edition edition() const { return edition_; }
    // Writes the configuration record with the display settings into the edition's files (see
    // saveconfig in config/config_file.h). Throws EVelkError (EOSError) on failure.
    void saveconfig() const;
    // Where the recording settings are published; the channels, the compression and the cleanup
    // read this cell.
    const RecordingSettingsCell& recordingsettings() const { return recording_; }
    // Publishes the settings of the record, after it was loaded and after a change of one of the
    // fields the workers act on.
    void publishrecordingsettings();

    // Whether the shutdown filed the status log (false before it ran, or when the log folder
    // could not be written).
    bool logfiled() const { return logfiled_; }
    // Headless: every status-log line also goes to stdout as it arrives.
    void setechotostdout(bool on) { echo_ = on; }
    // Called at start-up once the channels exist, before the unused cards stop and before
    // "VELK System Activated.": the windows create and arrange the channels' panels here. What it
    // throws ends the start-up with "Failed to arrange channels", as a failed card stop does.
    std::function<void()> onchannelsready;
    // Called for WM_CHANNELSTATE (the panels listen here).
    std::function<void(const ChannelStateMessage&)> onchannelstate;
    // The compression queue (entry 0 is converting while the processor is busy); empty before
    // start-up and after shutdown.
    std::vector<std::string> compressionqueue() const;
    // The compression processor while the system runs, else null.
    TProcessor* processor() { return processor_.get(); }
    // The scheduler while the system runs, else null. Loaded last at start-up; its events start
    // and stop the live channels as their record buttons would (a window may set its own
    // fonevent instead). Saved to the schedule file and freed at shutdown once the channels are.
    TScheduler* scheduler() { return scheduler_.get(); }

    // MainMessageHandler
    void channelstate(const ChannelStateMessage& message) override;
    void logline(LogLineMessage& message) override;
    void savedescriptor(SaveDescriptorMessage& message) override;
    void filecomplete(FileCompleteMessage& message) override;

private:
    std::vector<std::string> recover();
    void startchannels();
    void filelogifdue();
    void startscheduler();
    void writeheldback();
    void checkspace();
    // Installs the edition, the record, the display settings and the recording settings' cell as
    // the program's edition(), config(), displaysettings() and recordingsettings() for the
    // system's lifetime (the forwardings the lower layers' tests and the callers without an owner
    // use); declared right after them, so they are uninstalled after every later member is gone.
    struct Install {
        explicit Install(VelkSystem& system);
        ~Install();
        VelkSystem& system;
    };

    Edition edition_;
    TConfig config_;
    TDisplaySettings display_;
    RecordingSettingsCell recording_{RecordingSettings::of(TConfig{})};
    Install install_{*this};
    MainThreadQueue queue_;
    StatusLog statuslog_;
    TCardSet cards_;         // the driver cards (ASIO edition)
    TChannelList channels_;  // the live channels (ASIO edition: on the driver cards)
    bool started_ = false;
    bool stopped_ = false;
    bool handling_ = true;
    bool echo_ = false;
    std::chrono::steady_clock::time_point nextlogfiling_{};  // on the clock's monotonic timeline
    bool logfilingfailed_ = false;
    bool logfiled_ = false;
    std::unique_ptr<TWakeEvent> cleanupevent_;
    std::unique_ptr<CleanupThread> cleanup_;
    std::unique_ptr<TProcessor> processor_;
    std::unique_ptr<TScheduler> scheduler_;
    DescriptorBacklog descriptors_;
    LowSpaceAlarm space_;
    std::chrono::steady_clock::time_point lastspacecheck_{};
    bool spacechecked_ = false;
    std::unique_ptr<TCardWatch> cardwatch_;  // brings lost cards back, while the cards exist
};

// "4.0.0"
std::string velkversion();

}  // namespace velk
