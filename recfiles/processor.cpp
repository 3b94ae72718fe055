#include "recfiles/processor.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <unordered_set>

#include "config/status_log.h"
#include "core/rec_descriptor.h"
#include "recfiles/converter.h"
#include "recfiles/descriptor_files.h"
#include "recfiles/own_folders.h"
#include "recfiles/process_thread.h"
#include "recfiles/task_list.h"
#include "recfiles/wake_event.h"

namespace velk {

TProcessor::TProcessor(std::string folder, TWakeEvent* cleanupevent, bool encodererrorbox)
    : folder_(std::move(folder)), cleanupevent_(cleanupevent), converter_(std::make_unique<TConverter>(encodererrorbox))
{
    readtasklist(folder_ + brokenfilesfile, broken_);
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
    std::vector<std::string> pending;
    {
        std::lock_guard lock(lock_);
        pending = queue_;
    }
    // When the stored queue was never taken in (the start-up stopped before it), its tasks are
    // still waiting: they stay in the file, ahead of this run's.
    if (!loaded_) {
        std::vector<std::string> stored;
        readtasklist(folder_ + audiotaskfile, stored);
        for (const auto& path : pending)
            if (std::find(stored.begin(), stored.end(), path) == stored.end())
                stored.push_back(path);
        pending = std::move(stored);
    }
    for (const auto& [name, list] : {std::pair{audiotaskfile, &pending}, std::pair{brokenfilesfile, &broken_}}) {
        try {
            writetasklist(folder_ + name, *list);
        } catch (const std::exception& e) {
            addlog(std::string("Can not save ") + name + ": " + e.what());
        }
    }
}

void TProcessor::addtask(const std::string& path)
{
    {
        std::lock_guard lock(lock_);
        queue_.push_back(path);
    }
    if (running_)
        nexttask();
}

void TProcessor::loadtasks(const std::vector<std::string>& found)
{
    loaded_ = true;
    std::vector<std::string> paths;
    readtasklist(folder_ + audiotaskfile, paths);
    std::vector<std::string> load;
    const OwnFolders folders = OwnFolders::fromconfig();
    for (const auto& path : paths) {
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
    const std::string name = std::filesystem::path(output).stem().string();
    if (result) {
        addlog("File: " + name + " compressed.");
    } else {
        broken_.push_back(removed);
        addlog("Unable to compress file: " + name + ". " + error);
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
