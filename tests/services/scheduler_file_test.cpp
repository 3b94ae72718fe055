// The schedule file: round trip, the edition's file name, and damaged or hostile files, which
// keep what was read before the fault and never stop the start-up.

#include "tests/services/scheduler_fixture.h"

#include <pugixml.hpp>

#include "config/edition.h"
#include "services/schedule_time.h"
#include "platform/file_io.h"

#include <cstdio>
#include "services/schedule_list.h"
#include "config/config.h"
#include "tests/support/temp_folder.h"

namespace velk {
namespace {

using test::hms;

class SchedulerFile : public test::SchedulerFixture {
protected:
    ~SchedulerFile() override { setedition(Edition::Asio); }

    std::string file() const { return folder.file("scheduler.xml"); }
    void write(const std::string& text) const { test::writetextfile(file(), text); }
    // A fresh scheduler reads the folder; the log lines it posted are delivered.
    void reload()
    {
        TSchedulerEvent handler = scheduler->fonevent;
        scheduler = std::make_unique<TScheduler>();
        scheduler->fonevent = handler;
        scheduler->loadsettings(folder.path() + "/");
        main.queue().drain(&log);
    }

    test::TempFolder folder;
};

TEST_F(SchedulerFile, RoundTripKeepsSchedulesOrderAndSwitch)
{
    scheduler->addschedule(3, hms(22, 0), hms(2, 0));
    scheduler->addschedule(0, hms(10, 15, 30), hms(11, 0));
    scheduler->addschedule(255, hms(0, 0), hms(23, 59, 59));
    scheduler->enable(true);
    scheduler->savesettings(folder.path() + "/");

    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(file().c_str()));
    const pugi::xml_node root = doc.child("Scheduler");
    EXPECT_STREQ(root.attribute("Version").value(), "3");
    EXPECT_STREQ(root.child("Scheduler").attribute("Enabled").value(), "1");
    EXPECT_STREQ(root.child("Scheduler").attribute("Count").value(), "3");
    EXPECT_STREQ(root.child("Schedule1").attribute("Channel").value(), "0");
    EXPECT_STREQ(root.child("Schedule1").attribute("Start").value(), "10:15:30");
    EXPECT_STREQ(root.child("Schedule0").attribute("Stop").value(), "02:00:00");

    reload();
    ASSERT_EQ(scheduler->getcount(), 3u);
    EXPECT_TRUE(scheduler->isactive());
    const TSchedule s1 = scheduler->getschedule(1);
    EXPECT_EQ(s1.channel, 0);
    EXPECT_DOUBLE_EQ(s1.start, hms(10, 15, 30));
    EXPECT_DOUBLE_EQ(s1.stop, hms(11, 0));
    EXPECT_EQ(scheduler->getschedule(2).channel, 255);
    EXPECT_DOUBLE_EQ(scheduler->getschedule(2).stop, hms(23, 59, 59));
    EXPECT_TRUE(log.lines.empty());

    scheduler->enable(false);
    scheduler->savesettings(folder.path());
    reload();
    EXPECT_EQ(scheduler->getcount(), 3u);
    EXPECT_FALSE(scheduler->isactive());
}

TEST_F(SchedulerFile, LoadingSwitchedOnStartsTheChannelsInsideTheirWindows)
{
    write(R"(<Scheduler Version="3"><Scheduler Enabled="1" Count="2"/>
             <Schedule0 Channel="1" Start="08:00:00" Stop="10:00:00"/>
             <Schedule1 Channel="2" Start="10:00:00" Stop="11:00:00"/></Scheduler>)");
    reload();
    EXPECT_TRUE(scheduler->isactive());
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].channel, 1);
    EXPECT_DOUBLE_EQ(scheduler->duetime(), encodedatetime(2027, 6, 14, 10, 0));
}

TEST_F(SchedulerFile, EachEditionHasItsOwnFileAndAMissingFileLeavesTheSchedulerOff)
{
    scheduler->addschedule(1, hms(8, 0), hms(9, 0));
    setedition(Edition::Wdm);
    scheduler->savesettings(folder.path());
    EXPECT_TRUE(test::readtextfile(folder.file("schedulerds.xml")).find("Schedule0") != std::string::npos);
    setedition(Edition::Asio);
    reload();
    EXPECT_EQ(scheduler->getcount(), 0u);
    EXPECT_FALSE(scheduler->isactive());
    EXPECT_TRUE(log.lines.empty());
    setedition(Edition::Wdm);
    reload();
    EXPECT_EQ(scheduler->getcount(), 1u);
}

TEST_F(SchedulerFile, DamagedFilesKeepWhatWasReadAndSayWhatWasWrong)
{
    const std::string head = R"(<?xml version="1.0"?><Scheduler Version="3"><Scheduler Enabled="1" Count="3"/>)";
    const std::string s0 = R"(<Schedule0 Channel="1" Start="12:00:00" Stop="13:00:00"/>)";
    const std::string s2 = R"(<Schedule2 Channel="2" Start="14:00:00" Stop="15:00:00"/>)";
    struct Case {
        std::string text;
        std::size_t kept;
        const char* logpart;
        bool active;
    } const cases[] = {
        {"this is no XML <<<", 0, "XML error", false},
        {"", 0, "XML error", false},
        {R"(<Scheduler Version="3"/>)", 0, "missing element Scheduler", false},
        {R"(<Scheduler><Scheduler Enabled="maybe" Count="1"/>)" + s0 + "</Scheduler>", 0, "not a Boolean", false},
        {R"(<Scheduler><Scheduler Enabled="1"/>)" + s0 + "</Scheduler>", 0, "missing attribute Scheduler/Count", false},
        {head + s0 + R"(<Schedule1 Channel="2" Start="12:00:00"/>)" + s2 + "</Scheduler>", 1,
         "missing attribute Schedule1/Stop", true},
        {head + s0 + R"(<Schedule1 Channel="x" Start="12:00:00" Stop="13:00:00"/>)" + s2 + "</Scheduler>", 1,
         "not an integer: Schedule1/Channel", true},
        {head + s0 + R"(<Schedule1 Channel="2" Start="noon" Stop="13:00:00"/>)" + s2 + "</Scheduler>", 1,
         "not a time: Schedule1", true},
        {head + s0 + s2 + "</Scheduler>", 1, "missing element Schedule1", true},
        {R"(<Scheduler><Scheduler Enabled="1" Count="99999999999999999999"/>)" + s0 + "</Scheduler>", 1,
         "missing element Schedule1", true},
        {R"(<Scheduler><Scheduler Enabled="1" Count="-4"/>)" + s0 + "</Scheduler>", 0, "negative Count", false},
        // Out-of-range values drop their schedule only.
        {head + s0 + R"(<Schedule1 Channel="256" Start="12:00:00" Stop="13:00:00"/>)" + s2 + "</Scheduler>", 2,
         "Schedule1 dropped: channel out of range", true},
        {head + s0 + R"(<Schedule1 Channel="-1" Start="12:00:00" Stop="13:00:00"/>)" + s2 + "</Scheduler>", 2,
         "Schedule1 dropped: channel out of range", true},
        {head + s0 + R"(<Schedule1 Channel="2" Start="25:00:00" Stop="13:00:00"/>)" + s2 + "</Scheduler>", 2,
         "Schedule1 dropped: time out of range", true},
        {head + s0 + R"(<Schedule1 Channel="2" Start="12:00:00" Stop="12:61:00"/>)" + s2 + "</Scheduler>", 2,
         "Schedule1 dropped: time out of range", true},
        // Not closed: the parser stops at the end.
        {head + s0 + s2, 0, "XML error", false},
    };
    for (const Case& c : cases) {
        log.lines.clear();
        write(c.text);
        reload();
        EXPECT_EQ(scheduler->getcount(), c.kept) << c.text;
        EXPECT_TRUE(log.contains(c.logpart)) << c.text << " -> " << (log.lines.empty() ? "no line" : log.lines[0]);
        EXPECT_EQ(scheduler->isactive(), c.active) << c.text;
        if (c.kept > 0) {
            EXPECT_EQ(scheduler->getschedule(0).channel, 1);
        }
        // What was not read survives the next save: the file is kept aside, and said so.
        EXPECT_EQ(test::readtextfile(file() + ".bad"), c.text);
        EXPECT_TRUE(log.contains("kept as " + file() + ".bad")) << c.text;
        EXPECT_FALSE(fileexists(file()));
        std::remove((file() + ".bad").c_str());
    }
}

TEST_F(SchedulerFile, AFileNotReadCompletelyIsNeverSavedOver)
{
    const std::string first = R"(<Scheduler><Scheduler Enabled="0" Count="2"/>
             <Schedule0 Channel="1" Start="12:00:00" Stop="13:00:00"/>
             <Schedule1 Channel="2" Start="at noon" Stop="13:00:00"/></Scheduler>)";
    write(first);
    reload();
    ASSERT_EQ(scheduler->getcount(), 1u);
    scheduler->savesettings(folder.path());
    EXPECT_EQ(test::readtextfile(file() + ".bad"), first);
    reload();
    EXPECT_EQ(scheduler->getcount(), 1u);

    // A second damaged file is kept beside the first.
    write("<Scheduler>");
    reload();
    EXPECT_EQ(test::readtextfile(file() + ".bad"), first);
    EXPECT_EQ(test::readtextfile(file() + ".bad.2"), "<Scheduler>");
}

// The times as the system's locales write them (strftime "%X" of each time format in use), read
// back in any locale.
TEST_F(SchedulerFile, ReadsTheTimesEveryLocaleWrites)
{
    struct Case {
        const char* text;
        int h, m, s;
    } const cases[] = {
        {"22:05:09", 22, 5, 9},                   // %T, %H:%M:%S
        {"10:05:09 PM", 22, 5, 9},                // %r, %I:%M:%S %p
        {"12:00:00 AM", 0, 0, 0},                 // midnight on a 12-hour clock
        {"12:30:00 PM", 12, 30, 0},               // noon
        {"10:05:09 PM CET", 22, 5, 9},            // %I:%M:%S %p %Z
        {"CET 10:05:09 PM", 22, 5, 9},            // %Z %I:%M:%S %p
        {"10:05:09 pm", 22, 5, 9},
        {"10:05:09 p.m.", 22, 5, 9},
        {" 7:05:09 AM", 7, 5, 9},                 // %l
        {"22.05.09", 22, 5, 9},                   // %H.%M.%S
        {"kl. 22.05 +0100", 22, 5, 0},            // kl. %H.%M %z
        {"22:05", 22, 5, 0},                      // %R
        {"22時05分09秒", 22, 5, 9},
        {"午後 10時05分09秒", 22, 5, 9},          // %p %I時%M分%S秒
        {"22시 05분 09초", 22, 5, 9},
        {"오후 10시 05분 09초", 22, 5, 9},
        {"下午10:05:09", 22, 5, 9},
        {"۲۲:۰۵:۰۹", 22, 5, 9},                   // %OH:%OM:%OS with Persian digits
        {"၁၀:၀၅:၀၉ ညနေ", 22, 5, 9},               // Myanmar digits, afternoon
        {"ÖS 10.05.09", 22, 5, 9},
    };
    for (const Case& c : cases) {
        TDateTime value = -1;
        EXPECT_EQ(parsescheduletime(c.text, value), TimeTextResult::Ok) << c.text;
        EXPECT_DOUBLE_EQ(value, hms(c.h, c.m, c.s)) << c.text;
    }
    for (const char* bad : {"noon", "", "10", "1:2:3:4", "10:00 AM PM", "1000:00"}) {
        TDateTime value = 0;
        EXPECT_NE(parsescheduletime(bad, value), TimeTextResult::Ok) << bad;
    }
    TDateTime value = 0;
    EXPECT_EQ(parsescheduletime("13:00:00 PM", value), TimeTextResult::Ok);
    EXPECT_DOUBLE_EQ(value, hms(13, 0));
    EXPECT_EQ(parsescheduletime("24:00:00", value), TimeTextResult::OutOfRange);
}

TEST_F(SchedulerFile, AcceptsOtherTimeShapesAndPaddedNumbers)
{
    write(R"(<Scheduler><Scheduler Enabled=" true " Count="+2"/>
             <Schedule0 Channel=" 4" Start="7:05" Stop="19:30:15"/>
             <Schedule1 Channel="0" Start="00:00:00" Stop="23:59:59"/>
             <Schedule01 Channel="9" Start="00:00:00" Stop="23:59:59"/></Scheduler>)");
    reload();
    ASSERT_EQ(scheduler->getcount(), 2u);
    EXPECT_EQ(scheduler->getschedule(0).channel, 4);
    EXPECT_DOUBLE_EQ(scheduler->getschedule(0).start, hms(7, 5));
    EXPECT_DOUBLE_EQ(scheduler->getschedule(0).stop, hms(19, 30, 15));
    EXPECT_EQ(scheduler->getschedule(1).channel, 0);
}

TEST_F(SchedulerFile, HostileFilesNeverCrash)
{
    // Larger than the limit.
    write(std::string(TScheduler::maxfilesize + 1, ' '));
    reload();
    EXPECT_EQ(scheduler->getcount(), 0u);
    EXPECT_TRUE(log.contains("Scheduler file damaged"));

    // Deep nesting.
    std::string deep = R"(<Scheduler><Scheduler Enabled="1" Count="1"/>)";
    for (int i = 0; i < 200000; ++i)
        deep += "<a>";
    write(deep);
    log.lines.clear();
    reload();
    EXPECT_EQ(scheduler->getcount(), 0u);
    EXPECT_TRUE(log.contains("Scheduler file damaged"));

    // Many schedules: every one is read.
    std::string many = R"(<Scheduler><Scheduler Enabled="0" Count="5000"/>)";
    for (int i = 0; i < 5000; ++i)
        many += "<Schedule" + std::to_string(i) + R"( Channel="1" Start="01:00:00" Stop="02:00:00"/>)";
    write(many + "</Scheduler>");
    log.lines.clear();
    reload();
    EXPECT_EQ(scheduler->getcount(), 5000u);
    EXPECT_TRUE(log.lines.empty());

    // Binary garbage.
    std::string garbage;
    for (int i = 0; i < 4096; ++i)
        garbage += static_cast<char>((i * 7919) & 0xff);
    write(garbage);
    reload();
    EXPECT_EQ(scheduler->getcount(), 0u);
}

TEST_F(SchedulerFile, ListRowsShowChannelNamesAndLocaleTimes)
{
    config().channels[0].name = "Studio A";
    config().channels[2].name = "Hall";
    scheduler->addschedule(2, hms(22, 0), hms(2, 0, 30));
    scheduler->addschedule(0, hms(6, 0), hms(7, 0));
    TScheduleList list(*scheduler);
    const auto rows = list.rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].channel, "Hall");
    EXPECT_EQ(rows[0].start, "22:00:00");
    EXPECT_EQ(rows[0].stop, "02:00:30");
    EXPECT_EQ(rows[1].channel, "Studio A");
    EXPECT_FALSE(list.remove(0));
    EXPECT_EQ(list.count(), 1u);
}

}  // namespace
}  // namespace velk
