#pragma once
// TAddSchedule: the "Add/Edit Schedule" dialog of the scheduler window. A channel drop-down (the
// configured channels' names) and the start and stop time pickers. In add mode Ok adds a
// schedule, in edit mode it replaces the row it was opened for; then the scheduler window's list
// is refilled and the dialog closes. Ok is disabled while no channel is chosen. A change of the
// rows under an open edit (a delete, a channel removed) closes the dialog, so Ok never replaces
// another schedule than the one it shows.
//
// Threads: main thread only.

#include <QDialog>
#include <QTime>

#include "core/date_time.h"

class QComboBox;
class QPushButton;
class QTimeEdit;

namespace velk {

class TSchedulerForm;

class TAddSchedule : public QDialog {
    Q_OBJECT
public:
    explicit TAddSchedule(TSchedulerForm& owner);

    // Fills the fields for adding (channel 0, start now, stop an hour later) or for editing
    // `row` (its channel and times), then shows the dialog without blocking.
    void openadd();
    void openedit(int row);

    QComboBox* channelbox() const { return channel_; }
    QTimeEdit* starttime() const { return start_; }
    QTimeEdit* stoptime() const { return stop_; }
    QPushButton* okbutton() const { return ok_; }
    bool editing() const { return row_ >= 0; }

    // Ok: adds or edits, refills the owner's list, closes.
    void accept() override;

private:
    void fillchannels();

    TSchedulerForm& owner_;
    QComboBox* channel_ = nullptr;
    QTimeEdit* start_ = nullptr;
    QTimeEdit* stop_ = nullptr;
    QPushButton* ok_ = nullptr;
    int row_ = -1;  // the row being edited, -1 when adding
};

// A time of day as a fraction of a day, and back (whole seconds).
TDateTime timeofday(const QTime& time);
QTime qtimeof(TDateTime value);

}  // namespace velk
