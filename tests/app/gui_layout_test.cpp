// The channel-panel grid, the window size around it, the log list shown and hidden, and the meter
// pictures: first the figures alone, then the same cases in a real window.
#include <QListWidget>
#include <QMenuBar>
#include <QToolBar>

#include "app/gui_glyphs.h"
#include "app/panel_layout.h"
#include "engine/card_table.h"
#include "engine/channel.h"
#include "tests/app/gui_fixture.h"

namespace velk {
namespace {

TEST(PanelLayout, FiveChannelsInTwoColumnsLeaveTheFifthAloneAtTheLeftOfTheThirdRow)
{
    const PanelGrid g = calcpositions(5, 2, 230, 50);
    EXPECT_EQ(g.cols, 2);
    EXPECT_EQ(g.rows, 3);
    ASSERT_EQ(g.places.size(), 5u);
    EXPECT_EQ(g.places[0], (PanelPlace{8, 51, 230}));
    EXPECT_EQ(g.places[1], (PanelPlace{242, 51, 230}));
    EXPECT_EQ(g.places[3], (PanelPlace{242, 110, 230}));
    EXPECT_EQ(g.places[4], (PanelPlace{8, 169, 230}));

    const ArrangeFigures f = arrangefigures(5, 2, 230, 50, true);
    EXPECT_EQ(f.listtop, 50 + 59 * 3 + 28);
    EXPECT_EQ(f.clientheight, f.listtop + 100);
    EXPECT_EQ(f.clientwidth, 480);
    EXPECT_EQ(f.minclientwidth, 480);
    EXPECT_EQ(arrangefigures(5, 2, 230, 50, false).clientheight, f.listtop);
}

TEST(PanelLayout, GridSizeAtTheEdges)
{
    struct Case {
        int count, columns, cols, rows;
    };
    for (const Case c : {Case{0, 1, 1, 0}, Case{0, 3, 1, 0}, Case{1, 4, 1, 1}, Case{2, 4, 2, 1}, Case{4, 2, 2, 2},
                         Case{7, 3, 3, 3}}) {
        const PanelGrid g = calcpositions(c.count, c.columns, 230, 0);
        EXPECT_EQ(g.cols, c.cols) << c.count << " in " << c.columns;
        EXPECT_EQ(g.rows, c.rows) << c.count << " in " << c.columns;
    }
}

TEST(PanelLayout, ResizeFigures)
{
    // Widening two 230-pixel columns to client width 600: cells of 294, panels 290 wide.
    ResizeFigures f = resizefigures(600, 2, 2, 230);
    EXPECT_TRUE(f.changed);
    EXPECT_EQ(f.cell, 294);
    EXPECT_EQ(f.newwidth, 290);
    // Nothing changes when the cell is the panel's.
    EXPECT_FALSE(resizefigures(480, 2, 2, 230).changed);
    // `columns` 4 with 2 channels: the columns come down to 2 and the 480-pixel window fits.
    f = resizefigures(480, 2, 4, 230);
    EXPECT_EQ(f.columns, 2);
    EXPECT_FALSE(f.changed);
    // No channels: one column.
    EXPECT_EQ(resizefigures(246, 0, 3, 230).columns, 1);
    // Too narrow a cell keeps the width (c - 4 must exceed 112).
    f = resizefigures(12 + 116, 1, 1, 230);
    EXPECT_TRUE(f.changed);
    EXPECT_EQ(f.newwidth, 0);
    EXPECT_EQ(resizefigures(12 + 117, 1, 1, 230).newwidth, 113);
    // Halves go to the even neighbour: (501 - 12) / 2 = 244.5 -> 244.
    EXPECT_EQ(resizefigures(501, 2, 2, 230).cell, 244);
    EXPECT_EQ(resizefigures(503, 2, 2, 230).cell, 246);  // 245.5 -> 246
}

// Figures far outside anything a screen shows come out bounded, without overflow.
TEST(PanelLayout, FiguresStayBoundedForAbsurdInput)
{
    const ArrangeFigures f = arrangefigures(100000, 100000, 2'000'000'000, 2'000'000'000, true, 2'000'000'000);
    EXPECT_GT(f.clientwidth, 0);
    EXPECT_GT(f.clientheight, 0);
    ASSERT_EQ(f.grid.places.size(), static_cast<std::size_t>(maxpanels));
    EXPECT_GT(f.grid.places.back().left, 0);
    const ResizeFigures r = resizefigures(2'000'000'000, 4, 4, 2'000'000'000);
    EXPECT_GE(r.cell, 0);
    EXPECT_LE(r.newwidth, maxpanelwidth * maxcolumns);
    EXPECT_EQ(clamppanelwidth(2'000'000'000, 1920), 1920);
    EXPECT_EQ(clamppanelwidth(2'000'000'000, 0), maxpanelwidth);
    EXPECT_EQ(clamppanelwidth(500, 200), defaultpanelwidth);
    EXPECT_EQ(clamppanelwidth(-5, 1920), minpanelwidth);
    EXPECT_EQ(clamppanelwidth(290, 1920), 290);
}

TEST(PanelLayout, MeterPositionsRoundHalvesToEven)
{
    EXPECT_EQ(meterposition(0, 130), 0);
    EXPECT_EQ(meterposition(32767, 130), 129);
    EXPECT_EQ(meterposition(voxthreshold(50), 130), 64);  // 16384 * 129 / 32768 = 64.5
    EXPECT_EQ(meterposition(voxthreshold(50), 190), 94);  // 94.5
    EXPECT_EQ(roundhalfeven(2.5), 2);
    EXPECT_EQ(roundhalfeven(3.5), 4);
    EXPECT_EQ(roundhalfeven(-0.5), 0);
}

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
    EXPECT_EQ(config().columns, 2);
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
    EXPECT_FALSE(config().status);
    EXPECT_EQ(list->height(), 0);  // the list kept its distance to the bottom edge
    form->command("Status Log Window")->trigger();
    ASSERT_TRUE(test::pumpuntil([&] { return form->height() == full; })) << form->height();
    EXPECT_TRUE(list->isVisible());
    EXPECT_EQ(list->height(), 100);
    EXPECT_TRUE(config().status);
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
    EXPECT_FALSE(config().toolbar);
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
    EXPECT_EQ(vox.threshold.load(), 16384);
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
    TChannel still("Still", captures()[0].get(), 7, false);
    QImage meter = meterbitmap(meterpicture(), 130);
    TDisplay display(nullptr, "Still", &still, &meter, 230);
    display.viz();
    EXPECT_EQ(display.drawings(), 1);
    display.viz();
    EXPECT_EQ(display.drawings(), 1);
    still.drawlevel.store(32767);
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
