#include "recfiles/processor.h"

#include <algorithm>
#include <exception>
#include <unordered_set>

#include "services/status_log.h"
#include "core/rec_descriptor.h"
#include "recfiles/converter.h"
#include "recfiles/descriptor_files.h"
#include "recfiles/own_folders.h"
#include "recfiles/process_thread.h"
#include "recfiles/task_list.h"
#include "recfiles/wake_event.h"
#include "platform/paths.h"

namespace velk {

TProcessor::TProcessor(std::string folder, TWakeEvent* cleanupevent, bool encodererrorbox)
    : TProcessor(std::move(folder), OwnFolders::of(config()), recordingsettings(), cleanupevent, encodererrorbox)
{
}

TProcessor::TProcessor(std::string folder, OwnFolders folders, const RecordingSettingsCell& settings,
                       TWakeEvent* cleanupevent, bool encodererrorbox)
    : folder_(std::move(folder)),
      folders_(std::move(folders)),
      cleanupevent_(cleanupevent),
      converter_(std::make_unique<TConverter>(folders_, settings, encodererrorbox))
{
    brokenstorable_ = loadlist(brokenfilesfile, broken_);
    // The stored queue is read now, before anything can change (and so store) the queue; its
    // tasks join the queue in loadtasks().
    queuestorable_ = loadlist(audiotaskfile, stored_);
    worker_ = std::make_unique<TProcessThread>(*converter_);
    std::weak_ptr<int> alive = alive_;
    worker_->setcompletion([this, alive](const std::string& task, const std::string& error, bool result,
                                         const std::string& output) {
        if (alive.lock())
            taskdone(task, error, result, output);
    });
    worker_->start();
}

TProcessor::~TProcessor()
{
    alive_.reset();
    worker_->setcompletion({});
    converter_->cancel();
    worker_->terminate();
    worker_->signal();
    if (!worker_->waitfor(workerstoplimit)) {
        // Stuck in the file system: the thread keeps its converter; the queue is stored anyway,
        // with the interrupted task still first.
        addlog("The compression thread did not stop within " + std::to_string(workerstoplimit.count() / 1000) +
               " s; shutting down without it");
        static_cast<void>(worker_.release());
        static_cast<void>(converter_.release());
    }
    worker_.reset();
    // An interrupted task is still entry 0 of the queue and is tried again at the next start.
    storequeue(true);
    storebroken(true);
}

bool TProcessor::loadlist(const char* name, std::vector<std::string>& list)
{
    const std::string path = folder_ + name;
    std::string why;
    if (readtasklist(path, list, &why))
        return true;
    // Never written over: the file is kept aside for a look, and the list starts empty.
    std::string aside = keepaside(path, &why);
    if (aside.empty()) {
        addlog(std::string("Could not read ") + name + " (" + why + "); it is left as it is and not saved over");
        return false;
    }
    addlog(std::string("Could not read ") + name + " (" + why + "); kept as " +
           barename(aside));
    return true;
}

std::vector<std::string> TProcessor::storedqueue() const
{
    std::vector<std::string> list;
    {
        std::lock_guard lock(lock_);
        list = queue_;
    }
    // While the stored tasks have not been taken in (before loadtasks, or when start-up stopped
    // before it) they stay in the file, ahead of this run's.
    if (!loaded_) {
        std::vector<std::string> merged = stored_;
        for (const auto& path : list)
            if (std::find(merged.begin(), merged.end(), path) == merged.end())
                merged.push_back(path);
        list = std::move(merged);
    }
    return list;
}

void TProcessor::storelist(const char* name, const std::vector<std::string>& list, bool durable,
                           std::string& lasterror)
{
    try {
        writetasklist(folder_ + name, list, durable);
        lasterror.clear();
    } catch (const std::exception& e) {
        // Said once per kind of failure, not at every change.
        const std::string text = std::string("Can not save ") + name + ": " + e.what();
        if (text != lasterror)
            addlog(text);
        lasterror = text;
    }
}

void TProcessor::storequeue(bool durable)
{
    if (queuestorable_)
        storelist(audiotaskfile, storedqueue(), durable, queueerror_);
}

void TProcessor::storebroken(bool durable)
{
    if (brokenstorable_)
        storelist(brokenfilesfile, broken_, durable, brokenerror_);
}

void TProcessor::addtask(const std::string& path)
{
    {
        std::lock_guard lock(lock_);
        queue_.push_back(path);
    }
    storequeue(false);
    if (running_)
        nexttask();
}

void TProcessor::loadtasks(const std::vector<std::string>& found)
{
    if (loaded_)
        return;
    std::vector<std::string> load;
    const OwnFolders& folders = folders_;
    for (const auto& path : stored_) {
        // A task list is untrusted: only descriptors of the data folder are even read.
        if (std::string why; !folders.allows(OwnFolders::Kind::descriptor, path, why, true)) {
            addlog("Skipped " + why);
            continue;
        }
        TRecDescriptor descriptor;
        if (readdescriptor(path, descriptor) && descriptor.state != DESC_FINAL)
            load.push_back(path);
    }
    std::size_t count;
    {
        std::lock_guard lock(lock_);
        queue_.insert(queue_.end(), load.begin(), load.end());
        // Waiting recordings the list does not name (queued after its last save, or a list that
        // could not be read) follow it: the descriptors are the truth.
        std::unordered_set<std::string> queued(queue_.begin(), queue_.end());
        for (const auto& path : found)
            if (queued.insert(path).second)
                queue_.push_back(path);
        count = queue_.size();
    }
    loaded_ = true;
    stored_.clear();
    storequeue(false);
    if (count > 0)
        addlog("  " + std::to_string(count) + " files queued for compression");
    nexttask();
}

void TProcessor::nexttask()
{
    std::lock_guard lock(lock_);
    if (queue_.empty() || busy_)
        return;
    busy_ = true;
    // The worker reads the task only after the event, which is set after the task.
    worker_->settask(queue_.front());
    worker_->signal();
}

void TProcessor::taskdone(const std::string& task, const std::string& error, bool result, const std::string& output)
{
    std::string removed = task;
    {
        std::lock_guard lock(lock_);
        if (!queue_.empty()) {
            removed = queue_.front();
            queue_.erase(queue_.begin());
        }
    }
    const std::string name = stemof(output);
    if (result) {
        addlog("File: " + name + " compressed.");
    } else {
        broken_.push_back(removed);
        addlog("Unable to compress file: " + name + ". " + error);
    }
    // An aborted task (shutdown) stays first in the queue; the destructor stores that.
    if (running_) {
        storequeue(false);
        if (!result)
            storebroken(false);
    }
    if (running_) {
        if (cleanupevent_)
            cleanupevent_->set();
        {
            std::lock_guard lock(lock_);
            busy_ = false;
        }
        nexttask();
    }
}

std::vector<std::string> TProcessor::queue() const
{
    std::lock_guard lock(lock_);
    return queue_;
}

bool TProcessor::busy() const
{
    std::lock_guard lock(lock_);
    return busy_;
}

}  // namespace velk
