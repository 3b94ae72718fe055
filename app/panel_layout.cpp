#include "app/panel_layout.h"

#include <algorithm>
#include <cmath>

namespace velk {

int roundhalfeven(double value)
{
    return static_cast<int>(std::nearbyint(value));  // the default rounding mode is to even
}

int clamppanelwidth(int width, int screenwidth)
{
    const int screen = screenwidth > 0 ? std::min(screenwidth, maxpanelwidth) : maxpanelwidth;
    return std::clamp(width, minpanelwidth, std::max(screen, defaultpanelwidth));
}

namespace {
// The figures the arithmetic below takes, within their bounds.
int boundedwidth(int width)
{
    return std::clamp(width, 1, maxpanelwidth);
}
}  // namespace

PanelGrid calcpositions(int count, int columns, int width, int barheight)
{
    PanelGrid grid;
    const int c = std::clamp(columns, 1, maxcolumns);
    const int n = std::clamp(count, 0, maxpanels);
    width = boundedwidth(width);
    barheight = std::clamp(barheight, 0, 1 << 16);
    int col = 0;
    int row = 0;
    for (int i = 0; i < n; ++i) {
        grid.places.push_back({(width + 4) * col + 8, (panelheight + 1) * row + barheight + 1, width});
        if (col < c - 1) {
            ++col;
        } else {
            col = 0;
            ++row;
        }
    }
    grid.cols = std::min(n, c);
    if (grid.cols == 0)
        grid.cols = 1;
    grid.rows = n / c + (n % c > 0 ? 1 : 0);
    return grid;
}

ArrangeFigures arrangefigures(int count, int columns, int width, int barheight, bool statusshown, int listheight)
{
    ArrangeFigures f;
    width = boundedwidth(width);
    barheight = std::clamp(barheight, 0, 1 << 16);
    listheight = std::clamp(listheight, 0, 1 << 16);
    f.grid = calcpositions(count, columns, width, barheight);
    f.listtop = barheight + (panelheight + 1) * f.grid.rows + 28;
    f.clientheight = f.listtop + (statusshown ? listheight : 0);
    f.clientwidth = (width + 4) * f.grid.cols + 12;
    f.minclientwidth = f.grid.cols * (defaultpanelwidth + 4) + 12;
    return f;
}

ResizeFigures resizefigures(int clientwidth, int channels, int columns, int width)
{
    ResizeFigures f;
    width = boundedwidth(width);
    clientwidth = std::clamp(clientwidth, 0, maxpanelwidth * maxcolumns);
    f.columns = std::min(columns, maxcolumns);
    if (channels < f.columns)
        f.columns = channels;
    if (f.columns < 1)
        f.columns = 1;
    f.cell = roundhalfeven(static_cast<double>(clientwidth - 12) / f.columns);
    f.changed = f.cell != width + 4;
    if (f.changed && f.cell - 4 > 112)
        f.newwidth = f.cell - 4;
    return f;
}

int meterposition(int value, int meterwidth)
{
    const double scale = static_cast<double>(meterwidth - 1) / 32768.0;
    return roundhalfeven(value * scale);
}

int meterpicturecolumn(int column, int bitmapwidth)
{
    if (column < 5)
        return column;
    if (column >= bitmapwidth - 5)
        return meterpicturewidth - (bitmapwidth - column);
    return 5;
}

}  // namespace velk
