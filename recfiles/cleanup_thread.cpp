#include "recfiles/cleanup_thread.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <memory>

#include "config/recording_settings.h"
#include "services/status_log.h"
#include "core/clock.h"
#include "core/main_thread_queue.h"
#include "core/rec_descriptor.h"
#include "core/user_notifier.h"
#include "recfiles/descriptor_files.h"

namespace velk {

namespace {

constexpr std::int64_t msperday = 86'400'000;

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

}  // namespace

CleanupThread::CleanupThread(TWakeEvent& event, std::string folder)
    : CleanupThread(event, OwnFolders(std::move(folder), OwnFolders::of(config()).outputfolders()))
{
}

CleanupThread::CleanupThread(TWakeEvent& event, OwnFolders folders, const RecordingSettingsCell& settings)
    : event_(event), folders_(std::move(folders)), settings_(settings)
{
}

CleanupThread::CleanupThread(TWakeEvent& event, OwnFolders folders)
    : CleanupThread(event, std::move(folders), recordingsettings())
{
}

CleanupThread::~CleanupThread()
{
    if (thread_.joinable()) {
        terminate();
        event_.set();
        thread_.join();
    }
}

void CleanupThread::start()
{
    if (!thread_.joinable())
        thread_ = std::thread([this] { run(); });
}

void CleanupThread::waitfor()
{
    if (thread_.joinable())
        thread_.join();
}

bool CleanupThread::waitfor(std::chrono::milliseconds limit)
{
    if (!thread_.joinable())
        return true;
    {
        std::unique_lock lock(mutex_);
        if (!handledcv_.wait_for(lock, limit, [&] { return finished_; }))
            return false;
    }
    thread_.join();
    return true;
}

std::uint64_t CleanupThread::wakeups() const
{
    std::lock_guard lock(mutex_);
    return handled_;
}

bool CleanupThread::waitwakeups(std::uint64_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return handledcv_.wait_for(lock, timeout, [&] { return handled_ >= count; });
}

void CleanupThread::run()
{
    // The lowest priority: the cleanup never competes with capture or compression.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 19);
    while (!terminated_.load()) {
        // Woken by the event (start-up, finished compressions, shutdown) or by the minute, so a
        // pass runs once a day even when nothing is compressed.
        const bool woken = event_.waitfor(checkperiod);
        // One snapshot of the settings per wake-up: a pass uses one age limit throughout.
        days_ = settings_.read()->cleanuptime;
        if (!terminated_.load() && days_ > 0 && appclock().nowlocal() > lastcheck + 1.0) {
            try {
                pass();
            } catch (const std::exception& e) {
                // An error outside the handling of one file ends the pass without its last line.
                report(e.what());
            }
        }
        if (!woken)
            continue;
        {
            std::lock_guard lock(mutex_);
            ++handled_;
        }
        handledcv_.notify_all();
    }
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    handledcv_.notify_all();
}

void CleanupThread::pass()
{
    addlog("Cleanup started...");
    deletetcount_.store(0);
    lastcheck = appclock().nowlocal();
    scan(folders_.datafolder());
    addlog("Cleanup finished. Deleted " + std::to_string(deletetcount_.load()) + " recordings");
}

void CleanupThread::scan(const std::string& folder)
{
    if (terminated_.load())
        return;
    std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
    if (!dir)
        return;
    while (!terminated_.load()) {
        const dirent* entry = ::readdir(dir.get());
        if (!entry)
            break;
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string path = folder + "/" + name;
        struct stat st {};
        // Symbolic links are not followed: the scan stays inside the data folder.
        if (::lstat(path.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            scan(path);
            continue;
        }
        const auto dot = name.rfind('.');
        if (S_ISREG(st.st_mode) && dot != std::string::npos && name.compare(dot, std::string::npos, ".part") == 0 &&
            dot >= 5 && name.compare(dot - 5, 5, ".velk") == 0) {
            removepart(path);
            continue;
        }
        if (dot == std::string::npos || name.compare(dot, std::string::npos, ".velk") != 0)
            continue;
        if (!S_ISREG(st.st_mode)) {
            // A FIFO or a device would block the read, a link could lead anywhere.
            addlog("Cleanup skipped " + path + ": not a regular file");
            continue;
        }
        try {
            handlefile(path);
        } catch (const std::exception& e) {
            report(e.what());
        }
    }
}

void CleanupThread::handlefile(const std::string& path)
{
    TRecDescriptor descriptor;
    if (!readdescriptor(path, descriptor))
        return;  // the read has logged why
    const std::int64_t age = millisecondsbetween(appclock().nowlocal(), descriptor.start) / msperday;
    if (age > days_) {
        // A descriptor naming a file outside the output folders is left alone with its
        // recording: neither is the recorder's to delete.
        const std::string audio = descriptor.getpath();
        std::string why;
        if (!audio.empty() && !folders_.allows(OwnFolders::Kind::recording, audio, why, true)) {
            addlog("Cleanup skipped " + why);
            return;
        }
        // Like the recording writer's short-recording deletion, without the descriptor lock; the
        // recording counts as deleted whether or not its files were still there.
        if (!folders_.remove(OwnFolders::Kind::descriptor, path, why))
            addlog("Cleanup skipped " + why);
        if (!audio.empty() && !folders_.remove(OwnFolders::Kind::recording, audio, why))
            addlog("Cleanup skipped " + why);
        deletetcount_.fetch_add(1);
    }
}

// A descriptor write keeps the descriptor's lock while its ".part" exists, so a part found under
// that lock is what a write cut off by a crash left.
void CleanupThread::removepart(const std::string& part)
{
    const std::string descriptor = part.substr(0, part.size() - 5);
    LockHandle lock = lockfile(descriptor);
    if (!lock)
        return;
    struct stat st {};
    if (::lstat(part.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::unlink(part.c_str()) == 0)
        addlog("Removed leftover file: " + part + " (an interrupted descriptor write)");
    unlockfile(std::move(lock));
}

void CleanupThread::report(const std::string& message)
{
    // Shown by the main thread in the standard error box. The thread does not wait for it: the
    // main thread may itself be waiting for this thread to end.
    mainqueue().postcall([message] { usernotifier().error("VELK", message); });
}

}  // namespace velk
