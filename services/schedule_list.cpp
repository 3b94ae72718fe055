#include "services/schedule_list.h"

#include "config/config.h"
#include "services/schedule_time.h"
#include "services/status_log.h"

namespace velk {

TScheduleList::TScheduleList(TScheduler& scheduler) : TScheduleList(scheduler, config()) {}

TScheduleRow TScheduleList::row(std::size_t num) const
{
    const TSchedule sc = scheduler_.getschedule(num);
    TScheduleRow r;
    if (sc.channel >= 0 && sc.channel < maxchannels)
        r.channel = config_.channels[static_cast<std::size_t>(sc.channel)].name;
    r.start = formatscheduletime(sc.start);
    r.stop = formatscheduletime(sc.stop);
    return r;
}

std::vector<TScheduleRow> TScheduleList::rows() const
{
    std::vector<TScheduleRow> out;
    out.reserve(count());
    for (std::size_t i = 0; i < count(); ++i)
        out.push_back(row(i));
    return out;
}

bool TScheduleList::setenabled(bool on)
{
    scheduler_.enable(on);
    addlog(scheduler_.isactive() ? "Scheduler turned ON." : "Scheduler turned OFF.");
    return scheduler_.isactive();
}

std::vector<std::string> TScheduleList::channelnames() const
{
    std::vector<std::string> names;
    const int num = std::min(config_.num, maxchannels);
    for (int i = 0; i < num; ++i)
        names.push_back(config_.channels[static_cast<std::size_t>(i)].name);
    return names;
}

bool TScheduleList::remove(std::size_t num)
{
    scheduler_.delschedule(num);
    return scheduler_.isactive();
}

}  // namespace velk
