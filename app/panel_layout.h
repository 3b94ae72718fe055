#pragma once
// The arithmetic of the main window's channel-panel grid and of the panel meters, kept apart from
// the widgets so that it can be checked without a display. All figures are pixels of the main
// window's client area (the menu and tool bar included).
//
// Threads: any (pure functions).

#include <vector>

#include "config/config.h"  // defaultpanelwidth, the stored setting's default

namespace velk {

// The fixed height of a channel panel (its default width is the display setting's).
constexpr int panelheight = 58;
// The status-log list's height when shown.
constexpr int loglistheight = 100;
// The meter picture the meter bitmap is stretched from: unlit rows 0..15 above lit rows 16..31.
constexpr int meterpicturewidth = 130;
constexpr int meterpictureheight = 32;
constexpr int meterheight = 16;

// The widest panel the window lays out: no screen shows more.
constexpr int maxpanelwidth = 16384;
constexpr int minpanelwidth = 101;
// Every panel figure stays within these, so the layout arithmetic cannot overflow.
constexpr int maxpanels = 256;
constexpr int maxcolumns = 256;

// The stored panel width brought within what the screens can show: at least minpanelwidth, at
// most the desktop's width (`screenwidth`, all screens together; 0 when unknown) and
// maxpanelwidth, and never below the default width for a small screen.
int clamppanelwidth(int width, int screenwidth);

// Rounds to the nearest integer, halves to the even neighbour (64.5 -> 64, 65.5 -> 66).
int roundhalfeven(double value);

struct PanelPlace {
    int left = 0;
    int top = 0;
    int width = 0;
    bool operator==(const PanelPlace&) const = default;
};

struct PanelGrid {
    std::vector<PanelPlace> places;  // one per panel shown, in channel order
    int cols = 1;
    int rows = 0;
};

// Places `count` panels of width `width` in `columns` columns below a bar `barheight` high, and
// returns the grid size (cols is never below 1).
PanelGrid calcpositions(int count, int columns, int width, int barheight);

// What arranging the channels sets: the list's top (also the window's minimum client height),
// the client size and the minimum client width.
struct ArrangeFigures {
    PanelGrid grid;
    int listtop = 0;
    int clientheight = 0;
    int clientwidth = 0;
    int minclientwidth = 0;
};
ArrangeFigures arrangefigures(int count, int columns, int width, int barheight, bool statusshown,
                              int listheight = loglistheight);

// The window was resized to `clientwidth`: the stored column count is first lowered to the
// channel count (and raised to 1), then the cell width is the client width less the margins
// divided among the columns. `newwidth` is the new panel width, or 0 when the panels keep theirs
// (the cell did not change, or it would be too narrow).
struct ResizeFigures {
    int columns = 1;
    int cell = 0;
    int newwidth = 0;
    bool changed = false;  // the cell differs from width + 4 (the meters stop and restart)
};
ResizeFigures resizefigures(int clientwidth, int channels, int columns, int width);

// The meter column of a level or threshold on the 0..32768 scale for a meter `meterwidth` wide.
int meterposition(int value, int meterwidth);

// Which columns of the stretched meter bitmap come from which column of the meter picture: the
// left five and right five keep theirs, the sixth is stretched over the middle.
int meterpicturecolumn(int column, int bitmapwidth);

}  // namespace velk
