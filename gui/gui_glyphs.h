#pragma once
// The pictures of the windows, drawn by the program itself: the toolbar and menu icons (painted
// at whatever size and pixel ratio they are asked for, so they stay sharp on high-DPI screens),
// the record button glyph and the meter picture the panel meters are made from.
//
// Threads: main thread (QIcon and QImage painting).

#include <QIcon>
#include <QImage>

namespace velk {

enum class Glyph {
    Browser,    // a list of recordings
    Logs,       // a page of text lines
    Settings,   // a slider panel
    Scheduler,  // a clock face
    AddChannel, // a plus on a channel strip
    StartAll,   // a red record dot
    StopAll,    // a dark square
    Help,       // a question mark
    Record,     // the panel's record button: a red dot, brighter when down
    Program,    // the program's icon (window and tray)
};

QIcon glyphicon(Glyph glyph);

// The meter picture: 130 x 32, 24-bit, unlit meter in rows 0..15, lit meter in rows 16..31. Its
// left and right five columns are the meter's ends; column 5 is what a wider meter repeats.
QImage meterpicture();

// The meter bitmap `width` columns wide stretched from the picture (ends kept, column 5 repeated).
QImage meterbitmap(const QImage& picture, int width);

}  // namespace velk
