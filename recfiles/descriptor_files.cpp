#include "recfiles/descriptor_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "services/status_log.h"
#include "core/errors.h"
#include "core/unique_fd.h"
#include "platform/file_io.h"
#include "platform/paths.h"

namespace velk {

LockHandle lockfile(const std::string& path)
{
    // Bounded: a holder that never lets go (a stuck or foreign process) must not stall the main
    // thread or the shutdown. Writes replace the file atomically, so going on without the lock
    // risks no torn record.
    try {
        return std::make_unique<NamedLock>(NamedLock::acquire(barename(path), descriptorlocklimit));
    } catch (const EOSError& e) {
        if (e.code() == ETIMEDOUT)
            addlog("The lock of " + barename(path) + " was not free within " +
                   std::to_string(descriptorlocklimit.count() / 1000) + " s; going on without it");
        return nullptr;
    } catch (const EVelkError&) {
        return nullptr;
    }
}

bool unlockfile(LockHandle handle)
{
    if (!handle)
        return false;
    return handle->release();
}

bool writedescriptor(const std::string& path, const TRecDescriptor& descriptor, std::string* error)
{
    std::string failure;
    LockHandle lock = lockfile(path);
    const auto bytes = descriptor.serialize();
    AtomicFileWriter writer;
    if (const int rc = writer.open(path, 0600); rc != 0) {
        failure = "Can not open VELK file for writing: " + systemerrortext(rc);
    } else {
        std::size_t written = 0;
        const int wrc = writer.write(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                                     &written);
        if (written < bytes.size()) {
            // A short record is never put in place of the previous one.
            failure = "Write to VELK file, size mismatch: " + std::to_string(written);
            writer.abandon();
        } else if (wrc == 0) {
            if (const int crc = writer.commit(false); crc != 0)
                failure = "Can not open VELK file for writing: " + systemerrortext(crc);
        } else {
            failure = "Can not open VELK file for writing: " + systemerrortext(wrc);
            writer.abandon();
        }
    }
    unlockfile(std::move(lock));
    if (failure.empty())
        return true;
    addlog(failure);
    if (error)
        *error = failure;
    return false;
}

int createdescriptor(const std::string& path, const TRecDescriptor& descriptor)
{
    LockHandle lock = lockfile(path);
    const auto bytes = descriptor.serialize();
    // Written beside the name first, then linked to it: a link never replaces what is there.
    const std::string temp = path + ".part";
    int rc = 0;
    UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
        rc = errno;
    } else {
        rc = writefully(fd.get(), std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        if (fd.reset() != 0 && rc == 0)
            rc = errno;
        if (rc == 0 && ::link(temp.c_str(), path.c_str()) != 0) {
            rc = errno;
            // A file system without hard links: look, then move (the lock keeps our own writers out).
            if (rc == EPERM || rc == EOPNOTSUPP) {
                struct stat st {};
                if (::lstat(path.c_str(), &st) == 0)
                    rc = EEXIST;
                else
                    rc = ::rename(temp.c_str(), path.c_str()) == 0 ? 0 : errno;
            }
        }
        ::unlink(temp.c_str());
    }
    unlockfile(std::move(lock));
    return rc;
}

bool readdescriptor(const std::string& path, TRecDescriptor& descriptor)
{
    LockHandle lock = lockfile(path);
    // Only a regular file is read: a FIFO named like a descriptor would block the reader for
    // ever, and a link could lead anywhere.
    int err = 0;
    UniqueFd fd = openregularfile(path, err, true);
    if (!fd) {
        addlog("Can not open VELK file for reading: " +
               (err == notregularfile || err == ELOOP ? path + " is not a regular file" : systemerrortext(err)));
        unlockfile(std::move(lock));
        return false;
    }
    TRecDescriptor::Bytes bytes{};
    ssize_t n;
    do {
        n = ::read(fd.get(), bytes.data(), bytes.size());
    } while (n < 0 && errno == EINTR);
    fd.reset();
    unlockfile(std::move(lock));
    if (n <= 0) {
        addlog("Read from VELK file failed");
        return false;
    }
    descriptor = TRecDescriptor::deserialize(std::span<const std::uint8_t>(bytes.data(), static_cast<std::size_t>(n)),
                                             descriptor);
    return true;
}

void deletedescriptor(const std::string& path)
{
    LockHandle lock = lockfile(path);
    ::unlink(path.c_str());
    unlockfile(std::move(lock));
}

}  // namespace velk
