#include "app/qt_notifier.h"

#include <QApplication>
#include <QMessageBox>

namespace velk {

void QtNotifier::error(const std::string& title, const std::string& text)
{
    QMessageBox::critical(QApplication::activeWindow(), QString::fromStdString(title), QString::fromStdString(text));
}

void QtNotifier::information(const std::string& title, const std::string& text)
{
    QMessageBox::information(QApplication::activeWindow(), QString::fromStdString(title),
                             QString::fromStdString(text));
}

}  // namespace velk
