#include "recfiles/own_folders.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "config/config.h"
#include "core/errors.h"
#include "core/unique_fd.h"
#include "platform/data_folders.h"

namespace velk {

namespace {

// The components of a path, without empty and "." ones.
std::vector<std::string> componentsof(const std::string& path)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        std::string part = path.substr(start, end - start);
        if (!part.empty() && part != ".")
            parts.push_back(std::move(part));
        start = end + 1;
    }
    return parts;
}

bool absolute(const std::string& path)
{
    return !path.empty() && path.front() == '/';
}

bool endswith(const std::string& text, const char* tail)
{
    const std::string t = tail;
    return text.size() > t.size() && text.compare(text.size() - t.size(), t.size(), t) == 0;
}

}  // namespace

OwnFolders::OwnFolders(std::string datafolder, std::vector<std::string> outputfolders)
    : datafolder_(std::move(datafolder))
{
    for (auto& folder : outputfolders)
        if (absolute(folder) && std::find(outputfolders_.begin(), outputfolders_.end(), folder) == outputfolders_.end())
            outputfolders_.push_back(std::move(folder));
}

OwnFolders OwnFolders::of(const TConfig& c)
{
    std::vector<std::string> outputs{recordingfolder(std::string(), c.outfolder)};
    const int num = std::clamp(c.num, 0, maxchannels);
    for (int i = 0; i < num; ++i)
        outputs.push_back(recordingfolder(c.channels[static_cast<std::size_t>(i)].folder, c.outfolder));
    return OwnFolders(c.velk_path, std::move(outputs));
}

std::string OwnFolders::recordingfolder(const std::string& channelfolder, const std::string& outfolder)
{
    if (absolute(channelfolder))
        return channelfolder;
    if (absolute(outfolder))
        return outfolder;
    return velkrecordingsfolder();
}

int OwnFolders::openparent(const std::vector<std::string>& roots, const std::string& path, std::string& leaf,
                           int& err, bool& inside) const
{
    inside = false;
    err = ENOENT;
    if (!absolute(path))
        return -1;
    const std::vector<std::string> parts = componentsof(path);
    for (const auto& root : roots) {
        if (!absolute(root))
            continue;
        const std::vector<std::string> base = componentsof(root);
        if (parts.size() <= base.size() || !std::equal(base.begin(), base.end(), parts.begin()))
            continue;
        // Below the folder, no step may climb back out of it.
        if (std::find(parts.begin() + static_cast<std::ptrdiff_t>(base.size()), parts.end(), "..") != parts.end())
            continue;
        inside = true;
        UniqueFd fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fd) {
            err = errno;
            continue;
        }
        bool walked = true;
        for (std::size_t i = base.size(); i + 1 < parts.size(); ++i) {
            const int next = ::openat(fd.get(), parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (next < 0) {
                err = errno;
                if (err != ENOENT) {
                    // A link (ELOOP) or a file where a folder should be.
                    struct stat st {};
                    if (::fstatat(fd.get(), parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
                        err = ELOOP;
                }
                walked = false;
                break;
            }
            fd.reset(next);
        }
        if (!walked)
            continue;
        leaf = parts.back();
        return fd.release();
    }
    return -1;
}

bool OwnFolders::allows(Kind kind, const std::string& path, std::string& why, bool missingok) const
{
    const bool descriptor = kind == Kind::descriptor;
    const bool named = descriptor ? endswith(path, ".velk") : endswith(path, ".wav") || endswith(path, ".mp3");
    if (!named) {
        why = path + ": not a " + (descriptor ? "descriptor" : "recording") + " file";
        return false;
    }
    std::string leaf;
    int err = 0;
    bool inside = false;
    const std::vector<std::string> data{datafolder_};
    UniqueFd parent(openparent(descriptor ? data : outputfolders_, path, leaf, err, inside));
    if (!inside) {
        why = path + (descriptor ? ": outside the data folder" : ": outside the output folders");
        return false;
    }
    if (!parent) {
        if (err == ENOENT && missingok)
            return true;
        why = path + (err == ELOOP ? ": reached through a symbolic link" : ": " + systemerrortext(err));
        return false;
    }
    struct stat st {};
    if (::fstatat(parent.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT && missingok)
            return true;
        why = path + ": " + systemerrortext(errno);
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        why = path + ": a symbolic link";
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        why = path + ": not a regular file";
        return false;
    }
    return true;
}

bool OwnFolders::remove(Kind kind, const std::string& path, std::string& why) const
{
    if (!allows(kind, path, why, true))
        return false;
    std::string leaf;
    int err = 0;
    bool inside = false;
    const std::vector<std::string> data{datafolder_};
    UniqueFd parent(openparent(kind == Kind::descriptor ? data : outputfolders_, path, leaf, err, inside));
    if (!parent)
        return err == ENOENT;
    struct stat st {};
    if (::fstatat(parent.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!S_ISREG(st.st_mode)) {
        why = path + ": not a regular file";
        return false;
    }
    if (::unlinkat(parent.get(), leaf.c_str(), 0) != 0 && errno != ENOENT) {
        why = path + ": " + systemerrortext(errno);
        return false;
    }
    return true;
}

}  // namespace velk
