// The main window over a recorder on a virtual card: caption, menus and toolbar, the status-log
// list, the panel states driven by posted messages, the tray, and a recording made by pressing a
// panel's button and finished by closing the window.
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QSystemTrayIcon>
#include <QToolBar>
#include <QToolButton>
#include <algorithm>
#include <filesystem>

#include "app/panel_layout.h"
#include "services/status_log.h"
#include "core/errors.h"
#include "core/main_thread_queue.h"
#include "engine/channel.h"
#include "recfiles/descriptor_files.h"
#include "tests/gui/gui_fixture.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

using MainWindow = test::GuiFixture;

QStringList captions(const QList<QAction*>& actions)
{
    QStringList out;
    for (QAction* a : actions)
        out << (a->isSeparator() ? QStringLiteral("-") : a->text());
    return out;
}

TEST_F(MainWindow, CaptionMenusToolbarAndCommands)
{
    start(1, [](TConfig& c) { c.stayontop = true; });
    EXPECT_EQ(form->windowTitle(), "Quorlith VELK 4.0.0 (ASIO)");
    EXPECT_TRUE(form->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    const QList<QAction*> menus = form->menubar()->actions();
    ASSERT_EQ(captions(menus), QStringList({"&File", "&Settings", "&View", "&Help"}));
    EXPECT_EQ(captions(menus[0]->menu()->actions()),
              QStringList({"Recordings Browser...", "-", "Control Panel...", "Password Settings...", "-",
                           "View Logs...", "-", "Exit"}));
    EXPECT_EQ(captions(menus[1]->menu()->actions()),
              QStringList({"Control Panel...", "Scheduler", "Add channel...", "Password Settings..."}));
    EXPECT_EQ(captions(menus[2]->menu()->actions()), QStringList({"Recordings Browser...", "View Logs...", "-",
                                                                  "Status Log Window", "Toolbar"}));
    EXPECT_EQ(captions(menus[3]->menu()->actions()),
              QStringList({"Contents", "Visit Home Page", "Check for Updates...", "-", "About"}));
    EXPECT_EQ(captions(form->toolbar()->actions()),
              QStringList({"Recordings Browser...", "View Logs...", "Control Panel...", "Scheduler", "Add channel...",
                           "-", "Start All Channels", "Stop All Channels", "-", "Contents"}));

    struct Command {
        const char* name;
        const char* shortcut;
        const char* hint;
    };
    for (const Command& c : {Command{"Recordings Browser", "Ctrl+B", "Open recordings browser"},
                             Command{"Control Panel", "Ctrl+O", "Open Control Panel"},
                             Command{"Password Settings", "", "Change access passwords"},
                             Command{"View Logs", "Ctrl+L", "Open log viewer"}, Command{"Exit", "Alt+F4", "Close VELK"},
                             Command{"Scheduler", "Ctrl+T", "Open Scheduler"},
                             Command{"Add channel", "", "Add new recording channel..."},
                             Command{"Status Log Window", "", "Hide/show status log window"},
                             Command{"Toolbar", "", "Hide/show toolbar"}, Command{"Contents", "F1", "Help Contents"},
                             Command{"Check for Updates", "", "Check website for VELK updates."},
                             Command{"About", "", "About VELK"},
                             Command{"Start All Channels", "Ctrl+R", "Start All Channels"},
                             Command{"Stop All Channels", "Ctrl+S", "Stop All Channels"}}) {
        QAction* a = form->command(c.name);
        ASSERT_NE(a, nullptr) << c.name;
        EXPECT_EQ(a->shortcut().toString(), c.shortcut) << c.name;
        EXPECT_EQ(a->statusTip(), c.hint) << c.name;
    }
    EXPECT_TRUE(form->command("Status Log Window")->isChecked());
    EXPECT_TRUE(form->command("Toolbar")->isChecked());
    // Windows of later versions say so.
    form->command("Add channel")->trigger();
    ASSERT_EQ(notifier.informations.size(), 1u);
    EXPECT_EQ(notifier.informations[0], "VELK|The channel dialog is not available yet.");
    panel(0).setbutton();
    EXPECT_EQ(notifier.informations.size(), 2u);
}

// The WDM edition opens the same window with its own caption and files (its capture devices
// come later, so it shows no panels yet).
TEST_F(MainWindow, TheWdmEditionHasItsOwnCaptionAndFiles)
{
    system = std::make_unique<VelkSystem>(Edition::Wdm);
    form = std::make_unique<TMainForm>(*system);
    form->show();
    test::pump();
    EXPECT_EQ(form->windowTitle(), "Quorlith VELK 4.0.0 (WDM)");
    EXPECT_TRUE(form->displaylist().empty());
    ASSERT_NE(form->schedulerform(), nullptr);
    EXPECT_TRUE(form->close());
    EXPECT_TRUE(fs::exists(root.common() + "configds.xml"));
    EXPECT_TRUE(fs::exists(root.common() + "schedulerds.xml"));
    EXPECT_FALSE(fs::exists(root.common() + "config.xml"));
    EXPECT_FALSE(fs::exists(root.common() + "scheduler.xml"));
}

TEST_F(MainWindow, TheLogListShowsTheStartUpAndLaterLines)
{
    start(1);
    QListWidget* list = form->loglist();
    ASSERT_TRUE(test::pumpuntil([&] { return list->count() > 0; }));
    EXPECT_TRUE(list->item(0)->text().endsWith("; VELK System Initialization..."));
    addlog("a line from a worker");
    ASSERT_TRUE(test::pumpuntil([&] { return list->item(list->count() - 1)->text().endsWith("a line from a worker"); }));
    EXPECT_EQ(static_cast<std::size_t>(list->count()), system->statuslog().lines().size());
    EXPECT_EQ(list->selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_EQ(list->palette().color(QPalette::Base), QColor(28, 60, 125));
    EXPECT_EQ(list->palette().color(QPalette::Text), QColor(255, 255, 255));
}

// A full list is filed to the day's log and starts again with the overflow mark and the line that
// did not fit; the window's list follows.
TEST_F(MainWindow, AFullLogListIsFiledAndStartsAgain)
{
    start(1);
    QListWidget* list = form->loglist();
    // The start-up's cleanup pass logs from its own thread; its lines are in before the count.
    ASSERT_TRUE(test::pumpuntil([&] {
        return !list->findItems(QStringLiteral("Cleanup finished."), Qt::MatchContains).isEmpty();
    }));
    const std::size_t room = StatusLog::defaultcapacity - system->statuslog().lines().size();
    for (std::size_t i = 0; i < room; ++i)
        addlog("line " + std::to_string(i));
    addlog("the one too many");
    // More lines after the reset, in the same burst, than the list showed before it.
    const int shown = list->count();
    for (int i = 0; i < shown; ++i)
        addlog("after " + std::to_string(i));
    ASSERT_TRUE(test::pumpuntil([&] { return list->count() == shown + 2; }));
    EXPECT_TRUE(list->item(0)->text().endsWith("*** Log size limit reached, list reset."));
    EXPECT_TRUE(list->item(1)->text().endsWith("; the one too many"));
    EXPECT_TRUE(list->item(shown + 1)->text().endsWith(QString::fromStdString("; after " + std::to_string(shown - 1))));
    std::string filed;
    for (const auto& e : fs::directory_iterator(root.common() + "Logs"))
        filed += test::readtextfile(e.path().string());
    EXPECT_NE(filed.find("; VELK System Activated.\r\n"), std::string::npos);
    EXPECT_NE(filed.find("; line " + std::to_string(room - 1) + "\r\n"), std::string::npos);
    EXPECT_EQ(filed.find("the one too many"), std::string::npos);
}

TEST_F(MainWindow, AnErrorReachingTheEventLoopIsLoggedAndShown)
{
    start(1);
    form->AppException(EVelkError("Disk gone"));
    ASSERT_EQ(notifier.errors.size(), 1u);
    EXPECT_EQ(notifier.errors[0], "VELK|Disk gone");
    QListWidget* list = form->loglist();
    ASSERT_TRUE(test::pumpuntil(
        [&] { return list->count() > 0 && list->item(list->count() - 1)->text().endsWith("; Exception detected: Disk gone"); }));
}

TEST_F(MainWindow, StateLabelsFollowPostedMessages)
{
    start(2);
    struct Step {
        int channel, state;
        const char* text;
        QColor colour;
    };
    for (const Step& s : {Step{1, 1, "Status: Recording", QColor(255, 0, 0)},
                          Step{1, 2, "Status: Listen...", QColor(0, 128, 0)},
                          Step{1, 3, "Status: No Input", QColor(255, 0, 0)},
                          Step{1, 0, "Status: Idle", QColor(0, 0, 0)}}) {
        mainqueue().post(ChannelStateMessage{s.channel, s.state});
        ASSERT_TRUE(test::pumpuntil([&] { return panel(1).lbl->text() == s.text; })) << s.text;
        EXPECT_EQ(panel(1).lbl->palette().color(QPalette::WindowText), s.colour) << s.text;
        EXPECT_EQ(panel(0).lbl->text(), "Status: Idle");
    }
    // An index without a panel is ignored.
    mainqueue().post(ChannelStateMessage{7, 1});
    mainqueue().post(ChannelStateMessage{-1, 1});
    mainqueue().post(ChannelStateMessage{0, 2});
    ASSERT_TRUE(test::pumpuntil([&] { return panel(0).lbl->text() == "Status: Listen..."; }));
    EXPECT_EQ(panel(1).lbl->text(), "Status: Idle");
}

// The button shows whether the channel runs: a start that fails, or a recording that ends by
// itself, leaves it up, so Start All starts the channel again.
TEST_F(MainWindow, AButtonComesUpWhenItsChannelDoesNotRecord)
{
    // Channel 2's folder lies below a plain file: its recording cannot be created.
    start(2, [this](TConfig& c) {
        test::writetextfile(root.root() + "/blocked", "");
        c.channels[1].folder = root.root() + "/blocked/Ch2";
    });
    panel(1).btn->click();
    EXPECT_FALSE(panel(1).btn->isChecked());
    EXPECT_FALSE(panel(1).chn->recording());

    panel(0).btn->click();
    ASSERT_TRUE(test::pumpuntil([&] { return panel(0).lbl->text() == "Status: Recording"; }));
    panel(0).chn->stoprecording();  // as a write error ends the recording
    ASSERT_TRUE(test::pumpuntil([&] { return panel(0).lbl->text() == "Status: Idle"; }));
    EXPECT_FALSE(panel(0).btn->isChecked());
    form->command("Start All Channels")->trigger();
    EXPECT_TRUE(panel(0).chn->recording());
    EXPECT_TRUE(panel(0).btn->isChecked());
}

TEST_F(MainWindow, PanelsShowTheirChannelsAndVoiceActivationListens)
{
    // Detect level 100: the half-scale bursts of the virtual input never open a recording.
    start(2, [](TConfig& c) {
        c.channels[1].mode = 0;
        c.channels[1].voxlevel = 100;
    });
    EXPECT_EQ(panel(0).title(), "Ch1");
    EXPECT_EQ(panel(1).title(), "Ch2");
    EXPECT_EQ(panel(1).int_id, 1);
    EXPECT_EQ(panel(0).size(), QSize(230, 58));
    EXPECT_EQ(panel(0).btn->geometry(), QRect(14, 17, 49, 33));
    EXPECT_EQ(panel(0).btn->toolTip(), "Start/Stop Recording");
    EXPECT_EQ(panel(0).setbtn->text(), "Options");
    EXPECT_EQ(panel(0).setbtn->pos(), QPoint(175, 36));
    EXPECT_EQ(panel(0).lbl->pos(), QPoint(82, 36));
    EXPECT_EQ(panel(0).dispWidth, 130);
    panel(1).btn->click();
    ASSERT_TRUE(test::pumpuntil([&] { return panel(1).lbl->text() == "Status: Listen..."; }));
    panel(1).btn->click();
    ASSERT_TRUE(test::pumpuntil([&] { return panel(1).lbl->text() == "Status: Idle"; }));
}

TEST_F(MainWindow, MinimiseToTrayAndRestore)
{
    start(1);
    form->minimisetotray();
    EXPECT_TRUE(form->minimisedtotray());
    EXPECT_FALSE(form->isVisible());
    form->restorefromtray();
    EXPECT_FALSE(form->minimisedtotray());
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(form->isMinimized());
    EXPECT_FALSE(form->tray()->isVisible());
    const QList<QAction*> traymenu = form->tray()->contextMenu()->actions();
    EXPECT_EQ(captions(traymenu), QStringList({"Restore", "Exit"}));
}

TEST_F(MainWindow, PressingARecordButtonRecordsAndClosingTheWindowFinishesTheRecording)
{
    start(1);
    const std::string folder = root.root() + "/rec/Ch1";
    auto files = [&](const std::string& in, const std::string& ext) {
        std::vector<std::string> out;
        if (fs::exists(in))
            for (const auto& e : fs::recursive_directory_iterator(in))
                if (e.is_regular_file() && e.path().extension() == ext)
                    out.push_back(e.path().string());
        return out;
    };
    panel(0).btn->click();
    ASSERT_TRUE(test::pumpuntil([&] { return panel(0).lbl->text() == "Status: Recording"; }));
    const std::string data = system->config().velk_path;
    ASSERT_TRUE(test::pumpuntil([&] { return files(folder, ".wav").size() == 1 && files(data, ".velk").size() == 1; }));
    const std::string descriptor = files(data, ".velk")[0];
    TRecDescriptor d;
    ASSERT_TRUE(readdescriptor(descriptor, d));
    EXPECT_EQ(d.state, DESC_RECORDING);
    // Let some audio arrive: the meter moves.
    ASSERT_TRUE(test::pumpuntil([&] { return panel(0).oldlevel > 0; }));

    EXPECT_TRUE(form->close());
    EXPECT_TRUE(form->shutdowndone());
    ASSERT_TRUE(readdescriptor(descriptor, d));
    EXPECT_EQ(d.state, DESC_FINAL);
    const std::string wav = files(folder, ".wav")[0];
    EXPECT_GT(fs::file_size(wav), 44u + 1000u);  // a header and audio
    const auto& lines = system->statuslog().lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines.back().ends_with("; VELK Closed."));
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.ends_with("Record started: Ch1"); }));
}

// One channel in one column is narrower than the toolbar: the window is kept wide enough for
// every button, none hides behind the extension arrow, also at the window's minimum width.
TEST_F(MainWindow, EveryToolbarButtonShowsInTheDefaultWindow)
{
    start(1);
    auto allshown = [this] {
        QToolBar* bar = form->toolbar();
        for (QAction* a : bar->actions()) {
            if (a->isSeparator())
                continue;
            QWidget* button = bar->widgetForAction(a);
            if (!button || !button->isVisible() || button->geometry().right() >= bar->width())
                return false;
        }
        auto* arrow = bar->findChild<QToolButton*>(QStringLiteral("qt_toolbar_ext_button"));
        return !arrow || !arrow->isVisible();
    };
    ASSERT_TRUE(test::pumpuntil(allshown));
    form->resize(form->minimumWidth(), form->height());
    EXPECT_TRUE(test::pumpuntil(allshown));
    EXPECT_GE(form->minimumWidth(), form->toolbar()->sizeHint().width());
}

// A stored panel width no screen could show is brought within the screen: the start-up does
// not build a meter billions of pixels wide.
TEST_F(MainWindow, AHugeStoredPanelWidthIsClampedToTheScreen)
{
    start(2, [](TConfig&) { displaysettings().panelwidth = 2'000'000'000; });
    EXPECT_LE(displaysettings().panelwidth, maxpanelwidth);
    EXPECT_GE(displaysettings().panelwidth, minpanelwidth);
    EXPECT_EQ(form->meter().width(), displaysettings().panelwidth - 100);
    EXPECT_EQ(panel(0).width(), displaysettings().panelwidth);
}

}  // namespace
}  // namespace velk
