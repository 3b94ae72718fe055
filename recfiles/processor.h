#pragma once
// TProcessor: the compression queue. Finished recordings whose final format is not the recorded
// PCM are queued by their descriptor paths and converted one at a time by the worker
// (TProcessThread with its TConverter). Completions come back to the main thread, are logged,
// wake the cleanup thread and start the next task. The queue is stored in "audiotask.velx"
// whenever it changes (so a crash forgets no task) and failed tasks in "brokenfiles.velx". A list
// that cannot be read is logged and kept aside, never saved over.
//
// Threads: main thread only (constructor, addtask, loadtasks, nexttask, taskdone, stopqueue,
// destructor; the inspection methods too). The worker touches only its converter. The queue and
// the busy flag are guarded by the queue lock, held only for list changes and the busy
// test-and-set; the broken list and the running flag belong to the main thread alone.

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/recording_settings.h"
#include "recfiles/own_folders.h"

namespace velk {

class TConverter;
class TProcessThread;
class TWakeEvent;

class TProcessor {
public:
    // How long the destructor waits for the compression thread to end.
    static constexpr std::chrono::milliseconds workerstoplimit{10000};

    // `folder`: the common folder holding both task lists (with its trailing slash).
    // `cleanupevent` (not owned, may be null): set after every completed task while running.
    // `encodererrorbox`: see TConverter. Loads the broken list and starts the worker.
    // `folders`: the recorder's own folders (the converter acts only inside them, and only the
    // data folder's descriptors of the stored queue are read); `settings` (not owned, must
    // outlive the processor): where the settings of the compressions are published.
    TProcessor(std::string folder, OwnFolders folders, const RecordingSettingsCell& settings,
               TWakeEvent* cleanupevent = nullptr, bool encodererrorbox = false);
    // The folders of config() and recordingsettings() (main thread; callers without an owner).
    explicit TProcessor(std::string folder, TWakeEvent* cleanupevent = nullptr, bool encodererrorbox = false);
    // Stops the worker (a running conversion is aborted and stays first in the queue) and stores
    // the queue in "audiotask.velx" and the broken list in "brokenfiles.velx", flushed to the disk.
    ~TProcessor();
    TProcessor(const TProcessor&) = delete;
    TProcessor& operator=(const TProcessor&) = delete;

    // Queues a descriptor path (WM_FILECOMPLETE); starts it at once when nothing runs.
    void addtask(const std::string& path);
    // Once, late in start-up: re-queues the tasks of "audiotask.velx" whose descriptors can be
    // read and are not final, then the descriptors in `found` (state 2, found by the start-up
    // recovery) that are not queued yet, and logs how many.
    void loadtasks(const std::vector<std::string>& found = {});
    // Hands entry 0 to the worker unless a task is running.
    void nexttask();
    // The completion of entry 0 (posted by the worker).
    void taskdone(const std::string& task, const std::string& error, bool result, const std::string& output);
    // No new task starts from here on (shutdown).
    void stopqueue() { running_ = false; }

    std::vector<std::string> queue() const;
    bool busy() const;
    const std::vector<std::string>& broken() const { return broken_; }
    TConverter& converter() { return *converter_; }

private:
    // Reads a task list of the folder; one that cannot be read is logged and moved aside. False
    // when it could not even be moved: it must then never be written over.
    bool loadlist(const char* name, std::vector<std::string>& list);
    // The queue as it is to be stored: with the stored tasks first while they are not loaded.
    std::vector<std::string> storedqueue() const;
    void storelist(const char* name, const std::vector<std::string>& list, bool durable, std::string& lasterror);
    void storequeue(bool durable);
    void storebroken(bool durable);

    std::string folder_;
    OwnFolders folders_;
    TWakeEvent* cleanupevent_;
    mutable std::mutex lock_;  // the queue lock
    std::vector<std::string> queue_;
    bool busy_ = false;
    std::vector<std::string> broken_;
    bool running_ = true;
    bool loaded_ = false;              // loadtasks ran: the stored queue was taken in
    std::vector<std::string> stored_;  // the stored queue until loadtasks takes it in
    bool queuestorable_ = true;        // "audiotask.velx" may be written (not an unreadable file)
    bool brokenstorable_ = true;       // the same for "brokenfiles.velx"
    std::string queueerror_;           // the last store failure, said once
    std::string brokenerror_;
    std::unique_ptr<TConverter> converter_;
    std::unique_ptr<TProcessThread> worker_;
    // Completions still in the main-thread queue when the processor is gone find this expired.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace velk
