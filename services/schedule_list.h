#pragma once
// TScheduleList: what the scheduler window presents, without the window. One row per schedule
// in list order (the channel's name from the configuration, start and stop in the locale's time
// format), the "Enable Scheduler" switch with its status-log line, and the operations of the
// window's buttons. The window only shows rows() and calls these.
//
// Threads: main thread only.

#include <cstddef>
#include <string>
#include <vector>

#include "config/config.h"
#include "services/scheduler.h"

namespace velk {

struct TScheduleRow {
    std::string channel;
    std::string start;
    std::string stop;
};

class TScheduleList {
public:
    // `scheduler` and `config` (the record the channel names come from) are not owned and must
    // outlive the list.
    TScheduleList(TScheduler& scheduler, const TConfig& config) : scheduler_(scheduler), config_(config) {}
    // The names from config() (callers without an owner).
    explicit TScheduleList(TScheduler& scheduler);

    std::vector<TScheduleRow> rows() const;
    TScheduleRow row(std::size_t num) const;
    std::size_t count() const { return scheduler_.getcount(); }

    // The "Enable Scheduler" check box: enable(on), then "Scheduler turned ON." when the
    // scheduler is now on, else "Scheduler turned OFF." (so switching on with no schedules logs
    // OFF). Returns the state the box shows.
    bool setenabled(bool on);
    bool enabled() const { return scheduler_.isactive(); }

    // The channel drop-down of the add/edit dialog: the names of the configured channels.
    std::vector<std::string> channelnames() const;

    // The dialog's Ok and the Delete button. remove() returns the state the check box shows.
    void add(int channel, TDateTime start, TDateTime stop) { scheduler_.addschedule(channel, start, stop); }
    void edit(std::size_t num, int channel, TDateTime start, TDateTime stop)
    {
        scheduler_.editschedule(num, channel, start, stop);
    }
    bool remove(std::size_t num);

private:
    TScheduler& scheduler_;
    const TConfig& config_;
};

}  // namespace velk
