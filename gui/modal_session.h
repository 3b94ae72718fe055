#pragma once
// ModalSession: one nested event loop the windows run for a modal dialog (the password prompt, a
// message box). While it is open, the code that opened it (a button action, a scheduled event,
// the scheduler's firing) is still on the stack below the loop, so nothing that code uses may be
// freed meanwhile. A close request that arrives during a session therefore closes every open
// session as refused and waits until the last one has ended before the recorder shuts down.
//
// Threads: main thread only.

#include <QPointer>
#include <functional>

class QDialog;
class QObject;

namespace velk {

class ModalSession {
public:
    // Registers `dialog` as open until the session object ends (construct it just before exec()).
    explicit ModalSession(QDialog* dialog);
    ~ModalSession();
    ModalSession(const ModalSession&) = delete;
    ModalSession& operator=(const ModalSession&) = delete;

    // True when rejectall() closed this session's dialog: whatever it shows counts as refused.
    bool closedbyrequest() const { return closed_; }

    // The number of sessions open now.
    static int depth();
    // Closes every open session's dialog as refused.
    static void rejectall();
    // Runs `then` from the event loop once no session is open (at once from the loop when none
    // is), unless `context` is gone by then.
    static void whenidle(QObject* context, std::function<void()> then);

private:
    QPointer<QDialog> dialog_;
    bool closed_ = false;
};

}  // namespace velk
