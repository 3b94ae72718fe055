#pragma once
// LowSpaceAlarm: watches the free space of the file systems the channels record to. When one holds
// less than the switched-on channels need for the configured number of minutes at their data rate,
// one status-log line says so; one more says when it has room again (with a tenth to spare, so a
// disk near the limit does not flap).
//
// Threads: main thread only (VelkSystem's housekeeping).

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velk {

class LowSpaceAlarm {
public:
    // What one channel needs: its output folder and its data rate in bytes per second.
    struct Need {
        std::string folder;
        std::uint64_t bytespersecond = 0;
    };
    // The file system of a folder (its nearest existing parent): an identity and the free bytes.
    struct Space {
        std::uint64_t device = 0;
        std::uint64_t freebytes = 0;
    };
    using SpaceOf = std::function<std::optional<Space>(const std::string& folder)>;

    // `spaceof` defaults to the system's answer (stat and statvfs).
    explicit LowSpaceAlarm(SpaceOf spaceof = {});

    // Checks every file system named by `needs`; `minutes` 0 switches the alarm off (and ends a
    // standing alarm quietly).
    void check(const std::vector<Need>& needs, int minutes);
    // Some file system is short of space.
    bool low() const { return !low_.empty(); }

    static std::optional<Space> systemspace(const std::string& folder);

private:
    SpaceOf spaceof_;
    std::map<std::uint64_t, std::string> low_;  // device -> the folder named in the alarm line
};

}  // namespace velk
