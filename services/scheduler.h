#pragma once
// TScheduler: starts and stops channels at set times of day, every day. Each schedule (channel,
// start, stop) gives a start and a stop event; the events are kept sorted by time of day and one
// TWaitableTimer is armed for the next. When it fires, fonevent is called for every event of
// that moment, and the timer is armed for the following event (after the last event of the day,
// for the first one of the next day). A schedule whose stop is earlier than its start runs across
// midnight.
//
// Due times are absolute local date-times: the timer fixes each one as an instant with that
// day's time-zone rules, so a daylight-saving change neither moves an event nor fires it twice
// (a time in the spring-forward gap fires at the first moment after the gap; a time in the
// repeated fall-back hour fires at its first occurrence, or at its second when the scheduler was
// armed after the first had passed), and a wall-clock step re-arms for the event that is now
// next. Arming picks the first event later than now: one due at that very instant waits a day.
//
// The schedules and the on/off switch are stored in the edition's schedule file
// (schedulefilename(edition): "scheduler.xml" or "schedulerds.xml") in the common data folder.
//
// Threads: main thread only (the timer's wake-ups arrive there through the main-thread queue).

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/edition.h"
#include "core/date_time.h"

namespace velk {

class TWaitableTimer;

struct TSchedule {
    int channel = 0;    // index in the configuration's channel table
    TDateTime start = 0;  // time of day, fraction of a day in [0, 1)
    TDateTime stop = 0;
};

// One start or stop of a schedule.
struct TScheduleEvent {
    TDateTime time = 0;  // time of day
    bool start = false;  // true: start the channel; false: stop it
    int channel = 0;
};

class TScheduler;
// Called for each fired event with (scheduler, channel, start flag). The handler starts or stops
// the channel as the user's record button would, and does nothing when the channel is already in
// that state.
using TSchedulerEvent = std::function<void(TScheduler&, int channel, bool start)>;

class TScheduler {
public:
    // Larger schedule files are not read (and kept aside).
    static constexpr std::size_t maxfilesize = 4u * 1024u * 1024u;

    // Off, empty; the timer is created but not armed.
    TScheduler();
    ~TScheduler();
    TScheduler(const TScheduler&) = delete;
    TScheduler& operator=(const TScheduler&) = delete;

    // Reads `path` + schedulefilename(edition) (`path` is a folder), every schedule it holds. A missing
    // file leaves the scheduler empty and off. A damaged file never throws: the schedules read
    // before the fault are kept, the rest is skipped and a status-log line says what was wrong; a
    // schedule with a channel or time out of range is dropped with a status-log line. A file not
    // read completely is renamed to "<name>.bad" (or ".bad.2", ...) with a log line, so the next
    // save cannot lose it; where that fails, the file is never saved over. Then the events are
    // rebuilt and the stored on/off state applied (off when it could not be read).
    // `closedup` lists the channel slots dropped from the channel table since the file was
    // written (each as its index when it was dropped, in that order): their schedules go and
    // later channels move down, as delchannel does, before anything can fire.
    void loadsettings(const std::string& path, Edition edition, const std::vector<int>& closedup = {});
    // The file of edition() (callers without an owner).
    void loadsettings(const std::string& path, const std::vector<int>& closedup = {});
    // Writes `path` + schedulefilename(edition), replacing it atomically (not when a damaged file
    // could not be kept aside: a log line says so). Throws EOSError.
    void savesettings(const std::string& path, Edition edition) const;
    // The file of edition().
    void savesettings(const std::string& path) const;

    // The time-of-day parts of `start` and `stop` are kept. A start event whose window contains
    // now fires at once when the scheduler is on. `ch` must be in 0..255 (EVelkError otherwise).
    void addschedule(int ch, TDateTime start, TDateTime stop);
    // Appends the values as given, nothing else (loading).
    void addscheduleex(int ch, TDateTime start, TDateTime stop);
    void editschedule(std::size_t num, int ch, TDateTime start, TDateTime stop);
    // Removing the last schedule switches the scheduler off.
    void delschedule(std::size_t num);
    // The channel table closed up at `num`: its schedules go, later channels move down by one.
    void delchannel(int num);
    TSchedule getschedule(std::size_t num) const;
    std::size_t getcount() const { return schedules.size(); }

    // Calls fonevent(channel, start) when the time of day now lies inside the schedule's window
    // (strictly after start and, unless it runs across midnight, strictly before stop).
    void checkevent(const TSchedule& sc);
    // Off: disarm. On (when off): start the channels whose windows contain now, then arm; with no
    // events the scheduler stays off.
    void enable(bool on);

    bool isactive() const { return active; }
    const std::vector<TScheduleEvent>& eventlist() const { return events; }
    std::size_t armeditem() const { return signaleditem; }
    // The local date-time the timer is armed for.
    TDateTime duetime() const;
    TWaitableTimer& waitabletimer() { return *timer; }

    TSchedulerEvent fonevent;

private:
    void rebuild();
    void keepaside(const std::string& file);
    // Removes channel `num`'s schedules and moves the later channels' down by one.
    void dropchannel(int num);
    // Arms for the first event later than `now`.
    void arm(SystemTime now);
    void armat(std::size_t index, TDateTime day, LocalTimeChoice choice = LocalTimeChoice::Earliest);
    // Which of the instants of local time `local` comes later than `after` (the first when both
    // do); nothing when neither does.
    static std::optional<LocalTimeChoice> choiceafter(TDateTime local, SystemTime after);
    void fire();
    void clockstepped();
    void callevent(int channel, bool start);
    void checkchannel(int ch) const;

    bool active = false;
    std::size_t signaleditem = 0;
    TDateTime expectedtime = 0;
    TDateTime dueday_ = 0;  // local date of the armed event (whole day count)
    std::unique_ptr<TWaitableTimer> timer;
    std::vector<TSchedule> schedules;
    std::vector<TScheduleEvent> events;
    SystemTime lastfired_{};  // when the timer last fired
    bool keepfile_ = false;  // the file could not be read completely nor kept aside
    // Expires with the scheduler: a firing whose handler ended the program stops at once.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace velk
