#include "app/low_space_alarm.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstdio>

#include "services/status_log.h"
#include "platform/paths.h"

namespace velk {

namespace {

std::string megabytes(std::uint64_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

}  // namespace

LowSpaceAlarm::LowSpaceAlarm(SpaceOf spaceof) : spaceof_(spaceof ? std::move(spaceof) : SpaceOf(systemspace)) {}

std::optional<LowSpaceAlarm::Space> LowSpaceAlarm::systemspace(const std::string& folder)
{
    // A folder the first recording has not created yet is measured on its nearest parent.
    std::string path = folder.empty() ? std::string("/") : folder;
    struct stat st {};
    while (::stat(path.c_str(), &st) != 0) {
        std::string parent = folderof(path);
        if (parent.empty() || path == "/")
            return std::nullopt;
        path = std::move(parent);
    }
    struct statvfs vfs {};
    if (::statvfs(path.c_str(), &vfs) != 0)
        return std::nullopt;
    return Space{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize};
}

void LowSpaceAlarm::check(const std::vector<Need>& needs, int minutes)
{
    if (minutes <= 0) {
        low_.clear();
        return;
    }
    struct Disk {
        std::string folder;
        std::uint64_t free = 0;
        std::uint64_t rate = 0;
    };
    std::map<std::uint64_t, Disk> disks;
    for (const Need& need : needs) {
        const std::optional<Space> space = spaceof_(need.folder);
        if (!space)
            continue;
        Disk& disk = disks[space->device];
        if (disk.folder.empty())
            disk.folder = need.folder;
        disk.free = space->freebytes;
        disk.rate += need.bytespersecond;
    }
    for (const auto& [device, disk] : disks) {
        const std::uint64_t need = disk.rate * 60 * static_cast<std::uint64_t>(minutes);
        const auto standing = low_.find(device);
        if (standing == low_.end() && disk.free < need) {
            low_[device] = disk.folder;
            addlog("Low disk space: " + disk.folder + " has " + megabytes(disk.free) + " MB free, less than " +
                   std::to_string(minutes) + " minutes of recording");
        } else if (standing != low_.end() && disk.free >= need + need / 10) {
            addlog("Disk space recovered: " + standing->second + " has " + megabytes(disk.free) + " MB free");
            low_.erase(standing);
        }
    }
    // A file system no switched-on channel records to any more needs no alarm.
    for (auto it = low_.begin(); it != low_.end();)
        it = disks.count(it->first) ? std::next(it) : low_.erase(it);
}

}  // namespace velk
