#include "gui/main_form.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QToolBar>
#include <QToolButton>

#include "gui/display.h"
#include "gui/gui_glyphs.h"
#include "gui/help_viewer.h"
#include "gui/modal_session.h"
#include "gui/password_forms.h"
#include "gui/scheduler_form.h"
#include "app/velk_system.h"
#include "config/config.h"
#include "config/edition.h"
#include "services/scheduler.h"
#include "services/status_log.h"
#include "core/errors.h"
#include "core/user_notifier.h"
#include "engine/channel.h"

namespace velk {

namespace {
constexpr int toolbarbandheight = 26;
constexpr int drawinterval = 100;  // ms

// The panels shown: the configured channels that have a panel.
int livecount(const TConfig& config, const std::vector<TDisplay*>& panels)
{
    return std::min<int>(config.num, static_cast<int>(panels.size()));
}
}  // namespace

template <class F>
void TMainForm::guarded(F&& action)
{
    try {
        action();
    } catch (const std::exception& e) {
        AppException(e);
    }
}

TMainForm::TMainForm(VelkSystem& system, QWidget* parent) : QWidget(parent), system_(system)
{
    setWindowTitle(QStringLiteral("Quorlith VELK"));
    setWindowIcon(glyphicon(Glyph::Program));
    meterpicture_ = meterpicture();
    meterbitmap_ = meterbitmap(meterpicture_, meterpicturewidth);

    menubar_ = new QMenuBar(this);
    menubar_->setNativeMenuBar(false);
    toolbar_ = new QToolBar(this);
    toolbar_->setToolButtonStyle(Qt::ToolButtonIconOnly);
    // Small icons: the whole toolbar fits above one column of default-width panels.
    toolbar_->setIconSize(QSize(16, 16));
    toolbar_->setMovable(false);
    toolbar_->setFloatable(false);

    loglist_ = new QListWidget(this);
    loglist_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    loglist_->setFrameShape(QFrame::NoFrame);
    loglist_->setUniformItemSizes(true);
    loglist_->setFont(QFont(QStringLiteral("Tahoma"), 8));
    loglist_->setStyleSheet(QStringLiteral("QListWidget { background-color: rgb(28, 60, 125); color: white; }"
                                           "QListWidget::item { height: 13px; }"));

    passform_ = new Tpassform(this);
    prompt = [this] { return showprompt(); };

    buildcommands();
    buildmenus();
    buildtray();
    layoutbar();

    drawtimer_.setInterval(drawinterval);
    connect(&drawtimer_, &QTimer::timeout, this, [this] { guarded([this] { drawmeters(); }); });
    housekeepingtimer_.setInterval(1000);
    connect(&housekeepingtimer_, &QTimer::timeout, this, [this] { guarded([this] { system_.housekeeping(); }); });

    startsystem();
}

TMainForm::~TMainForm()
{
    try {
        shutdownsystem();
    } catch (...) {
        // Destruction must not throw; the shutdown reports its own failures.
    }
    system_.onchannelstate = nullptr;
    system_.statuslog().onchanged = nullptr;
}

QAction* TMainForm::addcommand(const QString& key, const QString& caption, const QKeySequence& shortcut,
                               const QString& hint)
{
    auto* action = new QAction(caption, this);
    if (!shortcut.isEmpty()) {
        action->setShortcut(shortcut);
        action->setShortcutContext(Qt::WindowShortcut);
    }
    if (!hint.isEmpty()) {
        action->setStatusTip(hint);
        action->setToolTip(hint);
    }
    commands_[key] = action;
    addAction(action);  // shortcuts work also while the toolbar is hidden
    return action;
}

QAction* TMainForm::command(const QString& name) const
{
    const auto it = commands_.find(name);
    return it == commands_.end() ? nullptr : it->second;
}

void TMainForm::buildcommands()
{
    QAction* a = addcommand("Recordings Browser", "Recordings Browser...", QKeySequence("Ctrl+B"),
                            "Open recordings browser");
    a->setIcon(glyphicon(Glyph::Browser));
    connect(a, &QAction::triggered, this, [this] {
        guarded([this] {
            if (guardallows(system_.config(), GuardArea::Browsers, [this] { return askpassword(); }))
                notavailable("The recordings browser");
        });
    });

    a = addcommand("Control Panel", "Control Panel...", QKeySequence("Ctrl+O"), "Open Control Panel");
    a->setIcon(glyphicon(Glyph::Settings));
    connect(a, &QAction::triggered, this, [this] {
        guarded([this] {
            if (guardallows(system_.config(), GuardArea::Settings, [this] { return askpassword(); }))
                notavailable("The Control Panel");
        });
    });

    a = addcommand("Password Settings", "Password Settings...", QKeySequence(), "Change access passwords");
    connect(a, &QAction::triggered, this, [this] {
        guarded([this] {
            if (!guardallows(system_.config(), GuardArea::PasswordSettings, [this] { return askpassword(); }))
                return;
            passworddialog_->show();
            passworddialog_->raise();
            passworddialog_->activateWindow();
        });
    });

    a = addcommand("View Logs", "View Logs...", QKeySequence("Ctrl+L"), "Open log viewer");
    a->setIcon(glyphicon(Glyph::Logs));
    connect(a, &QAction::triggered, this, [this] {
        guarded([this] {
            if (guardallows(system_.config(), GuardArea::Browsers, [this] { return askpassword(); }))
                notavailable("The log browser");
        });
    });

    a = addcommand("Exit", "Exit", QKeySequence("Alt+F4"), "Close VELK");
    connect(a, &QAction::triggered, this, [this] { close(); });

    a = addcommand("Scheduler", "Scheduler", QKeySequence("Ctrl+T"), "Open Scheduler");
    a->setIcon(glyphicon(Glyph::Scheduler));
    connect(a, &QAction::triggered, this, [this] { guarded([this] { openscheduler(); }); });

    a = addcommand("Add channel", "Add channel...", QKeySequence(), "Add new recording channel...");
    a->setIcon(glyphicon(Glyph::AddChannel));
    connect(a, &QAction::triggered, this, [this] { notavailable("The channel dialog"); });

    a = addcommand("Status Log Window", "Status Log Window", QKeySequence(), "Hide/show status log window");
    a->setCheckable(true);
    connect(a, &QAction::triggered, this, [this](bool on) { guarded([this, on] { setstatusshown(on); }); });

    a = addcommand("Toolbar", "Toolbar", QKeySequence(), "Hide/show toolbar");
    a->setCheckable(true);
    connect(a, &QAction::triggered, this, [this](bool on) { guarded([this, on] { settoolbarshown(on); }); });

    a = addcommand("Contents", "Contents", QKeySequence(Qt::Key_F1), "Help Contents");
    a->setIcon(glyphicon(Glyph::Help));
    connect(a, &QAction::triggered, this, [this] { openhelp(QString::fromLatin1(helpfilename), QString(), helpfolder); });

    a = addcommand("Visit Home Page", "Visit Home Page", QKeySequence(), QString());
    connect(a, &QAction::triggered, this, [] { openhomepage(); });

    a = addcommand("Check for Updates", "Check for Updates...", QKeySequence(), "Check website for VELK updates.");
    a->setEnabled(false);

    a = addcommand("About", "About", QKeySequence(), "About VELK");
    connect(a, &QAction::triggered, this, [this] { notavailable("The About page"); });

    a = addcommand("Start All Channels", "Start All Channels", QKeySequence("Ctrl+R"), "Start All Channels");
    a->setIcon(glyphicon(Glyph::StartAll));
    connect(a, &QAction::triggered, this, [this] { guarded([this] { allchannelsstate(true); }); });

    a = addcommand("Stop All Channels", "Stop All Channels", QKeySequence("Ctrl+S"), "Stop All Channels");
    a->setIcon(glyphicon(Glyph::StopAll));
    connect(a, &QAction::triggered, this, [this] { guarded([this] { allchannelsstate(false); }); });
}

void TMainForm::buildmenus()
{
    QMenu* file = menubar_->addMenu(QStringLiteral("&File"));
    file->addAction(command("Recordings Browser"));
    file->addSeparator();
    file->addAction(command("Control Panel"));
    file->addAction(command("Password Settings"));
    file->addSeparator();
    file->addAction(command("View Logs"));
    file->addSeparator();
    file->addAction(command("Exit"));

    QMenu* settings = menubar_->addMenu(QStringLiteral("&Settings"));
    settings->addAction(command("Control Panel"));
    settings->addAction(command("Scheduler"));
    settings->addAction(command("Add channel"));
    settings->addAction(command("Password Settings"));

    QMenu* view = menubar_->addMenu(QStringLiteral("&View"));
    view->addAction(command("Recordings Browser"));
    view->addAction(command("View Logs"));
    view->addSeparator();
    view->addAction(command("Status Log Window"));
    view->addAction(command("Toolbar"));

    QMenu* help = menubar_->addMenu(QStringLiteral("&Help"));
    help->addAction(command("Contents"));
    help->addAction(command("Visit Home Page"));
    help->addAction(command("Check for Updates"));
    help->addSeparator();
    help->addAction(command("About"));
    for (QMenu* menu : {file, settings, view, help})
        menu->setToolTipsVisible(true);

    toolbar_->addAction(command("Recordings Browser"));
    toolbar_->addAction(command("View Logs"));
    toolbar_->addAction(command("Control Panel"));
    toolbar_->addAction(command("Scheduler"));
    toolbar_->addAction(command("Add channel"));
    toolbar_->addSeparator();
    toolbar_->addAction(command("Start All Channels"));
    toolbar_->addAction(command("Stop All Channels"));
    toolbar_->addSeparator();
    toolbar_->addAction(command("Contents"));
}

void TMainForm::buildtray()
{
    tray_ = new QSystemTrayIcon(glyphicon(Glyph::Program), this);
    tray_->setToolTip(QStringLiteral("VELK"));
    traymenu_ = new QMenu(this);
    QAction* restore = traymenu_->addAction(QStringLiteral("Restore"));
    connect(restore, &QAction::triggered, this, [this] { restorefromtray(); });
    traymenu_->addAction(command("Exit"));
    tray_->setContextMenu(traymenu_);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick)
            restorefromtray();
    });
}

void TMainForm::startsystem()
{
    // Messages are handled from the event loop once it runs; start-up lines posted before wait in
    // the queue and show when the window first does.
    queuenotifier_ = new QSocketNotifier(system_.queue().wakeupfd(), QSocketNotifier::Read, this);
    connect(queuenotifier_, &QSocketNotifier::activated, this, [this] { runqueue(); });
    // The status log is filed when due even while no message comes (runqueue() files it).
    auto* logfiling = new QTimer(this);
    logfiling->setSingleShot(true);
    connect(logfiling, &QTimer::timeout, this, [this, logfiling] {
        runqueue();
        logfiling->start(static_cast<int>(system_.untillogfiling().count()));
    });
    logfiling->start(static_cast<int>(VelkSystem::logfileinterval.count() * 1000));
    // A burst of lines (one drain of the queue) reaches the list in one update.
    system_.statuslog().onchanged = [this] {
        if (!syncpending_) {
            syncpending_ = true;
            QTimer::singleShot(0, this, [this] { syncloglist(); });
        }
    };
    system_.onchannelstate = [this](const ChannelStateMessage& m) {
        if (m.channel >= 0 && m.channel < static_cast<int>(displaylist_.size()))
            displaylist_[static_cast<std::size_t>(m.channel)]->setstate(m.state);
    };
    // The panels come with the channels, inside the start-up: created and arranged before
    // "VELK System Activated.", and a failure to arrange them ends the start-up there.
    bool panelsmade = false;
    system_.onchannelsready = [this, &panelsmade] {
        panelsmade = true;
        applywindowoptions();
        createpanels();
        arrangechannels();
    };
    started_ = true;
    bool failed = false;
    try {
        system_.startup();
    } catch (const std::exception& e) {
        failed = true;
        AppException(e);
    }
    system_.onchannelsready = nullptr;
    setWindowTitle(QStringLiteral("Quorlith VELK ") + QString::fromStdString(velkversion()) +
                   QString::fromStdString(captionsuffix(system_.edition())));
    // Filled once, from the configuration just loaded.
    passworddialog_ = new Tpassword(system_, this);
    // From now on scheduled events press the record buttons, so the buttons stay in step.
    if (TScheduler* scheduler = system_.scheduler()) {
        scheduler->fonevent = [this](TScheduler&, int channel, bool start) { schedulerswitch(channel, start); };
        schedulerform_ = new TSchedulerForm(*scheduler, system_, this);
        schedulerform_->setWindowFlag(Qt::Window);
    }

    if (!panelsmade) {
        // The start-up ended before its channels (the configuration could not be loaded).
        applywindowoptions();
        createpanels();
        guarded([this] { arrangechannels(); });
    }
    // The channels switched on at start-up show their buttons down.
    for (TDisplay* panel : displaylist_)
        panel->btn->setChecked(panel->chn && panel->chn->recording());
    // After a failed start-up the meters stay still until the next start.
    if (!failed)
        drawtimer_.start();
    housekeepingtimer_.start();
    syncloglist();
}

void TMainForm::applywindowoptions()
{
    const TConfig& c = system_.config();
    setWindowFlag(Qt::WindowStaysOnTopHint, c.stayontop);
    command("Status Log Window")->setChecked(c.status);
    command("Toolbar")->setChecked(c.toolbar);
    loglist_->setVisible(c.status);
    toolbar_->setVisible(c.toolbar);
}

void TMainForm::createpanels()
{
    // A stored width beyond any screen (a hand-edited file) would cost the start-up.
    const QScreen* screen = QGuiApplication::primaryScreen();
    system_.displaysettings().panelwidth =
        clamppanelwidth(system_.displaysettings().panelwidth, screen ? screen->virtualGeometry().width() : 0);
    meterbitmap_ = meterbitmap(meterpicture_, system_.displaysettings().panelwidth - 100);
    TChannelList& channels = system_.channels();
    for (std::size_t i = 0; i < channels.size(); ++i) {
        TChannel& channel = channels.at(i);
        auto* panel = new TDisplay(this, QString::fromStdString(channel.name()), &channel, &meterbitmap_,
                                   system_.displaysettings().panelwidth);
        panel->int_id = static_cast<int>(i);
        panel->maystop = [this] {
            return guardallows(system_.config(), GuardArea::Exit, [this] { return askpassword(); });
        };
        panel->onoptions = [this](int) { notavailable("The channel dialog"); };
        displaylist_.push_back(panel);
    }
}

void TMainForm::runqueue()
{
    guarded([this] { system_.runqueue(); });
}

void TMainForm::syncloglist()
{
    syncpending_ = false;
    const auto& lines = system_.statuslog().lines();
    if (system_.statuslog().resets() != resetsseen_) {
        // The list overflowed and was cleared (perhaps more lines than were shown came since).
        resetsseen_ = system_.statuslog().resets();
        loglist_->clear();
        listed_ = 0;
    }
    for (; listed_ < lines.size(); ++listed_) {
        auto* item = new QListWidgetItem(QString::fromStdString(lines[listed_]));
        item->setSizeHint(QSize(0, 13));
        loglist_->addItem(item);
    }
    loglist_->scrollToBottom();
}

int TMainForm::barheight() const
{
    const int menu = menubar_->sizeHint().height();
    const int tools = std::max(toolbar_->sizeHint().height(), toolbarbandheight);
    return menu + (system_.config().toolbar ? tools : 0);
}

void TMainForm::layoutbar()
{
    const int menu = menubar_->sizeHint().height();
    menubar_->setGeometry(0, 0, width(), menu);
    toolbar_->setGeometry(0, menu, width(), std::max(toolbar_->sizeHint().height(), toolbarbandheight));
}

PanelGrid TMainForm::calcpositions()
{
    const int count = livecount(system_.config(), displaylist_);
    PanelGrid grid =
        velk::calcpositions(count, system_.config().columns, system_.displaysettings().panelwidth, barheight());
    for (int i = 0; i < count; ++i) {
        const PanelPlace& place = grid.places[static_cast<std::size_t>(i)];
        displaylist_[static_cast<std::size_t>(i)]->setGeometry(place.left, place.top, place.width, panelheight);
    }
    return grid;
}

void TMainForm::arrangechannels()
{
    setMinimumSize(0, 0);
    setMaximumWidth(QWIDGETSIZE_MAX);
    const TConfig& c = system_.config();
    const int count = livecount(system_.config(), displaylist_);
    const ArrangeFigures f =
        arrangefigures(count, c.columns, system_.displaysettings().panelwidth, barheight(), c.status, loglistheight);
    calcpositions();
    setMinimumHeight(f.listtop);
    // Every toolbar button stays in view: a narrow grid (one channel, one column) would hide the
    // last ones behind the toolbar's extension arrow.
    const int minwidth = std::max(f.minclientwidth, c.toolbar ? toolbar_->sizeHint().width() : 0);
    const int clientwidth = std::max(f.clientwidth, minwidth);
    setMinimumWidth(minwidth);
    placelist(QRect(0, f.listtop, clientwidth, loglistheight), clientwidth, f.clientheight);
    resize(clientwidth, f.clientheight);
    applylistanchors();
    for (int i = 0; i < count; ++i)
        displaylist_[static_cast<std::size_t>(i)]->show();
}

void TMainForm::placelist(const QRect& rect, int clientwidth, int clientheight)
{
    listanchors_ = QMargins(rect.left(), rect.top(), clientwidth - rect.right() - 1, clientheight - rect.bottom() - 1);
    loglist_->setGeometry(rect);
    notelistheight();
}

void TMainForm::notelistheight()
{
    // Stored with the settings: the height the list has while it is shown.
    if (system_.config().status)
        system_.displaysettings().loglistheight = loglist_->height();
}

void TMainForm::applylistanchors()
{
    const int w = std::max(width() - listanchors_.left() - listanchors_.right(), 0);
    const int h = std::max(height() - listanchors_.top() - listanchors_.bottom(), 0);
    loglist_->setGeometry(listanchors_.left(), listanchors_.top(), w, h);
    notelistheight();
}

void TMainForm::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    layoutbar();
    applylistanchors();
    guarded([this] { formresize(); });
}

void TMainForm::formresize()
{
    TConfig& c = system_.config();
    const ResizeFigures f = resizefigures(width(), c.num, c.columns, system_.displaysettings().panelwidth);
    c.columns = f.columns;
    if (!f.changed)
        return;
    const bool running = drawtimer_.isActive();
    drawtimer_.stop();
    if (f.newwidth > 0) {
        system_.displaysettings().panelwidth = f.newwidth;
        meterbitmap_ = meterbitmap(meterpicture_, f.newwidth - 100);
        calcpositions();  // each panel rebuilds its meter as it is resized
    }
    if (running)
        drawtimer_.start();
}

void TMainForm::setstatusshown(bool on)
{
    TConfig& c = system_.config();
    c.status = on;
    command("Status Log Window")->setChecked(on);
    const int w = width();
    if (on) {
        const int listh = loglist_->height() > 0 ? loglist_->height() : loglistheight;
        const int h = height() + listh;
        placelist(QRect(listanchors_.left(), loglist_->y(), w - listanchors_.left() - listanchors_.right(), listh), w,
                  h);
        resize(w, h);
        loglist_->show();
        loglist_->scrollToBottom();
    } else {
        const int h = std::max(height() - loglist_->height(), minimumHeight());
        resize(w, h);
        loglist_->hide();
    }
}

void TMainForm::settoolbarshown(bool on)
{
    system_.config().toolbar = on;
    command("Toolbar")->setChecked(on);
    toolbar_->setVisible(on);
    arrangechannels();
}

void TMainForm::drawmeters()
{
    const int count = livecount(system_.config(), displaylist_);
    for (int i = 0; i < count; ++i)
        displaylist_[static_cast<std::size_t>(i)]->viz();
}

void TMainForm::allchannelsstate(bool on)
{
    const int count = std::min<int>(livecount(system_.config(), displaylist_), static_cast<int>(system_.channels().size()));
    for (int i = 0; i < count && !shutdowndone_; ++i)
        displaylist_[static_cast<std::size_t>(i)]->press(on, false);
}

void TMainForm::openscheduler()
{
    if (!schedulerform_)
        return;
    schedulerform_->fill();
    schedulerform_->show();
    schedulerform_->raise();
    schedulerform_->activateWindow();
}

void TMainForm::schedulerswitch(int channel, bool start)
{
    if (channel < 0 || channel >= static_cast<int>(displaylist_.size()))
        throw EVelkError("No channel " + std::to_string(channel) + " to switch");
    displaylist_[static_cast<std::size_t>(channel)]->press(start, true);
}

bool TMainForm::closeallowed()
{
    return guardallows(system_.config(), GuardArea::Exit, [this] { return askpassword(); });
}

std::optional<std::string> TMainForm::showprompt()
{
    if (!passform_->isVisible())
        return passform_->ask();
    // The prompt is open for another action (its event loop is below this call): this question
    // gets its own, and what was typed into the other stays.
    Tpassform own(this);
    return own.ask();
}

std::optional<std::string> TMainForm::askpassword()
{
    if (closing_ || shutdowndone_ || !prompt)
        return std::nullopt;
    ++asking_;
    std::optional<std::string> typed = prompt();
    --asking_;
    if (closing_ || shutdowndone_)
        return std::nullopt;
    return typed;
}

bool TMainForm::nested() const
{
    return asking_ > 0 || ModalSession::depth() > 0;
}

void TMainForm::closewithoutguard()
{
    unguarded_ = true;
    if (shutdowndone_)
        return;
    closing_ = true;
    if (!nested()) {
        close();
        return;
    }
    // The recorder must not shut down under a prompt's caller (a scheduled stop with the
    // scheduler's firing below it, a button action): the prompts close as refused, and the window
    // closes once their loops have ended.
    ModalSession::rejectall();
    ModalSession::whenidle(this, [this] { finishclose(); });
}

void TMainForm::finishclose()
{
    if (shutdowndone_)
        return;
    if (asking_ > 0) {
        // A test's prompt (no dialog of its own) is still answering: try again after it.
        QTimer::singleShot(0, this, [this] { finishclose(); });
        return;
    }
    if (ModalSession::depth() > 0) {
        ModalSession::whenidle(this, [this] { finishclose(); });
        return;
    }
    close();
}

void TMainForm::closeEvent(QCloseEvent* event)
{
    if (!shutdowndone_ && !unguarded_ && !closeallowed()) {
        event->ignore();
        return;
    }
    if (!shutdowndone_ && nested()) {
        // Allowed, but asked from inside another prompt's loop: close from the event loop.
        event->ignore();
        closewithoutguard();
        return;
    }
    shutdownsystem();
    if (tray_)
        tray_->hide();
    event->accept();
}

void TMainForm::shutdownsystem()
{
    if (shutdowndone_ || !started_)
        return;
    shutdowndone_ = true;
    drawtimer_.stop();
    housekeepingtimer_.stop();
    // The channels are freed by the shutdown; the panels stop reading them first.
    for (TDisplay* panel : displaylist_)
        panel->chn = nullptr;
    // The scheduler window goes before the scheduler it presents.
    delete schedulerform_;
    schedulerform_ = nullptr;
    if (TScheduler* scheduler = system_.scheduler())
        scheduler->fonevent = nullptr;
    try {
        system_.shutdown();
    } catch (const std::exception& e) {
        usernotifier().error("VELK", e.what());
    }
    syncloglist();
    if (queuenotifier_)
        queuenotifier_->setEnabled(false);
    system_.onchannelstate = nullptr;
    Q_EMIT shutdowncomplete();
}

void TMainForm::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized() && !intray_ &&
        QSystemTrayIcon::isSystemTrayAvailable())
        QTimer::singleShot(0, this, [this] { minimisetotray(); });
}

void TMainForm::minimisetotray()
{
    intray_ = true;
    hide();
    tray_->show();
}

void TMainForm::restorefromtray()
{
    tray_->hide();
    intray_ = false;
    showNormal();
    raise();
    activateWindow();
}

void TMainForm::AppException(const std::exception& error)
{
    addlog(std::string("Exception detected: ") + error.what());
    usernotifier().error("VELK", error.what());
}

void TMainForm::notavailable(const QString& what)
{
    usernotifier().information("VELK", (what + QStringLiteral(" is not available yet.")).toStdString());
}

}  // namespace velk
