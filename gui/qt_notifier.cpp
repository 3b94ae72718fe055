#include "gui/qt_notifier.h"

#include <QApplication>
#include <QMessageBox>

#include "gui/modal_session.h"

namespace velk {

namespace {

void showbox(QMessageBox::Icon icon, const std::string& title, const std::string& text)
{
    QMessageBox box(icon, QString::fromStdString(title), QString::fromStdString(text), QMessageBox::Ok,
                    QApplication::activeWindow());
    ModalSession session(&box);
    box.exec();
}

}  // namespace

void QtNotifier::error(const std::string& title, const std::string& text)
{
    showbox(QMessageBox::Critical, title, text);
}

void QtNotifier::information(const std::string& title, const std::string& text)
{
    showbox(QMessageBox::Information, title, text);
}

}  // namespace velk
