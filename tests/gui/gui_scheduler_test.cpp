// The "Scheduler" window and its "Add/Edit Schedule" dialog over a running recorder: schedules
// added and edited through the dialog, the enable box with its log line, and scheduled starts and
// stops pressing the panels' record buttons.
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QTimeEdit>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>

#include "gui/add_schedule.h"
#include "gui/password_forms.h"
#include "gui/scheduler_form.h"
#include "services/scheduler.h"
#include "services/waitable_timer.h"
#include "core/clock.h"
#include "core/errors.h"
#include "engine/channel.h"
#include "tests/gui/gui_fixture.h"

namespace velk {
namespace {

class SchedulerWindow : public test::GuiFixture {
protected:
    SchedulerWindow() : clock_scope(clock) { clock.setlocal(encodedatetime(2026, 6, 15, 12, 0, 0)); }

    bool logged(const std::string& line)
    {
        test::pump();
        const auto& lines = system->statuslog().lines();
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.size() >= line.size() && l.compare(l.size() - line.size(), line.size(), line) == 0;
        });
    }
    TSchedulerForm& window() { return *form->schedulerform(); }
    QString cell(int row, int column) { return window().list()->topLevelItem(row)->text(column); }

    ManualClock clock;
    ScopedAppClock clock_scope;
};

TEST_F(SchedulerWindow, AddThroughTheDialogShowsTheRowAndTheEnableBoxLogsOn)
{
    start(2);
    ASSERT_NE(form->schedulerform(), nullptr);
    EXPECT_FALSE(window().isVisible());
    form->command("Scheduler")->trigger();
    test::pump();
    ASSERT_TRUE(window().isVisible());
    EXPECT_EQ(window().windowTitle(), "Scheduler");
    EXPECT_EQ(window().list()->topLevelItemCount(), 0);

    window().button("Add")->click();
    TAddSchedule& dialog = *window().editor();
    ASSERT_TRUE(dialog.isVisible());
    EXPECT_FALSE(dialog.isModal());
    EXPECT_EQ(dialog.windowTitle(), "Add/Edit Schedule");
    EXPECT_EQ(dialog.okbutton()->text(), "Ok");
    // Channel 0, start now, stop an hour later.
    ASSERT_EQ(dialog.channelbox()->count(), 2);
    EXPECT_EQ(dialog.channelbox()->currentText(), "Ch1");
    EXPECT_EQ(dialog.starttime()->time(), QTime(12, 0, 0));
    EXPECT_EQ(dialog.stoptime()->time(), QTime(13, 0, 0));

    dialog.channelbox()->setCurrentIndex(1);
    dialog.starttime()->setTime(QTime(22, 0, 0));
    dialog.stoptime()->setTime(QTime(2, 30, 0));
    dialog.accept();
    EXPECT_FALSE(dialog.isVisible());
    ASSERT_EQ(window().list()->topLevelItemCount(), 1);
    EXPECT_EQ(cell(0, 0), "Ch2");
    const TSchedule sc = system->scheduler()->getschedule(0);
    EXPECT_EQ(sc.channel, 1);
    EXPECT_NEAR(sc.start, 22.0 / 24, 1e-9);
    EXPECT_NEAR(sc.stop, 2.5 / 24, 1e-9);

    window().enablebox()->click();
    EXPECT_TRUE(window().enablebox()->isChecked());
    EXPECT_TRUE(system->scheduler()->isactive());
    EXPECT_TRUE(logged("Scheduler turned ON."));
    // 12:00 lies outside 22:00-02:30: nothing started.
    EXPECT_FALSE(panel(1).btn->isChecked());

    window().enablebox()->click();
    EXPECT_FALSE(system->scheduler()->isactive());
    EXPECT_TRUE(logged("Scheduler turned OFF."));
}

TEST_F(SchedulerWindow, WithoutChannelsTheDialogCannotAdd)
{
    start(0);
    window().button("Add")->click();
    ASSERT_TRUE(window().editor()->isVisible());
    EXPECT_EQ(window().editor()->channelbox()->count(), 0);
    EXPECT_FALSE(window().editor()->okbutton()->isEnabled());
}

TEST_F(SchedulerWindow, EditReplacesTheSelectedRowAndDeleteOfTheLastSwitchesOff)
{
    start(2);
    form->openscheduler();
    window().schedules().add(0, 10.0 / 24, 11.0 / 24);
    window().fill();
    // Edit without a selection opens nothing.
    window().button("Edit")->click();
    EXPECT_FALSE(window().editor()->isVisible());

    window().list()->setCurrentItem(window().list()->topLevelItem(0));
    window().button("Edit")->click();
    TAddSchedule& dialog = *window().editor();
    ASSERT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.starttime()->time(), QTime(10, 0, 0));
    EXPECT_EQ(dialog.stoptime()->time(), QTime(11, 0, 0));
    dialog.channelbox()->setCurrentIndex(1);
    dialog.stoptime()->setTime(QTime(11, 30, 0));
    dialog.accept();
    ASSERT_EQ(window().list()->topLevelItemCount(), 1);
    EXPECT_EQ(cell(0, 0), "Ch2");
    EXPECT_EQ(system->scheduler()->getschedule(0).channel, 1);
    EXPECT_NEAR(system->scheduler()->getschedule(0).stop, 11.5 / 24, 1e-9);

    // An edit stays with its schedule: deleting rows under the open dialog closes it.
    window().schedules().add(0, 14.0 / 24, 15.0 / 24);
    window().fill();
    window().list()->setCurrentItem(window().list()->topLevelItem(1));
    window().button("Edit")->click();
    ASSERT_TRUE(dialog.isVisible());
    window().button("Delete")->click();
    EXPECT_FALSE(dialog.isVisible());
    ASSERT_EQ(system->scheduler()->getcount(), 1u);
    EXPECT_NEAR(system->scheduler()->getschedule(0).stop, 11.5 / 24, 1e-9);

    window().enablebox()->click();
    ASSERT_TRUE(window().enablebox()->isChecked());
    // Deleting channel 0 moves the schedule of channel 1 down to 0.
    window().delchannel(0);
    EXPECT_EQ(system->scheduler()->getschedule(0).channel, 0);
    EXPECT_EQ(cell(0, 0), "Ch1");
    window().list()->setCurrentItem(window().list()->topLevelItem(0));
    window().button("Delete")->click();
    EXPECT_EQ(window().list()->topLevelItemCount(), 0);
    EXPECT_FALSE(window().enablebox()->isChecked());
    EXPECT_FALSE(system->scheduler()->isactive());

    window().button("Ok")->click();
    EXPECT_FALSE(window().isVisible());
}

TEST_F(SchedulerWindow, ScheduledStartAndStopPressTheRecordButton)
{
    start(2);
    // Switching on inside 11:00-13:00 starts channel 0 at once, through its button.
    window().schedules().add(0, 11.0 / 24, 13.0 / 24);
    window().schedules().setenabled(true);
    EXPECT_TRUE(panel(0).btn->isChecked());
    EXPECT_TRUE(panel(0).chn->recording());
    EXPECT_FALSE(panel(1).btn->isChecked());

    // A start for a channel already recording and a stop for one already stopped do nothing.
    form->schedulerswitch(0, true);
    EXPECT_TRUE(panel(0).chn->recording());
    form->schedulerswitch(1, false);
    EXPECT_FALSE(panel(1).btn->isChecked());

    form->schedulerswitch(0, false);
    EXPECT_FALSE(panel(0).btn->isChecked());
    EXPECT_FALSE(panel(0).chn->recording());
    // Only a hand-edited file can name a channel without a panel.
    EXPECT_THROW(form->schedulerswitch(5, true), EVelkError);

    // Under exit protection a scheduled stop asks like the button; a wrong entry keeps recording.
    system->config().passw = "pw";
    system->config().exitpass = true;
    form->schedulerswitch(0, true);
    EXPECT_EQ(prompts, 0);
    answers = {"wrong", "pw"};
    form->schedulerswitch(0, false);
    EXPECT_EQ(prompts, 1);
    EXPECT_TRUE(panel(0).btn->isChecked());
    EXPECT_TRUE(panel(0).chn->recording());
    form->schedulerswitch(0, false);
    EXPECT_EQ(prompts, 2);
    EXPECT_FALSE(panel(0).chn->recording());
}

// The termination signal arrives while a scheduled stop's password prompt is open, with the
// scheduler's firing below it on the stack: the prompt closes as refused, the firing returns,
// and only then does the recorder shut down.
TEST_F(SchedulerWindow, ATerminationSignalDuringAScheduledStopsPromptShutsDownAfterTheFiring)
{
    start(1, [](TConfig& c) {
        c.passw = "pw";
        c.exitpass = true;
    });
    form->prompt = [this] { return form->showprompt(); };
    window().schedules().add(0, 11.0 / 24, encodedatetime(1899, 12, 30, 12, 0, 5));
    window().schedules().setenabled(true);
    ASSERT_TRUE(panel(0).chn->recording());
    bool prompted = false;
    QTimer watcher;
    watcher.setInterval(5);
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        if (qobject_cast<Tpassform*>(QApplication::activeModalWidget())) {
            watcher.stop();
            prompted = true;
            form->closewithoutguard();
        }
    });
    watcher.start();
    clock.advance(std::chrono::seconds(6));
    system->scheduler()->waitabletimer().checknow();
    ASSERT_TRUE(test::pumpuntil([&] { return form->shutdowndone(); }));
    EXPECT_TRUE(prompted);
    EXPECT_TRUE(logged("Scheduled stop refused, the channel keeps recording: Ch1"));
    EXPECT_TRUE(logged("VELK Closed."));
}

}  // namespace
}  // namespace velk
