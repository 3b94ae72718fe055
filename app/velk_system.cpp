#include "app/velk_system.h"

#include <chrono>
#include <cstdio>

#include "config/config.h"
#include "config/config_file.h"
#include "config/recording_settings.h"
#include "services/scheduler.h"
#include "core/clock.h"
#include "core/errors.h"
#include "core/user_notifier.h"
#include "engine/card_set.h"
#include "engine/card_watch.h"
#include "recfiles/cleanup_thread.h"
#include "recfiles/descriptor_files.h"
#include "recfiles/own_folders.h"
#include "recfiles/processor.h"
#include "recfiles/recording_recovery.h"
#include "recfiles/wake_event.h"

namespace velk {

namespace {
// How long the shutdown waits for the cleanup thread to end.
constexpr std::chrono::milliseconds cleanupstoplimit{10000};
}  // namespace

std::string velkversion()
{
    return VELK_VERSION;
}

VelkSystem::Install::Install(VelkSystem& s) : system(s)
{
    installedition(&system.edition_);
    setconfig(&system.config_);
    setdisplaysettings(&system.display_);
    setrecordingsettings(&system.recording_);
}

VelkSystem::Install::~Install()
{
    // A later system installed its own: that one stays.
    if (&velk::config() == &system.config_) {
        setconfig(nullptr);
        setdisplaysettings(nullptr);
        setrecordingsettings(nullptr);
        installedition(nullptr);
    }
}

VelkSystem::VelkSystem(Edition edition)
    : edition_(edition), cards_(config_), channels_(cards_, config_, recording_)
{
    queue_.bindtocurrentthread();
    setmainqueue(&queue_);
}

VelkSystem::~VelkSystem()
{
    if (started_ && !stopped_) {
        try {
            shutdown();
        } catch (...) {
            // Destruction must not throw; shutdown() reports its own failures.
        }
    }
    setmainqueue(nullptr);
}

std::size_t VelkSystem::runqueue()
{
    const std::size_t handled = queue_.drain(handling_ ? this : nullptr);
    if (started_ && !stopped_ && handling_)
        filelogifdue();
    return handled;
}

void VelkSystem::filelogifdue()
{
    const auto now = appclock().monotonic();
    if (now < nextlogfiling_)
        return;
    nextlogfiling_ = now + logfileinterval;
    logfilingfailed_ = !statuslog_.savelog(!logfilingfailed_);
}

std::chrono::milliseconds VelkSystem::untillogfiling() const
{
    const auto now = appclock().monotonic();
    if (now >= nextlogfiling_)
        return std::chrono::milliseconds(0);
    return std::chrono::ceil<std::chrono::milliseconds>(nextlogfiling_ - now);
}

void VelkSystem::startup()
{
    started_ = true;
    addlog("VELK System Initialization...");
    loadconfig(config_, display_, edition_);
    // From here on the workers see the loaded settings.
    publishrecordingsettings();
    statuslog_.setfolder(config_.log_path);
    // The cleanup thread's first wake-up runs a pass.
    cleanupevent_ = std::make_unique<TWakeEvent>();
    cleanup_ = std::make_unique<CleanupThread>(*cleanupevent_, OwnFolders::of(config_), recording_);
    cleanup_->lastcheck = appclock().nowlocal() - 1.0;
    cleanup_->start();
    processor_ =
        std::make_unique<TProcessor>(config_.common_path, OwnFolders::of(config_), recording_, cleanupevent_.get());
    // Before any channel records: nothing the recovery looks at belongs to a live recording.
    const std::vector<std::string> waiting = recover();
    cleanupevent_->set();  // the start-up pass, once the recovery is done with the folders
    startchannels();
    addlog("VELK System Activated.");
    if (config_.autorecording)
        channels_.allchannelsstate(true);
    processor_->loadtasks(waiting);
    startscheduler();
}

// What a run that ended without its shutdown left: unfinished recordings, compressions that were
// never stored in the task list, leftovers of interrupted writes. Returns the recordings waiting
// for compression.
std::vector<std::string> VelkSystem::recover()
{
    const TConfig& c = config_;
    // The folders the channels record into, as the converter and the cleanup see them.
    RecordingRecovery recovery(c.velk_path, OwnFolders::of(c).outputfolders(), c.normalize);
    return recovery.run();
}

// The schedule comes last: switching it on may start channels at once. A damaged schedule file
// costs only the schedules after the fault (loadsettings logs it and never throws).
void VelkSystem::startscheduler()
{
    scheduler_ = std::make_unique<TScheduler>();
    scheduler_->fonevent = [this](TScheduler&, int channel, bool start) {
        if (channel < 0 || static_cast<std::size_t>(channel) >= channels_.size())
            throw EVelkError("No channel " + std::to_string(channel) + " to switch");
        TChannel& live = channels_.at(static_cast<std::size_t>(channel));
        // As the record button: nothing when the channel is already in that state.
        if (live.recording() == start)
            return;
        if (start)
            live.startrecording();
        else
            live.stoprecording();
    };
    // Channels dropped at start-up closed up the channel table; the schedules follow it, so no
    // schedule switches the channel that moved into a dropped one's place.
    scheduler_->loadsettings(config_.common_path, edition_, channels_.dropped());
}

void VelkSystem::shutdown()
{
    if (stopped_)
        return;
    stopped_ = true;
    if (cleanup_) {
        cleanup_->terminate();
        cleanupevent_->set();
        // A pass ends at its next directory entry; one stuck in the file system must not keep
        // the recordings from being finished. It keeps its object and its event.
        if (!cleanup_->waitfor(cleanupstoplimit)) {
            addlog("The cleanup thread did not stop within " + std::to_string(cleanupstoplimit.count() / 1000) +
                   " s; shutting down without it");
            static_cast<void>(cleanup_.release());
            static_cast<void>(cleanupevent_.release());
        }
        cleanup_.reset();
    }
    try {
        saveconfig();
    } catch (const std::exception& e) {
        usernotifier().error("Could not save settings", e.what());
    }
    if (processor_)
        processor_->stopqueue();
    // Cards stop streaming before the channels they feed are freed; freeing a channel detaches it
    // and finishes its recording; the cards go once no channel is left on them.
    cardwatch_.reset();
    cards_.stopcards();
    channels_.clear();
    cards_.closecards();
    if (scheduler_) {
        try {
            scheduler_->savesettings(config_.common_path, edition_);
        } catch (const std::exception& e) {
            addlog(std::string("Could not save the scheduler file: ") + e.what());
        }
        scheduler_.reset();
    }
    // Descriptor messages of recordings finished above are handled while the processor exists, so
    // their compressions are stored with its queue instead of started.
    runqueue();
    writeheldback();
    if (descriptors_.size())
        addlog("Recording descriptors not written for lack of space: " + std::to_string(descriptors_.size()));
    processor_.reset();
    cleanupevent_.reset();
    addlog("VELK Closed.");
    runqueue();
    handling_ = false;
    logfiled_ = statuslog_.savelog();
}

// The sound cards and the channels on them. The driver cards belong to the ASIO edition; the
// WDM edition's capture devices come with their own card objects.
void VelkSystem::startchannels()
{
    if (edition_ == Edition::Asio && cards_.startcards())
        channels_.createchannels();
    cardwatch_ = std::make_unique<TCardWatch>([this] { cards_.checkcards(); });
    try {
        if (onchannelsready)
            onchannelsready();
        if (edition_ == Edition::Asio)
            cards_.stopidlecards();
    } catch (const std::exception&) {
        addlog("Failed to arrange channels");
        throw EVelkError("Failed to arrange channels");
    }
}

void VelkSystem::saveconfig() const
{
    velk::saveconfig(config_, display_, edition_);
}

void VelkSystem::publishrecordingsettings()
{
    recording_.publish(RecordingSettings::of(config_));
}

void VelkSystem::channelstate(const ChannelStateMessage& message)
{
    if (onchannelstate)
        onchannelstate(message);
}

void VelkSystem::logline(LogLineMessage& message)
{
    if (echo_) {
        std::fwrite(message.line.data(), 1, message.line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    statuslog_.append(std::move(message.line));
}

void VelkSystem::savedescriptor(SaveDescriptorMessage& message)
{
    // A write that works again means there is room for the ones held back too.
    if (descriptors_.write(message.path, message.descriptor, false) && descriptors_.size())
        writeheldback();
}

void VelkSystem::filecomplete(FileCompleteMessage& message)
{
    // Without a processor (after shutdown) the descriptor stays in state 2, as after a crash. A
    // descriptor that could not be written is queued once it is: the converter reads it.
    if (!descriptors_.write(message.path, message.descriptor, processor_ != nullptr))
        return;
    if (processor_)
        processor_->addtask(message.path);
    if (descriptors_.size())
        writeheldback();
}

void VelkSystem::writeheldback()
{
    for (const std::string& path : descriptors_.retry())
        if (processor_)
            processor_->addtask(path);
}

void VelkSystem::housekeeping()
{
    if (!started_ || stopped_)
        return;
    try {
        if (descriptors_.size())
            writeheldback();
        const auto now = appclock().monotonic();
        if (!spacechecked_ || now - lastspacecheck_ >= spacecheckperiod) {
            spacechecked_ = true;
            lastspacecheck_ = now;
            checkspace();
        }
    } catch (const std::exception& e) {
        // Only a log line that could not be posted gets here; the next second tries again.
        std::fprintf(stderr, "%s\n", e.what());
    }
}

// Main thread: the live configuration and channels may be read here.
void VelkSystem::checkspace()
{
    // 16-bit samples at the configured rate; the writers' own formats belong to the card threads.
    const std::uint64_t rate = static_cast<std::uint64_t>(samplerateofindex(config_.samplerate)) * 2;
    std::vector<LowSpaceAlarm::Need> needs;
    for (std::size_t i = 0; i < channels_.size(); ++i) {
        const TChannel& ch = channels_.at(i);
        if (!ch.recording())
            continue;
        needs.push_back({ch.folder().empty() ? config_.outfolder : ch.folder(), rate * (ch.stereo() ? 2 : 1)});
    }
    space_.check(needs, config_.lowspaceminutes);
}

std::vector<std::string> VelkSystem::compressionqueue() const
{
    return processor_ ? processor_->queue() : std::vector<std::string>{};
}

}  // namespace velk
