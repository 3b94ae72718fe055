#include "recfiles/descriptor_backlog.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include "services/status_log.h"
#include "platform/data_folders.h"
#include "platform/paths.h"
#include "recfiles/descriptor_files.h"

namespace velk {

namespace {

// Room for a descriptor and the temporary file beside it, with some to spare.
constexpr unsigned long long minfree = 64 * 1024;

bool hasroom(const std::string& folder)
{
    struct statvfs st {};
    if (::statvfs(folder.c_str(), &st) != 0)
        return true;  // no answer: the write itself will tell
    return static_cast<unsigned long long>(st.f_bavail) * st.f_frsize >= minfree;
}

bool exists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

bool DescriptorBacklog::write(const std::string& path, const TRecDescriptor& descriptor, bool queue)
{
    auto kept = pending_.find(path);
    if (kept != pending_.end())
        queue = queue || kept->second.queue;
    if (writedescriptor(path, descriptor)) {
        if (kept != pending_.end())
            pending_.erase(kept);
        return true;
    }
    pending_[path] = Entry{descriptor, queue};
    return false;
}

std::vector<std::string> DescriptorBacklog::retry()
{
    std::vector<std::string> queued;
    for (auto it = pending_.begin(); it != pending_.end();) {
        const std::string& path = it->first;
        const Entry& entry = it->second;
        if (!exists(entry.descriptor.getpath())) {
            it = pending_.erase(it);
            continue;
        }
        const std::string folder = folderof(path).empty() ? std::string("/") : folderof(path);
        if (!exists(folder))
            forcefolders(folder);
        if (!hasroom(folder) || !writedescriptor(path, entry.descriptor)) {
            ++it;
            continue;
        }
        addlog("Recording descriptor written after a failed write: " + path);
        if (entry.queue)
            queued.push_back(path);
        it = pending_.erase(it);
    }
    return queued;
}

}  // namespace velk
