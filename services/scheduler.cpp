#include "services/scheduler.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <cerrno>
#include <cstdio>
#include <unistd.h>
#include <unordered_map>

#include <pugixml.hpp>

#include "config/config.h"
#include "config/edition.h"
#include "services/schedule_time.h"
#include "services/status_log.h"
#include "services/waitable_timer.h"
#include "core/clock.h"
#include "core/errors.h"
#include "platform/file_io.h"
#include "platform/kept_file.h"
#include "platform/xml_attributes.h"
#include "platform/paths.h"

namespace velk {

namespace {

constexpr mode_t schedulefilemode = 0600;
constexpr int fileversion = 3;

std::string schedulepath(const std::string& folder, Edition edition)
{
    return joinpath(folder, schedulefilename(edition));
}

TDateTime dateof(SystemTime instant)
{
    const CalendarTime f = tolocalcalendar(instant);
    return encodedatetime(f.year, f.month, f.day);
}

// The window test: strictly after start and, for a schedule within one day, strictly before
// stop. Across midnight only the part before midnight counts.
bool inwindow(const TSchedule& sc, TDateTime t)
{
    if (sc.stop > sc.start)
        return sc.start < t && t < sc.stop;
    return sc.start < t;
}

// A fault in the file: reading stops here.
struct FileFault {
    std::string what;
};

pugi::xml_attribute need(pugi::xml_node node, const char* name)
{
    pugi::xml_attribute a = node.attribute(name);
    if (!a)
        throw FileFault{std::string("missing attribute ") + node.name() + "/" + name};
    return a;
}

long long integerof(pugi::xml_node node, const char* name)
{
    long long value = 0;
    switch (readinteger(need(node, name).value(), value)) {
    case IntegerText::ok:
        return value;
    case IntegerText::outofrange:
        // Beyond every count and channel number, so the range checks reject it.
        return value < 0 ? -1 : static_cast<long long>(1) << 62;
    case IntegerText::malformed:
        break;
    }
    throw FileFault{std::string("not an integer: ") + node.name() + "/" + name};
}

bool booleanof(pugi::xml_node node, const char* name)
{
    if (const auto value = readboolean(need(node, name).value()))
        return *value;
    throw FileFault{std::string("not a Boolean: ") + node.name() + "/" + name};
}

// The number of an element named "Schedule" + decimal without leading zeros, or -1.
long long schedulenumber(const char* name)
{
    constexpr std::string_view prefix = "Schedule";
    const std::string_view s(name);
    if (s.size() <= prefix.size() || s.substr(0, prefix.size()) != prefix)
        return -1;
    const std::string_view digits = s.substr(prefix.size());
    if (digits.size() > 1 && digits.front() == '0')
        return -1;
    long long n = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (ec != std::errc() || end != digits.data() + digits.size() || n < 0)
        return -1;
    return n;
}

}  // namespace

TScheduler::TScheduler() : timer(std::make_unique<TWaitableTimer>())
{
    timer->fontimer = [this] { fire(); };
    timer->onclockstep = [this] { clockstepped(); };
}

TScheduler::~TScheduler() = default;

void TScheduler::checkchannel(int ch) const
{
    if (ch < 0 || ch >= maxchannels)
        throw EVelkError("Channel number out of range: " + std::to_string(ch));
}

void TScheduler::addschedule(int ch, TDateTime start, TDateTime stop)
{
    checkchannel(ch);
    timer->Stop();
    schedules.push_back(TSchedule{ch, timeofday(start), timeofday(stop)});
    if (active)
        checkevent(schedules.back());
    rebuild();
}

void TScheduler::addscheduleex(int ch, TDateTime start, TDateTime stop)
{
    schedules.push_back(TSchedule{ch, start, stop});
}

void TScheduler::editschedule(std::size_t num, int ch, TDateTime start, TDateTime stop)
{
    checkchannel(ch);
    if (num >= schedules.size())
        throw EVelkError("List index out of bounds (" + std::to_string(num) + ")");
    timer->Stop();
    schedules[num] = TSchedule{ch, timeofday(start), timeofday(stop)};
    if (active)
        checkevent(schedules[num]);
    rebuild();
}

void TScheduler::delschedule(std::size_t num)
{
    if (num >= schedules.size())
        throw EVelkError("List index out of bounds (" + std::to_string(num) + ")");
    timer->Stop();
    schedules.erase(schedules.begin() + static_cast<std::ptrdiff_t>(num));
    if (schedules.empty())
        active = false;
    rebuild();
}

void TScheduler::dropchannel(int num)
{
    std::erase_if(schedules, [num](const TSchedule& sc) { return sc.channel == num; });
    for (TSchedule& sc : schedules)
        if (sc.channel > num)
            --sc.channel;
}

void TScheduler::delchannel(int num)
{
    timer->Stop();
    dropchannel(num);
    if (schedules.empty())
        active = false;
    rebuild();
}

TSchedule TScheduler::getschedule(std::size_t num) const
{
    if (num >= schedules.size())
        throw EVelkError("List index out of bounds (" + std::to_string(num) + ")");
    return schedules[num];
}

TDateTime TScheduler::duetime() const
{
    return timer->FDueTime;
}

void TScheduler::checkevent(const TSchedule& sc)
{
    if (inwindow(sc, timeofday(appclock().nowlocal())))
        callevent(sc.channel, true);
}

void TScheduler::enable(bool on)
{
    if (!on) {
        timer->Stop();
        active = false;
        return;
    }
    if (active)
        return;
    for (std::size_t i = 0; i < schedules.size(); ++i)
        checkevent(schedules[i]);
    arm(appclock().now());
}

void TScheduler::rebuild()
{
    events.clear();
    events.reserve(schedules.size() * 2);
    for (const TSchedule& sc : schedules) {
        events.push_back(TScheduleEvent{sc.start, true, sc.channel});
        events.push_back(TScheduleEvent{sc.stop, false, sc.channel});
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const TScheduleEvent& a, const TScheduleEvent& b) { return a.time < b.time; });
    if (active)
        arm(appclock().now());
}

void TScheduler::arm(SystemTime now)
{
    if (events.empty())
        return;
    // The first event of today later than now. A time of the repeated fall-back hour names two
    // instants: once its first has passed (armed during the second pass of that hour), the second
    // is the one still to come.
    // When it fired in the first pass (something fired since), it is not repeated.
    const TDateTime today = dateof(now);
    for (std::size_t i = 0; i < events.size(); ++i) {
        const TDateTime local = today + events[i].time;
        const SystemTime first = fromlocaldatetime(local, LocalTimeChoice::Earliest);
        if (first > now) {
            armat(i, today, LocalTimeChoice::Earliest);
            return;
        }
        if (fromlocaldatetime(local, LocalTimeChoice::Latest) > now && lastfired_ < first) {
            armat(i, today, LocalTimeChoice::Latest);
            return;
        }
    }
    armat(0, today + 1);
}

std::optional<LocalTimeChoice> TScheduler::choiceafter(TDateTime local, SystemTime after)
{
    if (fromlocaldatetime(local, LocalTimeChoice::Earliest) > after)
        return LocalTimeChoice::Earliest;
    if (fromlocaldatetime(local, LocalTimeChoice::Latest) > after)
        return LocalTimeChoice::Latest;
    return std::nullopt;
}

void TScheduler::armat(std::size_t index, TDateTime day, LocalTimeChoice choice)
{
    signaleditem = index;
    expectedtime = events[index].time;
    dueday_ = day;
    timer->FDueTime = day + expectedtime;
    timer->FChoice = choice;
    active = true;
    timer->Start();
}

void TScheduler::fire()
{
    if (!active || signaleditem >= events.size())
        return;
    // Every event of the fired moment, taken before any handler runs (a handler may change the
    // schedules, which rebuilds the events).
    std::vector<TScheduleEvent> due;
    std::size_t i = signaleditem;
    for (; i < events.size() && events[i].time == expectedtime; ++i)
        due.push_back(events[i]);

    // The next event follows in the list on the same day, or is the first one of the next day.
    // After a wall-clock jump of more than a day forward the days in between are not replayed.
    const SystemTime now = appclock().now();
    lastfired_ = now;
    const TDateTime nextday = i < events.size() ? dueday_ : dueday_ + 1;
    const std::size_t next = i < events.size() ? i : 0;
    if (fromlocaldatetime(nextday + events[next].time) < now - std::chrono::hours(24))
        arm(now);
    else
        // Fired in the second pass of a repeated hour, the next event of that hour is due in the
        // second pass too; an event already past (the clock jumped) fires at once, late but once.
        armat(next, nextday, choiceafter(nextday + events[next].time, now).value_or(LocalTimeChoice::Earliest));

    // Within one moment: first the starts, then the stops, and last the starts of channels that
    // also stop at this moment. A stop may wait for the exit password, and no other channel's
    // start waits behind it; and back-to-back schedules of one channel end with it recording.
    auto stopsnow = [&due](int channel) {
        return std::any_of(due.begin(), due.end(), [channel](const TScheduleEvent& e) {
            return !e.start && e.channel == channel;
        });
    };
    auto rank = [&stopsnow](const TScheduleEvent& e) { return !e.start ? 1 : stopsnow(e.channel) ? 2 : 0; };
    std::stable_sort(due.begin(), due.end(),
                     [&rank](const TScheduleEvent& a, const TScheduleEvent& b) { return rank(a) < rank(b); });
    const std::weak_ptr<bool> alive = alive_;
    for (const TScheduleEvent& event : due) {
        callevent(event.channel, event.start);
        if (alive.expired())
            return;  // a handler freed the scheduler (the program closed under it)
    }
}

void TScheduler::clockstepped()
{
    if (!active)
        return;
    timer->Stop();
    arm(appclock().now());
}

void TScheduler::callevent(int channel, bool start)
{
    if (!fonevent)
        return;
    // One failing event must not end the scheduler: the others of the moment still fire and the
    // timer stays armed.
    try {
        fonevent(*this, channel, start);
    } catch (const std::exception& e) {
        addlog(std::string("Scheduler error: ") + e.what());
    }
}

void TScheduler::loadsettings(const std::string& path, const std::vector<int>& closedup)
{
    loadsettings(path, edition(), closedup);
}

void TScheduler::loadsettings(const std::string& path, Edition edition, const std::vector<int>& closedup)
{
    const std::string file = schedulepath(path, edition);
    if (!fileexists(file))
        return;
    bool enabled = false;
    bool incomplete = false;
    try {
        std::string text;
        if (const int rc = readwholefile(file, text, maxfilesize); rc != 0)
            throw FileFault{std::strerror(rc)};
        pugi::xml_document doc;
        if (const std::string error = parsedocument(doc, text); !error.empty())
            throw FileFault{"XML error: " + error};
        const pugi::xml_node root = doc.document_element();
        const pugi::xml_node head = root.child("Scheduler");
        if (!head)
            throw FileFault{"missing element Scheduler"};
        const bool wanted = booleanof(head, "Enabled");
        const long long count = integerof(head, "Count");
        if (count < 0)
            throw FileFault{"negative Count"};
        // One pass over the elements instead of a search per schedule.
        std::unordered_map<long long, pugi::xml_node> numbered;
        for (pugi::xml_node n = root.first_child(); n; n = n.next_sibling())
            if (n.type() == pugi::node_element)
                if (const long long k = schedulenumber(n.name()); k >= 0 && k < count)
                    numbered.try_emplace(k, n);
        // The switch is applied only if at least the header was sound.
        enabled = wanted;
        // Every schedule the file holds is read: its size bounds their number.
        for (long long k = 0; k < count; ++k) {
            const auto found = numbered.find(k);
            if (found == numbered.end())
                throw FileFault{"missing element Schedule" + std::to_string(k)};
            const pugi::xml_node n = found->second;
            const long long channel = integerof(n, "Channel");
            TDateTime start = 0;
            TDateTime stop = 0;
            const TimeTextResult s1 = parsescheduletime(need(n, "Start").value(), start);
            const TimeTextResult s2 = parsescheduletime(need(n, "Stop").value(), stop);
            if (s1 == TimeTextResult::Malformed || s2 == TimeTextResult::Malformed)
                throw FileFault{"not a time: Schedule" + std::to_string(k)};
            if (channel < 0 || channel >= maxchannels) {
                addlog("Schedule" + std::to_string(k) + " dropped: channel out of range");
                incomplete = true;
                continue;
            }
            if (s1 != TimeTextResult::Ok || s2 != TimeTextResult::Ok) {
                addlog("Schedule" + std::to_string(k) + " dropped: time out of range");
                incomplete = true;
                continue;
            }
            addscheduleex(static_cast<int>(channel), start, stop);
        }
    } catch (const FileFault& fault) {
        addlog("Scheduler file damaged (" + fault.what + "); the schedules after the fault were skipped");
        incomplete = true;
    }
    // The next save would lose what could not be read: the file is kept aside first.
    if (incomplete)
        keepaside(file);
    for (const int num : closedup)
        dropchannel(num);
    rebuild();
    enable(enabled);
}

void TScheduler::keepaside(const std::string& file)
{
    // The first free name of "<file>.bad", "<file>.bad.2", ...: an older kept file stays too.
    const AsideResult kept = moveaside(file);
    if (!kept.path.empty()) {
        addlog("Scheduler file could not be read completely; kept as " + kept.path);
        return;
    }
    // Kept where it is, then: it is not saved over.
    keepfile_ = true;
    addlog("Scheduler file could not be read completely and could not be kept aside (" + kept.error +
           "); it will not be saved over");
}

void TScheduler::savesettings(const std::string& path) const
{
    savesettings(path, edition());
}

void TScheduler::savesettings(const std::string& path, Edition edition) const
{
    if (keepfile_) {
        addlog("Scheduler file not saved: the file that could not be read completely is kept");
        return;
    }
    pugi::xml_document doc;
    appenddeclaration(doc);
    pugi::xml_node root = doc.append_child("Scheduler");
    setattribute(root, "Version", fileversion);
    pugi::xml_node head = root.append_child("Scheduler");
    setflag(head, "Enabled", active);
    setattribute(head, "Count", static_cast<long long>(schedules.size()));
    for (std::size_t i = 0; i < schedules.size(); ++i) {
        pugi::xml_node n = root.append_child(("Schedule" + std::to_string(i)).c_str());
        setattribute(n, "Channel", schedules[i].channel);
        setattribute(n, "Start", formatscheduletime(schedules[i].start));
        setattribute(n, "Stop", formatscheduletime(schedules[i].stop));
    }
    writefileatomic(schedulepath(path, edition), documenttext(doc), schedulefilemode, true);
}

}  // namespace velk
