#include "platform/named_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>

#include "core/errors.h"
#include "platform/data_folders.h"

namespace velk {

namespace {

std::mutex foldermutex;
std::string folderoverride;

off_t offsetof_name(const std::string& name)
{
    // FNV-1a, folded into the positive 62-bit range so offset + length never overflows off_t.
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : name) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return static_cast<off_t>(h & ((std::uint64_t(1) << 62) - 1));
}

UniqueFd openlockfile()
{
    std::string folder = lockfolder();
    std::string path = folder + "velk.locks";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 && errno == ENOENT) {
        forcefolders(folder);
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    }
    if (fd < 0)
        throw EOSError(errno);
    return UniqueFd(fd);
}

bool lockrange(int fd, const std::string& name, bool wait)
{
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = offsetof_name(name);
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
}

NamedLock NamedLock::acquire(const std::string& name)
{
    UniqueFd fd = openlockfile();
    lockrange(fd.get(), name, true);
    return NamedLock(std::move(fd));
}

std::optional<NamedLock> NamedLock::tryacquire(const std::string& name)
{
    UniqueFd fd = openlockfile();
    if (!lockrange(fd.get(), name, false))
        return std::nullopt;
    return NamedLock(std::move(fd));
}

bool NamedLock::release()
{
    if (!fd_.valid())
        return false;
    return fd_.reset() == 0;
}

}  // namespace velk
