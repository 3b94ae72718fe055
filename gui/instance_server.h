#pragma once
// One windowed instance across both editions. The named lock "VELK" decides which process runs;
// the running one also listens on a local socket named from the common data folder (the folder
// that scopes the lock), and a second start that the lock refuses connects to it and asks it to
// bring its main window to the front.
//
// Threads: TInstanceServer lives on the main thread. activaterunning() blocks its caller (up to
// its time-out) and needs no event loop, so the refused process can call it before exiting.

#include <QObject>
#include <QString>
#include <functional>

class QLocalServer;

namespace velk {

// The socket name for the current common data folder.
QString instancename();

class TInstanceServer : public QObject {
    Q_OBJECT
public:
    // Listens under instancename(), replacing a socket a crashed instance left behind (the
    // caller holds the lock, so no other instance owns it). `onactivate` runs on the main thread
    // for each request.
    explicit TInstanceServer(std::function<void()> onactivate, QObject* parent = nullptr);
    bool listening() const;

private:
    void accept();

    QLocalServer* server_ = nullptr;
    std::function<void()> onactivate_;
};

// Asks the running instance to show its window; true when it confirmed.
bool activaterunning(int timeoutms = 3000);

}  // namespace velk
