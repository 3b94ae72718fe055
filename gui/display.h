#pragma once
// TDisplay: the panel of one live channel in the main window's grid. A framed group whose caption
// is the channel name, with the record button, the level meter with the voice-activation
// threshold mark, the state label and the "Options" link. The main window's 100 ms draw timer
// calls viz(); the state label follows the channel's WM_CHANNELSTATE messages.
//
// Threads: main thread. The panel reads the channel's meter fields (atomics) without a lock.

#include <QGroupBox>
#include <QImage>
#include <functional>
#include <deque>

class QLabel;
class QToolButton;

namespace velk {

class TChannel;

// Draws one meter picture into `backbuffer` (meter width x 16): columns 0..x-1 from the lit rows
// of `meter`, the rest from its unlit rows, and the red threshold mark at column `markx` unless it
// is negative.
void drawmeter(QImage& backbuffer, const QImage& meter, int x, int markx);

class TDisplay : public QGroupBox {
    Q_OBJECT
public:
    // The panel of `chan` with caption `cn`, hidden until the main window arranges it. `meter` is
    // the main window's meter bitmap (not owned; rebuilt by the main window before it resizes
    // the panels).
    TDisplay(QWidget* owner, const QString& cn, TChannel* chan, const QImage* meter, int width);

    QToolButton* btn = nullptr;  // start/stop, a toggle
    QLabel* setbtn = nullptr;    // the "Options" link
    QLabel* lbl = nullptr;       // the state text
    int int_id = 0;
    TChannel* chn = nullptr;     // not owned; null once the channels are freed
    QImage backbuffer;
    bool created = false;
    int dispWidth = 0;
    int oldvox = -1;
    int oldlevel = -1;

    // Asked before the channel is stopped by releasing the button; false keeps it recording.
    std::function<bool()> maystop;
    // The "Options" action (the channel dialog).
    std::function<void(int)> onoptions;

    // Redraws the meter when the level or threshold moved or the back buffer was rebuilt.
    void viz();
    // The button action, after the button's position was set (by the user or by a command).
    // Returns false when a release was refused (the button went back down).
    bool clickbutton();
    // Sets the button to `down` and runs the button action, as Start All, Stop All and the
    // scheduler do; nothing when the button is already there. While this panel's password prompt
    // is open, presses wait and run in their order once it has closed. A refused scheduled stop
    // is logged.
    void press(bool down, bool scheduled);
    // This panel's password prompt is open.
    bool asking() const { return asking_; }
    // The "Options" action.
    void setbutton();
    // The state label for WM_CHANNELSTATE: 0 idle, 1 recording, 2 listening.
    void setstate(int state);
    // Number of meter drawings done (tests see the skipping rule).
    int drawings() const { return drawings_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void rebuildbuffer();
    void runwaiting();
    const QImage* meter_;
    bool asking_ = false;
    struct Press {
        bool down;
        bool scheduled;
    };
    std::deque<Press> waiting_;  // presses that arrived while the prompt was open
    bool rebuilt_ = true;
    int drawings_ = 0;
};

}  // namespace velk
