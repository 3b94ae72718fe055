#pragma once
// CleanupThread: deletes recordings older than `cleanuptime` days, in a pass at start-up (the main
// thread wakes it) and then once a day: it looks at the clock every minute and whenever the
// compression processor wakes it after a finished compression, and runs a pass at most once a day. A pass walks the descriptor folder with its subfolders and deletes, for every descriptor
// whose recording started more than `cleanuptime` whole days ago, the descriptor and the audio
// file it points to. `cleanuptime` 0 switches the cleanup off. Only regular descriptor files of
// the data folder and recordings inside the output folders are deleted (OwnFolders); anything
// else is skipped with a status-log line. A pass also removes what descriptor writes cut off by a
// crash left (".velk.part" files no write holds).
//
// Threads:
//   main thread     constructor, start(), lastcheck (before start), terminate(), waitfor(),
//                   destructor
//   cleanup thread  the passes (at the lowest priority)
//   any thread      the wake-up event's set(), deletetcount(), wakeups(), waitwakeups()
// Ages and the once-a-day rule read appclock(); `cleanuptime` comes from the RecordingSettings
// published in the cell the thread was given, one snapshot per wake-up.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "config/recording_settings.h"
#include "core/date_time.h"
#include "recfiles/own_folders.h"
#include "recfiles/wake_event.h"

namespace velk {

class CleanupThread {
public:
    // Created suspended. `event` (not owned) wakes the thread; `folder` is the descriptor folder
    // (velk_path, copied here because the thread must not read the live configuration).
    // The output folders are those of config() (main thread; callers without an owner).
    // The settings are those of recordingsettings().
    CleanupThread(TWakeEvent& event, std::string folder);
    // `folders`: the data folder to scan and the output folders whose recordings may go;
    // `settings` (not owned, must outlive the thread): where the cleanup time is published.
    CleanupThread(TWakeEvent& event, OwnFolders folders, const RecordingSettingsCell& settings);
    CleanupThread(TWakeEvent& event, OwnFolders folders);
    // Terminates, wakes and joins a running thread.
    ~CleanupThread();
    CleanupThread(const CleanupThread&) = delete;
    CleanupThread& operator=(const CleanupThread&) = delete;

    // When the last pass started; the main thread sets it to now minus one day before start(), so
    // the first wake-up runs a pass.
    TDateTime lastcheck = 0;

    void start();
    // Asks the thread to end; a pass in progress stops at the next directory entry. The caller
    // then sets the event so a waiting thread sees the request.
    void terminate() { terminated_.store(true); }
    void waitfor();
    // Waits at most `limit` for the thread to end and joins it; false when it is still running
    // (stuck in the file system): the caller must then keep this object and the event alive.
    bool waitfor(std::chrono::milliseconds limit);

    // Recordings deleted by the current (or last) pass.
    int deletetcount() const { return deletetcount_.load(); }

    // How often the thread looks at the clock without being woken.
    static constexpr std::chrono::minutes checkperiod{1};

    // Event wake-ups the thread has finished handling (a pass, or the decision not to run one). Tests
    // set the event and wait here for the outcome instead of sleeping.
    std::uint64_t wakeups() const;
    // Waits until at least `count` wake-ups were handled; false if `timeout` passed first.
    bool waitwakeups(std::uint64_t count, std::chrono::milliseconds timeout) const;

private:
    void run();
    void pass();
    void scan(const std::string& folder);
    void handlefile(const std::string& path);
    void removepart(const std::string& part);
    void report(const std::string& message);

    TWakeEvent& event_;
    OwnFolders folders_;
    const RecordingSettingsCell& settings_;
    std::thread thread_;
    std::atomic<bool> terminated_{false};
    std::atomic<int> deletetcount_{0};
    int days_ = 0;  // cleanuptime of the published settings, taken once per wake-up (cleanup thread)

    mutable std::mutex mutex_;
    mutable std::condition_variable handledcv_;
    std::uint64_t handled_ = 0;
    bool finished_ = false;  // run() returned
};

}  // namespace velk
