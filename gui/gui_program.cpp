#include "gui/gui_program.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <clocale>
#include <cstdlib>
#include <memory>
#include <thread>
#include <utility>

#include "app/headless_notifier.h"
#include "gui/instance_server.h"
#include "gui/main_form.h"
#include "gui/qt_notifier.h"
#include "app/velk_system.h"
#include "services/status_log.h"
#include "core/unique_fd.h"

#if defined(__SANITIZE_ADDRESS__)
// The session bus library keeps one buffer until the process ends; sanitizer builds of the
// program would otherwise fail their exit status on a display with a session bus.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libdbus-1.so\n";
}
#endif

namespace velk {

namespace {

// Errors that escape an event handler reach the main window's AppException instead of ending
// the program.
class VelkApplication : public QApplication {
public:
    VelkApplication(int& argc, char** argv) : QApplication(argc, argv) {}
    TMainForm* form = nullptr;

    bool notify(QObject* receiver, QEvent* event) override
    {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception& e) {
            if (!form)
                throw;
            form->AppException(e);
        }
        return false;
    }
};

bool windowsavailable()
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return true;
    }
    return false;
}

// A lost display ends the program from inside the event loop: the platform plugin calls exit().
// The recorder is still running then; it shuts down in order before the statics go, so open
// recordings are finished, the compression queue stored and the day's log written.
VelkSystem* systemtofinish = nullptr;

void finishatexit()
{
    VelkSystem* system = std::exchange(systemtofinish, nullptr);
    if (!system)
        return;
    // The main thread's thread-local state is already gone at this point of exit(), so the
    // shutdown runs on a fresh thread that takes over as the main thread.
    std::thread finisher([system] {
        system->queue().bindtocurrentthread();
        HeadlessNotifier notifier;  // no more windows to show a box in
        setusernotifier(&notifier);
        // The windows are not drawn again: nothing is handed to them any more.
        system->onchannelstate = nullptr;
        system->statuslog().onchanged = nullptr;
        addlog("The display is gone: closing.");
        try {
            system->shutdown();
        } catch (...) {
            // Exit goes on; the shutdown logged what failed.
        }
        setusernotifier(nullptr);
    });
    finisher.join();
}

int runwindows(Edition edition, int argc, char** argv, bool recordall)
{
    VelkApplication app(argc, argv);
    // Qt takes the user's locale for everything; numbers in the files stay in the C format.
    std::setlocale(LC_NUMERIC, "C");
    QApplication::setApplicationName(QStringLiteral("VELK"));
    // The window may hide in the tray while a dialog closes; the program ends with its main window.
    QApplication::setQuitOnLastWindowClosed(false);
    QtNotifier notifier;
    setusernotifier(&notifier);
    {
        // A second start of either edition asks this window to come to the front. The socket
        // listens from before start-up, so a start during ours finds it; requests are answered
        // once the event loop runs, when the window exists.
        TMainForm* shown = nullptr;
        TInstanceServer instanceserver([&shown] {
            if (!shown || shown->shutdowndone())
                return;
            if (shown->minimisedtotray())
                shown->restorefromtray();
            else {
                shown->showNormal();
                shown->raise();
                shown->activateWindow();
            }
        });
        VelkSystem system(edition);
        TMainForm form(system);
        shown = &form;
        app.form = &form;
        // From here on a lost display still finishes the recordings (registered after the
        // recorder's statics exist, so it runs before they are destroyed); the channels that
        // --record switches on below may already have files open when the display goes.
        static const bool registered = std::atexit(finishatexit) == 0;
        (void)registered;
        systemtofinish = &system;
        if (recordall)
            form.allchannelsstate(true);
        // SIGINT and SIGTERM (blocked in every thread) close the window in order, without the
        // exit password: whoever can send them can also kill the process.
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        UniqueFd sigfd(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
        std::unique_ptr<QSocketNotifier> signalnotifier;
        if (sigfd) {
            signalnotifier = std::make_unique<QSocketNotifier>(sigfd.get(), QSocketNotifier::Read);
            QObject::connect(signalnotifier.get(), &QSocketNotifier::activated, &form, [&] {
                signalfd_siginfo info{};
                while (::read(sigfd.get(), &info, sizeof info) == sizeof info) {
                }
                form.closewithoutguard();
            });
        }
        // The end of the user's session: the session manager's final notice reaches the
        // application as a quit event, which asks every window to close (the main window through
        // its exit guard). Its earlier question, whether the session may end, is answered
        // without closing: the logout may still be cancelled, and recording goes on until then.
        QObject::connect(&form, &TMainForm::shutdowncomplete, &app, &QApplication::quit, Qt::QueuedConnection);
        form.show();
        app.exec();
        systemtofinish = nullptr;
        app.form = nullptr;
    }
    setusernotifier(nullptr);
    return 0;
}

// The refused second start: a bare application object for the socket, no windows.
bool activateinstance()
{
    int argc = 1;
    char name[] = "velk";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    return activaterunning();
}

}  // namespace

const ProgramWindows& qtwindows()
{
    static const ProgramWindows windows{&windowsavailable, &runwindows, &activateinstance};
    return windows;
}

}  // namespace velk
