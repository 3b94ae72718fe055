#pragma once
// TSchedulerForm: the "Scheduler" window. It presents the scheduler's schedules through
// TScheduleList (one row per schedule: channel name, start, stop), with Add, Edit, Delete, Ok and
// the "Enable Scheduler" check box. Add and Edit open TAddSchedule without blocking this window.
// The scheduler itself belongs to the recorder (VelkSystem), which loads it at start-up and saves
// it at shutdown; this window only presents and commands it.
//
// Threads: main thread only.

#include <QDialog>
#include <memory>

#include "services/schedule_list.h"

class QCheckBox;
class QPushButton;
class QTreeWidget;

namespace velk {

class TAddSchedule;
class VelkSystem;

class TSchedulerForm : public QDialog {
    Q_OBJECT
public:
    // `scheduler` and `system` (the running recorder) are not owned and must outlive the window.
    // Ok saves the system's configuration as well.
    TSchedulerForm(TScheduler& scheduler, VelkSystem& system, QWidget* parent = nullptr);
    ~TSchedulerForm() override;

    // Refills the list from the scheduler and sets the check box from its state.
    void fill();
    // The selected row, or -1.
    int selectedrow() const;

    QTreeWidget* list() const { return list_; }
    QCheckBox* enablebox() const { return enable_; }
    QPushButton* button(const QString& caption) const;
    TAddSchedule* editor() const { return editor_; }
    TScheduleList& schedules() { return schedules_; }
    TScheduler& scheduler() { return scheduler_; }

    // Add (edit = false) or Edit the selected row (edit = true; nothing without a selection).
    void openeditor(bool edit);
    void deleteselected();
    // Channel `num` left the channel table: its schedules go, later channels move down; the list
    // and the check box follow.
    void delchannel(int num);
    // Ok: saves the configuration file, then closes.
    void accept() override;

private:
    void enableclicked(bool on);

    TScheduler& scheduler_;
    VelkSystem& system_;
    TScheduleList schedules_;
    QTreeWidget* list_ = nullptr;
    QCheckBox* enable_ = nullptr;
    QPushButton* add_ = nullptr;
    QPushButton* edit_ = nullptr;
    QPushButton* delete_ = nullptr;
    QPushButton* ok_ = nullptr;
    TAddSchedule* editor_ = nullptr;
};

}  // namespace velk
