#include "platform/named_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "core/errors.h"
#include "core/unique_fd.h"
#include "platform/data_folders.h"

namespace velk {

namespace {

std::mutex foldermutex;
std::string folderoverride;
// Bumped whenever the lock folder may have changed, so threads reopen their lock file.
std::atomic<std::uint64_t> foldergeneration{1};

off_t offsetofname(const std::string& name)
{
    // FNV-1a, folded into the positive 62-bit range so offset + length never overflows off_t.
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : name) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return static_cast<off_t>(h & ((std::uint64_t(1) << 62) - 1));
}

// The calling thread's descriptor of the lock file and the names it holds (with counts).
struct ThreadLocks {
    std::uint64_t generation = 0;
    UniqueFd fd;
    std::unordered_map<off_t, int> held;
};

thread_local ThreadLocks threadlocks;

int lockfd()
{
    ThreadLocks& t = threadlocks;
    const std::uint64_t generation = foldergeneration.load(std::memory_order_acquire);
    // A thread that still holds names keeps its descriptor; closing it would drop them.
    if (t.fd && (t.generation == generation || !t.held.empty()))
        return t.fd.get();
    const std::string folder = lockfolder();
    const std::string path = folder + "velk.locks";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno == ENOENT) {
        forcefolders(folder);
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    }
    if (fd < 0)
        throw EOSError(errno);
    // Older files were made readable for everyone; a file of our own is narrowed to its owner.
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 07777) != 0600)
        ::fchmod(fd, 0600);
    t.fd.reset(fd);
    t.generation = generation;
    return fd;
}

bool setrange(int fd, off_t offset, short type, bool wait)
{
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = offset;
    fl.l_len = 1;
    for (;;) {
        if (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0)
            return true;
        if (errno == EINTR)
            continue;
        if (!wait && (errno == EAGAIN || errno == EACCES))
            return false;
        throw EOSError(errno);
    }
}

}  // namespace

std::string lockfolder()
{
    std::lock_guard guard(foldermutex);
    return folderoverride.empty() ? velkcommonfolder() : folderoverride;
}

void setlockfolder(const std::string& folder)
{
    std::lock_guard guard(foldermutex);
    folderoverride = folder;
    if (!folderoverride.empty() && folderoverride.back() != '/')
        folderoverride += '/';
    foldergeneration.fetch_add(1, std::memory_order_acq_rel);
}

NamedLock NamedLock::acquire(const std::string& name)
{
    const off_t offset = offsetofname(name);
    const int fd = lockfd();
    int& count = threadlocks.held[offset];
    if (count == 0 && !setrange(fd, offset, F_WRLCK, true)) {
        threadlocks.held.erase(offset);
        throw EOSError(EAGAIN);
    }
    ++count;
    return NamedLock(offset);
}

NamedLock NamedLock::acquire(const std::string& name, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    // Polls the range: a blocking wait cannot be given a time limit. The steps grow from 1 ms to
    // 50 ms, so a short hold costs little and a long one little CPU.
    std::chrono::milliseconds step{1};
    for (;;) {
        if (std::optional<NamedLock> lock = tryacquire(name))
            return std::move(*lock);
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            throw EOSError(ETIMEDOUT);
        const auto wait = std::min<std::chrono::nanoseconds>(step, deadline - now);
        const timespec ts{static_cast<time_t>(wait.count() / 1'000'000'000), static_cast<long>(wait.count() % 1'000'000'000)};
        ::nanosleep(&ts, nullptr);
        step = std::min(step * 2, std::chrono::milliseconds(50));
    }
}

std::optional<NamedLock> NamedLock::tryacquire(const std::string& name)
{
    const off_t offset = offsetofname(name);
    const int fd = lockfd();
    int& count = threadlocks.held[offset];
    if (count == 0 && !setrange(fd, offset, F_WRLCK, false)) {
        threadlocks.held.erase(offset);
        return std::nullopt;
    }
    ++count;
    return NamedLock(offset);
}

NamedLock& NamedLock::operator=(NamedLock&& other) noexcept
{
    if (this != &other) {
        release();
        offset_ = other.offset_;
        held_ = std::exchange(other.held_, false);
    }
    return *this;
}

bool NamedLock::release()
{
    if (!held_)
        return false;
    held_ = false;
    ThreadLocks& t = threadlocks;
    const auto it = t.held.find(static_cast<off_t>(offset_));
    if (it == t.held.end() || !t.fd)
        return false;
    if (--it->second > 0)
        return true;
    t.held.erase(it);
    try {
        return setrange(t.fd.get(), static_cast<off_t>(offset_), F_UNLCK, false);
    } catch (const EVelkError&) {
        return false;
    }
}

}  // namespace velk
