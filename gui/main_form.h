#pragma once
// TMainForm: the main window. It presents and commands the recorder that VelkSystem runs: the
// menus and the toolbar, one TDisplay panel per live channel in a grid, the status-log list, the
// tray icon. Its event loop drains the main-thread queue, so worker threads reach the panels and
// the list only through posted messages. Closing it goes through the exit guard and then shuts
// the recorder down in its fixed order.
//
// The recorder is started by the window's constructor (the start-up of the program happens while
// the main window is created) and shut down when a close request is accepted.
//
// Threads: main thread only.

#include <QImage>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/panel_layout.h"
#include "app/password_guard.h"

class QAction;
class QListWidget;
class QMenu;
class QMenuBar;
class QSocketNotifier;
class QSystemTrayIcon;
class QToolBar;

namespace velk {

class TDisplay;
class Tpassform;
class Tpassword;
class TSchedulerForm;
class VelkSystem;

class TMainForm : public QWidget {
    Q_OBJECT
public:
    // Builds the window and starts the recorder (its errors go to AppException). The window is
    // not shown yet.
    explicit TMainForm(VelkSystem& system, QWidget* parent = nullptr);
    // Shuts the recorder down if no close did.
    ~TMainForm() override;

    // Commands by their caption without the ellipsis: "Recordings Browser", "Control Panel",
    // "Password Settings", "View Logs", "Exit", "Scheduler", "Add channel", "Status Log Window",
    // "Toolbar", "Contents", "Visit Home Page", "Check for Updates", "About", "Start All Channels",
    // "Stop All Channels".
    QAction* command(const QString& name) const;
    const std::vector<TDisplay*>& displaylist() const { return displaylist_; }
    QListWidget* loglist() const { return loglist_; }
    QMenuBar* menubar() const { return menubar_; }
    QToolBar* toolbar() const { return toolbar_; }
    QSystemTrayIcon* tray() const { return tray_; }
    const QImage& meter() const { return meterbitmap_; }
    QTimer& drawtimer() { return drawtimer_; }
    Tpassword* passworddialog() const { return passworddialog_; }
    Tpassform* passform() const { return passform_; }

    // Where Help > Contents looks for the manual; empty: the executable's folder.
    QString helpfolder;

    // The password prompt the guards use; by default the modal Tpassform, or a prompt of its own
    // for a question asked while that one is open (tests answer it).
    PasswordPrompt prompt;
    // What the guards ask through: `prompt`, but refused at once, or as it closes, once a close
    // request is under way.
    std::optional<std::string> askpassword();
    // The window's own prompt: the Tpassform, or a new one while that is open.
    std::optional<std::string> showprompt();

    // The "Scheduler" window (created hidden once the recorder runs; null without a scheduler).
    TSchedulerForm* schedulerform() const { return schedulerform_; }
    void openscheduler();
    // The scheduler's channel switch: presses or releases channel `channel`'s record button as the
    // user would; nothing when the button is already in that state. Throws for a channel with no
    // panel.
    void schedulerswitch(int channel, bool start);

    // For each live channel: set its button to `on` where it differs and run the button action.
    void allchannelsstate(bool on);
    // Lays the panels out in `columns` columns and sizes the window around them.
    void arrangechannels();
    // Places the panels; returns the grid size.
    PanelGrid calcpositions();
    // The height of the menu bar and, when shown, the toolbar band.
    int barheight() const;
    // The "Status Log Window" and "Toolbar" check items.
    void setstatusshown(bool on);
    void settoolbarshown(bool on);
    // Minimising hides the window behind the tray icon; "Restore" brings it back.
    void minimisetotray();
    void restorefromtray();
    bool minimisedtotray() const { return intray_; }
    // Asks the exit guard; true when the window may close.
    bool closeallowed();
    // Closes without asking the exit guard: a termination signal comes from whoever may end the
    // process anyway, and it is better answered by the orderly shutdown than by a kill later.
    // While a prompt or message box is open (its caller is on the stack), it is closed as refused
    // and the window closes from the event loop once no such loop remains.
    void closewithoutguard();
    // The handler of errors that reach the event loop: a status-log line and the error box.
    void AppException(const std::exception& error);
    // Whether the recorder ran its shutdown (after an accepted close).
    bool shutdowndone() const { return shutdowndone_; }

Q_SIGNALS:
    // The recorder has shut down after an accepted close; the program can end.
    void shutdowncomplete();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void buildcommands();
    void buildmenus();
    void buildtray();
    void startsystem();
    void applywindowoptions();
    void createpanels();
    void shutdownsystem();
    // A prompt, a message box or a password question is open below the current call.
    bool nested() const;
    void finishclose();
    void layoutbar();
    void formresize();
    void syncloglist();
    void drawmeters();
    void runqueue();
    // Sets the list's rectangle and remembers its distances to the edges of a client area of the
    // given size; later resizes keep those distances.
    void placelist(const QRect& rect, int clientwidth, int clientheight);
    void applylistanchors();
    // Keeps the shown list's height for the settings file ("Display"/"Height").
    void notelistheight();
    // A command whose window comes with a later version of the program.
    void notavailable(const QString& what);
    // Runs a command action, sending what it throws to AppException.
    template <class F>
    void guarded(F&& action);
    QAction* addcommand(const QString& key, const QString& caption, const QKeySequence& shortcut, const QString& hint);

    VelkSystem& system_;
    QMenuBar* menubar_ = nullptr;
    QToolBar* toolbar_ = nullptr;
    QListWidget* loglist_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    QMenu* traymenu_ = nullptr;
    QSocketNotifier* queuenotifier_ = nullptr;
    Tpassform* passform_ = nullptr;
    Tpassword* passworddialog_ = nullptr;
    TSchedulerForm* schedulerform_ = nullptr;
    std::map<QString, QAction*> commands_;
    std::vector<TDisplay*> displaylist_;
    QImage meterpicture_;
    QImage meterbitmap_;
    QTimer drawtimer_;
    QTimer housekeepingtimer_;  // VelkSystem::housekeeping, once a second
    std::size_t listed_ = 0;  // status-log lines shown in the list
    std::size_t resetsseen_ = 0;  // status-log list resets the list has followed
    bool syncpending_ = false;    // the list is brought up to date from the event loop
    QMargins listanchors_;    // the list's distances to the client edges
    bool started_ = false;
    bool shutdowndone_ = false;
    bool intray_ = false;
    bool unguarded_ = false;  // the next close skips the exit guard
    bool closing_ = false;    // a close request is waiting for the open prompts to end
    int asking_ = 0;          // password questions open (askpassword)
};

}  // namespace velk
