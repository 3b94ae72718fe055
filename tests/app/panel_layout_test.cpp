// The channel-panel grid and the window size around it, as figures (the same cases in a real
// window are among the window tests).
#include <gtest/gtest.h>

#include "app/panel_layout.h"
#include "engine/channel.h"

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

}  // namespace
}  // namespace velk
