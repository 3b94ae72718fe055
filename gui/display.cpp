#include "gui/display.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QTimer>
#include <QToolButton>

#include "gui/gui_glyphs.h"
#include "app/panel_layout.h"
#include "services/status_log.h"
#include "engine/channel.h"

namespace velk {

namespace {
constexpr int meterleft = 82;
constexpr int metertop = 17;
}  // namespace

void drawmeter(QImage& backbuffer, const QImage& meter, int x, int markx)
{
    const int w = backbuffer.width();
    x = std::clamp(x, 0, w);
    QPainter p(&backbuffer);
    if (x < w)
        p.drawImage(QPoint(x, 0), meter, QRect(x, 0, w - x, meterheight));
    if (x > 0)
        p.drawImage(QPoint(0, 0), meter, QRect(0, meterheight, x, meterheight));
    if (markx >= 0) {
        // A 2-pixel pen on a pixel boundary covers the column left of the mark and the mark's own.
        p.setPen(QPen(QColor(255, 0, 0), 2, Qt::SolidLine, Qt::FlatCap));
        p.drawLine(QPointF(markx, 3), QPointF(markx, 12 + 1));
    }
}

TDisplay::TDisplay(QWidget* owner, const QString& cn, TChannel* chan, const QImage* meter, int width)
    : QGroupBox(cn, owner), chn(chan), meter_(meter)
{
    hide();
    // Arial 8 point, or a face of its width where Arial is missing, so "Status: Recording" ends
    // before the "Options" link.
    QFont panelfont;
    panelfont.setFamilies({QStringLiteral("Arial"), QStringLiteral("Liberation Sans"),
                           QStringLiteral("DejaVu Sans Condensed")});
    panelfont.setPointSize(8);
    setFont(panelfont);
    setFixedHeight(panelheight);
    setGeometry(0, 0, width, panelheight);

    btn = new QToolButton(this);
    btn->setGeometry(14, 17, 49, 33);
    btn->setCheckable(true);
    btn->setIcon(glyphicon(Glyph::Record));
    btn->setIconSize(QSize(24, 24));
    btn->setToolTip(QStringLiteral("Start/Stop Recording"));
    connect(btn, &QToolButton::clicked, this, [this] { clickbutton(); });

    setbtn = new QLabel(QStringLiteral("Options"), this);
    setbtn->move(175, 36);
    QFont linkfont = font();
    linkfont.setUnderline(true);
    setbtn->setFont(linkfont);
    setbtn->setStyleSheet(QStringLiteral("color: rgb(0, 128, 0);"));
    setbtn->setCursor(Qt::PointingHandCursor);
    setbtn->setToolTip(QStringLiteral("Channel Options"));
    setbtn->adjustSize();
    setbtn->installEventFilter(this);

    lbl = new QLabel(this);
    lbl->move(meterleft, 36);
    setstate(0);

    dispWidth = width - 100;
    created = true;
    rebuildbuffer();
}

void TDisplay::rebuildbuffer()
{
    dispWidth = std::max(width() - 100, 1);
    backbuffer = QImage(dispWidth, meterheight, QImage::Format_RGB888);
    if (meter_ && !meter_->isNull())
        drawmeter(backbuffer, *meter_, 0, -1);
    else
        backbuffer.fill(Qt::black);
    rebuilt_ = true;
    update();
}

void TDisplay::resizeEvent(QResizeEvent* event)
{
    QGroupBox::resizeEvent(event);
    if (created)
        rebuildbuffer();
}

void TDisplay::viz()
{
    if (!chn)
        return;
    if (width() - 100 != dispWidth)
        rebuildbuffer();
    const int x = meterposition(chn->drawlevel(), dispWidth);
    const int threshold = chn->threshold();
    if (threshold == oldvox && x == oldlevel && !rebuilt_)
        return;
    const int markx = chn->mode() == ChannelMode::voiceactivated ? meterposition(threshold, dispWidth) : -1;
    if (meter_ && meter_->width() >= dispWidth)
        drawmeter(backbuffer, *meter_, x, markx);
    oldvox = threshold;
    oldlevel = x;
    rebuilt_ = false;
    ++drawings_;
    update(QRect(meterleft, metertop, dispWidth, meterheight));
}

void TDisplay::paintEvent(QPaintEvent* event)
{
    QGroupBox::paintEvent(event);
    QPainter p(this);
    p.drawImage(QPoint(meterleft, metertop), backbuffer);
}

bool TDisplay::clickbutton()
{
    if (!chn)
        return true;
    if (btn->isChecked()) {
        chn->startrecording();
        // A start that failed (its error is in the status log) leaves the button up, so the next
        // start, by hand, Start All or the scheduler, tries again.
        if (!chn->recording())
            btn->setChecked(false);
        return true;
    }
    if (maystop) {
        // The prompt runs an event loop: the program may shut down (or this panel go) meanwhile.
        const QPointer<TDisplay> self(this);
        asking_ = true;
        const bool allowed = maystop();
        if (!self)
            return false;
        asking_ = false;
        if (!allowed || !chn) {
            // A wrong password: the button goes back down and the channel goes on recording.
            btn->setChecked(true);
            runwaiting();
            return false;
        }
    }
    chn->stoprecording();
    runwaiting();
    return true;
}

void TDisplay::press(bool down, bool scheduled)
{
    if (asking_) {
        waiting_.push_back(Press{down, scheduled});
        return;
    }
    if (btn->isChecked() == down)
        return;
    btn->setChecked(down);
    if (!clickbutton() && scheduled)
        addlog("Scheduled stop refused, the channel keeps recording: " + title().toStdString());
}

void TDisplay::runwaiting()
{
    if (waiting_.empty())
        return;
    // From the event loop: the prompt's caller is still on the stack. A press that asks again
    // leaves the rest waiting for its prompt.
    QTimer::singleShot(0, this, [this] {
        const QPointer<TDisplay> self(this);
        while (self && !waiting_.empty() && !asking_) {
            const Press next = waiting_.front();
            waiting_.pop_front();
            press(next.down, next.scheduled);
        }
    });
}

void TDisplay::setbutton()
{
    if (onoptions)
        onoptions(int_id);
}

void TDisplay::setstate(int state)
{
    // A channel that went idle by itself (a write error ended its recording) releases its button:
    // otherwise Start All and the scheduler's next start would take it for running.
    if (state == 0 && chn && !chn->recording())
        btn->setChecked(false);

    QString text = QStringLiteral("Status: Idle");
    QColor colour(0, 0, 0);
    if (state == 1) {
        text = QStringLiteral("Status: Recording");
        colour = QColor(255, 0, 0);
    } else if (state == 2) {
        text = QStringLiteral("Status: Listen...");
        colour = QColor(0, 128, 0);
    } else if (state == 3) {
        text = QStringLiteral("Status: No Input");  // switched on, its card is lost
        colour = QColor(255, 0, 0);
    }
    QPalette pal = lbl->palette();
    pal.setColor(QPalette::WindowText, colour);
    lbl->setPalette(pal);
    lbl->setText(text);
    lbl->adjustSize();
}

bool TDisplay::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == setbtn && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        setbutton();
        return true;
    }
    return QGroupBox::eventFilter(watched, event);
}

}  // namespace velk
