#include "gui/add_schedule.h"

#include <QComboBox>
#include <QPushButton>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLocale>
#include <QRegularExpression>
#include <QTimeEdit>
#include <QVBoxLayout>
#include <cmath>

#include "gui/scheduler_form.h"
#include "services/schedule_list.h"
#include "core/clock.h"

namespace velk {

namespace {
constexpr int secondsperday = 24 * 60 * 60;

// The locale's long time format without the time zone (the pickers hold a time of day).
QString pickerformat()
{
    QString f = QLocale().timeFormat(QLocale::LongFormat);
    f.remove(QRegularExpression(QStringLiteral("\\s*t+")));
    return f.trimmed().isEmpty() ? QStringLiteral("HH:mm:ss") : f.trimmed();
}
}  // namespace

TDateTime timeofday(const QTime& time)
{
    return static_cast<TDateTime>(time.msecsSinceStartOfDay() / 1000) / secondsperday;
}

QTime qtimeof(TDateTime value)
{
    const double fraction = value - std::floor(value);
    const int seconds = static_cast<int>(std::lround(fraction * secondsperday)) % secondsperday;
    return QTime::fromMSecsSinceStartOfDay(seconds * 1000);
}

TAddSchedule::TAddSchedule(TSchedulerForm& owner) : QDialog(&owner), owner_(owner)
{
    setWindowTitle(QStringLiteral("Add/Edit Schedule"));
    setModal(false);
    channel_ = new QComboBox(this);
    start_ = new QTimeEdit(this);
    stop_ = new QTimeEdit(this);
    start_->setDisplayFormat(pickerformat());
    stop_->setDisplayFormat(pickerformat());
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Channel:"), channel_);
    form->addRow(QStringLiteral("Start time:"), start_);
    form->addRow(QStringLiteral("Stop time:"), stop_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    ok_ = buttons->button(QDialogButtonBox::Ok);
    ok_->setText(QStringLiteral("Ok"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("Cancel"));
    // Without a channel to choose (none configured) there is nothing to schedule.
    connect(channel_, &QComboBox::currentIndexChanged, this, [this](int index) { ok_->setEnabled(index >= 0); });
    connect(buttons, &QDialogButtonBox::accepted, this, &TAddSchedule::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &TAddSchedule::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
}

void TAddSchedule::fillchannels()
{
    channel_->clear();
    for (const std::string& name : owner_.schedules().channelnames())
        channel_->addItem(QString::fromStdString(name));
}

void TAddSchedule::openadd()
{
    row_ = -1;
    fillchannels();
    channel_->setCurrentIndex(channel_->count() > 0 ? 0 : -1);
    ok_->setEnabled(channel_->currentIndex() >= 0);
    const QTime now = qtimeof(appclock().nowlocal());
    start_->setTime(now);
    stop_->setTime(now.addSecs(60 * 60));
    show();
    raise();
}

void TAddSchedule::openedit(int row)
{
    if (row < 0 || static_cast<std::size_t>(row) >= owner_.schedules().count())
        return;
    row_ = row;
    fillchannels();
    const TSchedule sc = owner_.scheduler().getschedule(static_cast<std::size_t>(row));
    channel_->setCurrentIndex(sc.channel < channel_->count() ? sc.channel : -1);
    ok_->setEnabled(channel_->currentIndex() >= 0);
    start_->setTime(qtimeof(sc.start));
    stop_->setTime(qtimeof(sc.stop));
    show();
    raise();
}

void TAddSchedule::accept()
{
    const int channel = channel_->currentIndex();
    if (channel < 0)
        return;  // no channel configured: nothing to schedule
    const TDateTime start = timeofday(start_->time());
    const TDateTime stop = timeofday(stop_->time());
    if (row_ >= 0 && static_cast<std::size_t>(row_) < owner_.schedules().count())
        owner_.schedules().edit(static_cast<std::size_t>(row_), channel, start, stop);
    else
        owner_.schedules().add(channel, start, stop);
    owner_.fill();
    QDialog::accept();
}

}  // namespace velk
