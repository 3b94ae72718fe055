#include "gui/instance_server.h"

#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>

#include "platform/data_folders.h"

namespace velk {

namespace {
const QByteArray request = "show\n";
const QByteArray reply = "shown\n";
}  // namespace

QString instancename()
{
    const QByteArray folder = QByteArray::fromStdString(velkcommonfolder());
    const QByteArray hash = QCryptographicHash::hash(folder, QCryptographicHash::Sha1).toHex().left(16);
    return QStringLiteral("velk-") + QString::fromLatin1(hash);
}

TInstanceServer::TInstanceServer(std::function<void()> onactivate, QObject* parent)
    : QObject(parent), server_(new QLocalServer(this)), onactivate_(std::move(onactivate))
{
    const QString name = instancename();
    QLocalServer::removeServer(name);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    server_->listen(name);
    connect(server_, &QLocalServer::newConnection, this, [this] { accept(); });
}

bool TInstanceServer::listening() const
{
    return server_->isListening();
}

void TInstanceServer::accept()
{
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine())
                return;
            if (socket->readLine() == request) {
                if (onactivate_)
                    onactivate_();
                socket->write(reply);
                socket->flush();
            }
            socket->disconnectFromServer();
        });
    }
}

bool activaterunning(int timeoutms)
{
    QLocalSocket socket;
    socket.connectToServer(instancename());
    if (!socket.waitForConnected(timeoutms))
        return false;
    socket.write(request);
    if (!socket.waitForBytesWritten(timeoutms))
        return false;
    while (!socket.canReadLine())
        if (!socket.waitForReadyRead(timeoutms))
            return false;
    return socket.readLine() == reply;
}

}  // namespace velk
