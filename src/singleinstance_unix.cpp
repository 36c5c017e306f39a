#include "singleinstance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>

#include <unistd.h>

QString SingleInstance::serverName()
{
    // Qt makes the runtime folder private to the user (mode 0700).
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        return QDir::tempPath() + QStringLiteral("/QuillaryServer-%1").arg(::getuid());
    return dir + QStringLiteral("/QuillaryServer");
}

bool SingleInstance::probe(QLocalSocket *socket, int timeoutMs)
{
    socket->connectToServer(serverName(), QIODevice::ReadWrite);
    return socket->waitForConnected(timeoutMs);
}

void SingleInstance::send(QLocalSocket *socket, const QByteArray &message)
{
    socket->write(message);
    socket->flush();
    while (socket->bytesToWrite() > 0 && socket->waitForBytesWritten(1000)) {
    }
    socket->disconnectFromServer();
    if (socket->state() != QLocalSocket::UnconnectedState)
        socket->waitForDisconnected(1000);
}

bool SingleInstance::listen(QLocalServer *server)
{
    server->setSocketOptions(QLocalServer::UserAccessOption);
    const QString name = serverName();
    if (server->listen(name))
        return true;
    if (server->serverError() != QAbstractSocket::AddressInUseError)
        return false;
    QLocalSocket other;
    if (probe(&other, 1000))
        return false;   // a live instance holds the name
    QLocalServer::removeServer(name);
    return server->listen(name);
}
