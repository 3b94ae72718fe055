#include "gui/modal_session.h"

#include <QDialog>
#include <QTimer>
#include <algorithm>
#include <utility>
#include <vector>

namespace velk {

namespace {

std::vector<ModalSession*>& opensessions()
{
    static std::vector<ModalSession*> sessions;
    return sessions;
}

struct IdleCall {
    QPointer<QObject> context;
    std::function<void()> then;
};

std::vector<IdleCall>& idlecalls()
{
    static std::vector<IdleCall> calls;
    return calls;
}

// Posted, not called: the code below the session that just ended is still on the stack. A
// session opened in between puts the call back in the list.
void postidlecall(IdleCall call)
{
    if (!call.context)
        return;
    QObject* context = call.context.data();
    QTimer::singleShot(0, context, [call = std::move(call)] {
        if (!call.context)
            return;
        if (!opensessions().empty())
            idlecalls().push_back(call);
        else
            call.then();
    });
}

}  // namespace

ModalSession::ModalSession(QDialog* dialog) : dialog_(dialog)
{
    opensessions().push_back(this);
}

ModalSession::~ModalSession()
{
    std::erase(opensessions(), this);
    if (opensessions().empty())
        for (IdleCall& call : std::exchange(idlecalls(), {}))
            postidlecall(std::move(call));
}

int ModalSession::depth()
{
    return static_cast<int>(opensessions().size());
}

void ModalSession::rejectall()
{
    for (ModalSession* session : std::vector<ModalSession*>(opensessions())) {
        session->closed_ = true;
        if (session->dialog_)
            session->dialog_->reject();
    }
}

void ModalSession::whenidle(QObject* context, std::function<void()> then)
{
    IdleCall call{QPointer<QObject>(context), std::move(then)};
    if (opensessions().empty())
        postidlecall(std::move(call));
    else
        idlecalls().push_back(std::move(call));
}

}  // namespace velk
