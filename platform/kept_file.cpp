#include "platform/kept_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/errors.h"
#include "core/unique_fd.h"
#include "platform/file_io.h"

namespace velk {

namespace {

// Enough for years of damaged files; beyond that the file is not kept (and the caller says so).
constexpr int maxkept = 100;
// Kept files may hold the password, as the files they come from.
constexpr mode_t keptmode = 0600;

std::string keptname(const std::string& path, int n)
{
    return n == 1 ? path + ".bad" : path + ".bad." + std::to_string(n);
}

bool nameused(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

// rename() that fails with EEXIST instead of replacing an existing target.
int renamenoreplace(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // A file system without the flag: the check and the rename are not one step, but only this
    // program writes names here.
    if (nameused(to))
        return EEXIST;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

bool holds(const std::string& path, std::string_view content)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::size_t>(st.st_size) != content.size())
        return false;
    std::string existing;
    return readwholefile(path, existing, content.size()) == 0 && existing == content;
}

int writenew(const std::string& path, std::string_view content)
{
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, keptmode));
    if (!fd)
        return errno;
    int rc = writefully(fd.get(), content);
    if (rc == 0 && ::fsync(fd.get()) != 0)
        rc = errno;
    if (fd.reset() != 0 && rc == 0)
        rc = errno;
    if (rc != 0)
        ::unlink(path.c_str());
    return rc;
}

AsideResult failed(int rc)
{
    return AsideResult{{}, systemerrortext(rc)};
}

}  // namespace

AsideResult moveaside(const std::string& path)
{
    for (int n = 1; n <= maxkept; ++n) {
        const std::string target = keptname(path, n);
        const int rc = renamenoreplace(path, target);
        if (rc == 0)
            return AsideResult{target, {}};
        if (rc != EEXIST && rc != ENOTEMPTY)
            return failed(rc);
    }
    return AsideResult{{}, "too many kept files"};
}

AsideResult copyaside(const std::string& path, std::string_view content)
{
    for (int n = 1; n <= maxkept; ++n) {
        const std::string target = keptname(path, n);
        if (nameused(target)) {
            if (holds(target, content))
                return AsideResult{target, {}};
            continue;
        }
        const int rc = writenew(target, content);
        if (rc == 0)
            return AsideResult{target, {}};
        if (rc != EEXIST)
            return failed(rc);
    }
    return AsideResult{{}, "too many kept files"};
}

}  // namespace velk
