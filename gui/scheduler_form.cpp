#include "gui/scheduler_form.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "gui/add_schedule.h"
#include "app/velk_system.h"
#include "core/user_notifier.h"

namespace velk {

TSchedulerForm::TSchedulerForm(TScheduler& scheduler, VelkSystem& system, QWidget* parent)
    : QDialog(parent), scheduler_(scheduler), system_(system), schedules_(scheduler, system.config())
{
    setWindowTitle(QStringLiteral("Scheduler"));
    setModal(false);
    list_ = new QTreeWidget(this);
    list_->setHeaderLabels({QStringLiteral("Channel"), QStringLiteral("Start"), QStringLiteral("Stop")});
    list_->setRootIsDecorated(false);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->header()->setStretchLastSection(true);
    list_->setColumnWidth(0, 160);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] { openeditor(true); });

    add_ = new QPushButton(QStringLiteral("Add"), this);
    edit_ = new QPushButton(QStringLiteral("Edit"), this);
    delete_ = new QPushButton(QStringLiteral("Delete"), this);
    ok_ = new QPushButton(QStringLiteral("Ok"), this);
    ok_->setDefault(true);
    enable_ = new QCheckBox(QStringLiteral("Enable Scheduler"), this);
    connect(add_, &QPushButton::clicked, this, [this] { openeditor(false); });
    connect(edit_, &QPushButton::clicked, this, [this] { openeditor(true); });
    connect(delete_, &QPushButton::clicked, this, [this] { deleteselected(); });
    connect(ok_, &QPushButton::clicked, this, &TSchedulerForm::accept);
    // clicked, not toggled: setting the box from the scheduler's state must not switch it.
    connect(enable_, &QCheckBox::clicked, this, [this](bool on) { enableclicked(on); });

    auto* buttons = new QVBoxLayout;
    for (QPushButton* b : {add_, edit_, delete_})
        buttons->addWidget(b);
    buttons->addStretch();
    buttons->addWidget(ok_);
    auto* top = new QHBoxLayout;
    top->addWidget(list_, 1);
    top->addLayout(buttons);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(enable_);
    resize(460, 300);

    editor_ = new TAddSchedule(*this);
    fill();
}

TSchedulerForm::~TSchedulerForm() = default;

QPushButton* TSchedulerForm::button(const QString& caption) const
{
    for (QPushButton* b : {add_, edit_, delete_, ok_})
        if (b->text() == caption)
            return b;
    return nullptr;
}

void TSchedulerForm::fill()
{
    const int selected = selectedrow();
    list_->clear();
    for (const TScheduleRow& row : schedules_.rows()) {
        auto* item = new QTreeWidgetItem(list_);
        item->setText(0, QString::fromStdString(row.channel));
        item->setText(1, QString::fromStdString(row.start));
        item->setText(2, QString::fromStdString(row.stop));
    }
    if (selected >= 0 && selected < list_->topLevelItemCount())
        list_->setCurrentItem(list_->topLevelItem(selected));
    enable_->setChecked(schedules_.enabled());
}

int TSchedulerForm::selectedrow() const
{
    const QList<QTreeWidgetItem*> items = list_->selectedItems();
    return items.isEmpty() ? -1 : list_->indexOfTopLevelItem(items.front());
}

void TSchedulerForm::openeditor(bool edit)
{
    if (!edit) {
        editor_->openadd();
        return;
    }
    const int row = selectedrow();
    if (row >= 0)
        editor_->openedit(row);
}

void TSchedulerForm::deleteselected()
{
    const int row = selectedrow();
    if (row < 0)
        return;
    if (editor_->isVisible() && editor_->editing())
        editor_->reject();
    const bool on = schedules_.remove(static_cast<std::size_t>(row));
    delete list_->takeTopLevelItem(row);
    enable_->setChecked(on);
}

void TSchedulerForm::delchannel(int num)
{
    if (editor_->isVisible())
        editor_->reject();  // its channel list is out of date
    scheduler_.delchannel(num);
    fill();
}

void TSchedulerForm::enableclicked(bool on)
{
    enable_->setChecked(schedules_.setenabled(on));
}

void TSchedulerForm::accept()
{
    try {
        system_.saveconfig();
    } catch (const std::exception& e) {
        usernotifier().error("Could not save settings", e.what());
    }
    QDialog::accept();
}

}  // namespace velk
