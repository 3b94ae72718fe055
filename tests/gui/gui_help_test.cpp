// Help > Contents and F1 open the local manual beside the executable in the default browser; a
// missing manual says where it was looked for. Visit Home Page opens the maker's site.
#include <QFile>
#include <QUrl>
#include <QDesktopServices>
#include <filesystem>
#include <fstream>

#include "gui/help_viewer.h"
#include "tests/gui/gui_fixture.h"

namespace velk {
namespace {

class Help : public test::GuiFixture {
protected:
    Help()
    {
        helpopener() = [this](const QUrl& url) {
            opened.push_back(url);
            return true;
        };
    }
    ~Help() override { helpopener() = [](const QUrl& url) { return QDesktopServices::openUrl(url); }; }

    std::vector<QUrl> opened;
};

TEST_F(Help, ContentsOpensTheManualBesideTheProgramAsAFileUrl)
{
    start(1);
    const std::string folder = root.root() + "/bin";
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/velk.html") << "<html></html>";
    form->helpfolder = QString::fromStdString(folder);
    form->command("Contents")->trigger();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], QUrl::fromLocalFile(QString::fromStdString(folder + "/velk.html")));
    EXPECT_EQ(form->command("Contents")->shortcut(), QKeySequence(Qt::Key_F1));
    EXPECT_TRUE(notifier.errors.empty());

    // A topic is an anchor of the manual.
    ASSERT_TRUE(openhelp("velk.html", "mp3options", QString::fromStdString(folder)));
    EXPECT_EQ(opened.back().fragment(), "mp3options");
}

TEST_F(Help, VisitHomePageOpensTheMakersSiteAndSaysWhenNoBrowserTakesIt)
{
    start(1);
    form->command("Visit Home Page")->trigger();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], QUrl("https://www.quorlith.com/velk/"));
    helpopener() = [](const QUrl&) { return false; };
    form->command("Visit Home Page")->trigger();
    ASSERT_EQ(notifier.errors.size(), 1u);
    EXPECT_EQ(notifier.errors[0], "VELK|Unable to open the home page: https://www.quorlith.com/velk/");
}

TEST_F(Help, AMissingManualSaysWhereItWasLookedFor)
{
    start(1);
    form->helpfolder = QString::fromStdString(root.root() + "/nowhere");
    form->command("Contents")->trigger();
    EXPECT_TRUE(opened.empty());
    ASSERT_EQ(notifier.errors.size(), 1u);
    EXPECT_NE(notifier.errors[0].find("Unable to open help file :" + root.root() + "/nowhere/velk.html"),
              std::string::npos)
        << notifier.errors[0];
}

TEST(HelpManual, TheManualBesideTheProgramHasTheTopicsTheDialogsOpen)
{
    const std::string path = std::filesystem::path(VELKASIO_PATH).parent_path().string() + "/velk.html";
    QFile manual(QString::fromStdString(path));
    ASSERT_TRUE(manual.open(QIODevice::ReadOnly)) << path;
    const QByteArray text = manual.readAll();
    for (const char* topic : {"defaults", "mp3options", "settings", "scheduler"})
        EXPECT_TRUE(text.contains(QByteArray("id=\"") + topic + "\"")) << topic;
}

}  // namespace
}  // namespace velk
