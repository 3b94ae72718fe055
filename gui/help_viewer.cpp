#include "gui/help_viewer.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>

#include "core/user_notifier.h"

namespace velk {

HelpOpener& helpopener()
{
    static HelpOpener opener = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
    return opener;
}

bool openhelp(const QString& file, const QString& topic, const QString& folder)
{
    const QString base = folder.isEmpty() ? QCoreApplication::applicationDirPath() : folder;
    const QString path = base + QLatin1Char('/') + file;
    if (QFileInfo(path).isFile()) {
        QUrl url = QUrl::fromLocalFile(path);
        if (!topic.isEmpty())
            url.setFragment(topic);
        if (helpopener() && helpopener()(url))
            return true;
    }
    usernotifier().error("VELK", ("Unable to open help file :" + path).toStdString());
    return false;
}

bool openhomepage()
{
    const QUrl url(QString::fromLatin1(homepageurl));
    if (helpopener() && helpopener()(url))
        return true;
    usernotifier().error("VELK", std::string("Unable to open the home page: ") + homepageurl);
    return false;
}

}  // namespace velk
