#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>

// A port where something accepts and then never says a word, as a server
// that hangs does. Served by this thread's event loop, so it accepts while
// a call waits in its nested loop; it sees when the client closes.
class MuteServer : public QObject
{
public:
    MuteServer()
    {
        connect(&server, &QTcpServer::newConnection, this, [this]() {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                socket->setParent(this);
                ++accepted;
                connect(socket, &QTcpSocket::disconnected, this, [this]() { ++closed; });
                if (onAccepted)
                    onAccepted();
            }
        });
        server.listen(QHostAddress::LocalHost, 0);
    }
    int port() const { return server.isListening() ? int(server.serverPort()) : 0; }
    QString url(const QString &path = QStringLiteral("/site")) const
    {
        return QStringLiteral("ftp://someone:pw@127.0.0.1:%1%2").arg(server.serverPort()).arg(path);
    }
    int accepted = 0;
    int closed = 0;
    std::function<void()> onAccepted;

private:
    QTcpServer server;
};
