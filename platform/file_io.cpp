#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/errors.h"
#include "platform/paths.h"

namespace velk {

AtomicFileWriter::~AtomicFileWriter()
{
    abandon();
}

void AtomicFileWriter::abandon()
{
    if (fd_.valid()) {
        fd_.reset();
        ::unlink(temppath_.c_str());
    }
}

int AtomicFileWriter::open(const std::string& path, mode_t mode)
{
    abandon();
    path_ = path;
    temppath_ = path + ".part";
    int fd = ::open(temppath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) {
        ::fchmod(fd, mode);  // exactly `mode`, whatever the umask
    } else if (errno == EEXIST) {
        // A partial file left by an interrupted write; it may carry other permissions.
        fd = ::open(temppath_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd >= 0)
            ::fchmod(fd, mode);
    }
    if (fd < 0)
        return errno;
    fd_.reset(fd);
    return 0;
}

int writefully(int fd, std::string_view data, std::size_t* written)
{
    std::size_t done = 0;
    int rc = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            rc = errno;
            break;
        }
        if (n == 0) {
            rc = ENOSPC;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (written)
        *written = done;
    return rc;
}

int AtomicFileWriter::write(std::string_view data, std::size_t* written)
{
    return writefully(fd_.get(), data, written);
}

int AtomicFileWriter::commit(bool durable)
{
    if (!fd_.valid())
        return EBADF;
    if (durable && ::fsync(fd_.get()) != 0) {
        const int rc = errno;
        abandon();
        return rc;
    }
    if (fd_.reset() != 0) {
        const int rc = errno;
        ::unlink(temppath_.c_str());
        return rc;
    }
    if (::rename(temppath_.c_str(), path_.c_str()) != 0) {
        const int rc = errno;
        ::unlink(temppath_.c_str());
        return rc;
    }
    if (durable) {
        const std::string folder = folderof(path_).empty() ? std::string(".") : folderof(path_);
        UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir)
            ::fsync(dir.get());
    }
    return 0;
}

void writefileatomic(const std::string& path, std::string_view data, mode_t mode, bool durable)
{
    AtomicFileWriter writer;
    int rc = writer.open(path, mode);
    if (rc == 0)
        rc = writer.write(data);
    if (rc == 0)
        rc = writer.commit(durable);
    if (rc != 0)
        throw EOSError(rc);
}

UniqueFd openregularfile(const std::string& path, int& err, bool nofollow, int flags)
{
    err = 0;
    UniqueFd fd(::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC | (nofollow ? O_NOFOLLOW : 0)));
    if (!fd) {
        err = errno;
        return fd;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        err = errno;
        return UniqueFd();
    }
    if (!S_ISREG(st.st_mode)) {
        err = S_ISDIR(st.st_mode) ? EISDIR : notregularfile;
        return UniqueFd();
    }
    // Regular files ignore O_NONBLOCK; cleared all the same, so reads behave as always.
    const int fl = ::fcntl(fd.get(), F_GETFL);
    if (fl >= 0)
        ::fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK);
    return fd;
}

int readwholefile(const std::string& path, std::string& out, std::size_t limit)
{
    out.clear();
    int err = 0;
    UniqueFd fd = openregularfile(path, err);
    if (!fd)
        return err;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return errno;
    if (st.st_size > 0 && static_cast<std::size_t>(st.st_size) > limit)
        return EFBIG;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            break;
        if (out.size() + static_cast<std::size_t>(n) > limit)
            return EFBIG;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return 0;
}

bool fileexists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace velk
