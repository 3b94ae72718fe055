// The meter pictures, and the channel-panel grid, the window size around it and the log list shown
// and hidden in a real window (the figures alone are tested with the Qt-free layout).
#include <QListWidget>
#include <QMenuBar>
#include <QToolBar>

#include "gui/gui_glyphs.h"
#include "app/panel_layout.h"
#include "engine/card_set.h"
#include "engine/channel.h"
#include "tests/gui/gui_fixture.h"

namespace velk {
namespace {

TEST(MeterPicture, StretchedBitmapKeepsTheEndsAndRepeatsColumnFive)
{
    const QImage picture = meterpicture();
    ASSERT_EQ(picture.size(), QSize(130, 32));
    EXPECT_EQ(picture.format(), QImage::Format_RGB888);
    // Unlit above lit.
    EXPECT_LT(qGreen(picture.pixel(60, 8)), qGreen(picture.pixel(60, 24)));
    const QImage wide = meterbitmap(picture, 190);
    ASSERT_EQ(wide.size(), QSize(190, 32));
    for (int y : {0, 7, 16, 24, 31}) {
        for (int x = 0; x < 5; ++x) {
            EXPECT_EQ(wide.pixel(x, y), picture.pixel(x, y));
            EXPECT_EQ(wide.pixel(185 + x, y), picture.pixel(125 + x, y));
        }
        for (int x : {5, 60, 184})
            EXPECT_EQ(wide.pixel(x, y), picture.pixel(5, y));
    }
}

TEST(MeterPicture, LitColumnsAndTheThresholdMark)
{
    const QImage meter = meterbitmap(meterpicture(), 130);
    QImage buffer(130, 16, QImage::Format_RGB888);
    drawmeter(buffer, meter, 129, -1);
    EXPECT_EQ(buffer.pixel(128, 8), meter.pixel(128, 24));  // lit
    EXPECT_EQ(buffer.pixel(129, 8), meter.pixel(129, 8));   // the last column stays unlit
    drawmeter(buffer, meter, 0, meterposition(voxthreshold(50), 130));
    const QRgb red = qRgb(255, 0, 0);
    for (int y = 3; y <= 12; ++y)
        EXPECT_EQ(buffer.pixel(64, y), red) << y;
    EXPECT_NE(buffer.pixel(64, 2), red);
    EXPECT_NE(buffer.pixel(66, 7), red);
    EXPECT_EQ(buffer.pixel(0, 8), meter.pixel(0, 8));  // nothing lit at level 0
}

using MainWindowLayout = test::GuiFixture;

TEST_F(MainWindowLayout, FiveChannelsInTwoColumns)
{
    start(5, [](TConfig& c) { c.columns = 2; });
    ASSERT_EQ(form->displaylist().size(), 5u);
    const int bar = form->barheight();
    ASSERT_TRUE(test::pumpuntil([&] { return form->width() == 480; })) << form->width();
    EXPECT_EQ(form->height(), bar + 3 * 59 + 28 + 100);
    EXPECT_EQ(panel(4).geometry(), QRect(8, bar + 2 * 59 + 1, 230, 58));
    EXPECT_EQ(panel(3).geometry(), QRect(242, bar + 59 + 1, 230, 58));
    for (TDisplay* p : form->displaylist())
        EXPECT_TRUE(p->isVisible());
    EXPECT_EQ(form->loglist()->geometry(), QRect(0, bar + 3 * 59 + 28, 480, 100));
    EXPECT_EQ(form->minimumWidth(), 480);
    EXPECT_EQ(form->minimumHeight(), bar + 3 * 59 + 28);
}

TEST_F(MainWindowLayout, WideningToClientWidth600MakesPanels290AndMeters190)
{
    start(2, [](TConfig& c) { c.columns = 2; });
    ASSERT_TRUE(test::pumpuntil([&] { return form->width() == 480; }));
    form->resize(600, form->height());
    ASSERT_TRUE(test::pumpuntil([&] { return panel(1).width() == 290; })) << panel(1).width();
    EXPECT_EQ(displaysettings().panelwidth, 290);
    EXPECT_EQ(form->meter().width(), 190);
    EXPECT_EQ(panel(1).geometry(), QRect(302, form->barheight() + 1, 290, 58));
    EXPECT_EQ(panel(0).dispWidth, 190);
    EXPECT_EQ(panel(0).backbuffer.width(), 190);
    EXPECT_TRUE(form->drawtimer().isActive());
    EXPECT_EQ(form->loglist()->width(), 600);  // the list follows the window's edges
}

TEST_F(MainWindowLayout, FourColumnsWithTwoChannelsShowOneRowOfTwo)
{
    start(2, [](TConfig& c) { c.columns = 4; });
    ASSERT_TRUE(test::pumpuntil([&] { return form->width() == 480; })) << form->width();
    EXPECT_EQ(system->config().columns, 2);
    EXPECT_EQ(panel(0).y(), panel(1).y());
    EXPECT_EQ(panel(1).x(), 242);
    EXPECT_EQ(panel(0).width(), 230);
}

TEST_F(MainWindowLayout, HidingAndShowingTheLogList)
{
    start(1);
    QListWidget* list = form->loglist();
    ASSERT_TRUE(test::pumpuntil([&] { return list->height() == 100; }));
    const int full = form->height();
    form->command("Status Log Window")->trigger();
    ASSERT_TRUE(test::pumpuntil([&] { return form->height() == full - 100; })) << form->height();
    EXPECT_FALSE(list->isVisible());
    EXPECT_FALSE(system->config().status);
    EXPECT_EQ(list->height(), 0);  // the list kept its distance to the bottom edge
    form->command("Status Log Window")->trigger();
    ASSERT_TRUE(test::pumpuntil([&] { return form->height() == full; })) << form->height();
    EXPECT_TRUE(list->isVisible());
    EXPECT_EQ(list->height(), 100);
    EXPECT_TRUE(system->config().status);
}

TEST_F(MainWindowLayout, TheSettingsFileStoresTheLogListsHeight)
{
    start(1);
    QListWidget* list = form->loglist();
    ASSERT_TRUE(test::pumpuntil([&] { return list->height() == 100; }));
    form->resize(form->width(), form->height() + 57);
    ASSERT_TRUE(test::pumpuntil([&] { return list->height() == 157; })) << list->height();
    // Hidden, the list keeps the height it was shown with.
    form->command("Status Log Window")->trigger();
    ASSERT_TRUE(test::pumpuntil([&] { return !list->isVisible(); }));
    const std::string xml = root.common() + "config.xml";
    EXPECT_TRUE(form->close());
    const std::string text = test::readtextfile(xml);
    EXPECT_NE(text.find("<Display Width=\"230\" Height=\"157\" />"), std::string::npos) << text.substr(0, 1200);
}

TEST_F(MainWindowLayout, ToolbarHiddenMovesThePanelsUp)
{
    start(1);
    const int withbar = panel(0).y();
    form->command("Toolbar")->trigger();
    test::pump();
    EXPECT_FALSE(system->config().toolbar);
    EXPECT_FALSE(form->toolbar()->isVisible());
    EXPECT_LT(panel(0).y(), withbar);
    EXPECT_EQ(panel(0).y(), form->menubar()->sizeHint().height() + 1);
}

TEST_F(MainWindowLayout, VoiceActivatedPanelMarksItsThresholdAndAManualOneDoesNot)
{
    start(2, [](TConfig& c) {
        c.channels[0].mode = 0;
        c.channels[0].voxlevel = 50;
    });
    const QRgb red = qRgb(255, 0, 0);
    TChannel& vox = system->channels().at(0);
    EXPECT_EQ(vox.threshold(), 16384);
    panel(0).viz();
    EXPECT_EQ(panel(0).backbuffer.pixel(64, 7), red);
    EXPECT_EQ(panel(0).oldvox, 16384);
    panel(1).viz();
    for (int x = 0; x < panel(1).dispWidth; ++x)
        ASSERT_NE(panel(1).backbuffer.pixel(x, 7), red) << x;
}

TEST_F(MainWindowLayout, AMeterIsRedrawnOnlyWhenSomethingMovedOrItWasRebuilt)
{
    start(1);
    // A channel on the card that receives no blocks: its level stays where the test puts it.
    TChannel still("Still", system->cards().at(0), 7, false);
    QImage meter = meterbitmap(meterpicture(), 130);
    TDisplay display(nullptr, "Still", &still, &meter, 230);
    display.viz();
    EXPECT_EQ(display.drawings(), 1);
    display.viz();
    EXPECT_EQ(display.drawings(), 1);
    still.setdrawlevel(32767);
    display.viz();
    EXPECT_EQ(display.drawings(), 2);
    EXPECT_EQ(display.oldlevel, 129);
    // Widened: the meter is drawn again at its new width although nothing moved.
    meter = meterbitmap(meterpicture(), 190);
    display.setGeometry(0, 0, 290, 58);
    display.viz();
    EXPECT_EQ(display.drawings(), 3);
    EXPECT_EQ(display.dispWidth, 190);
    EXPECT_EQ(display.oldlevel, 189);
    EXPECT_EQ(display.backbuffer.pixel(188, 8), meter.pixel(188, 24));
}

}  // namespace
}  // namespace velk
