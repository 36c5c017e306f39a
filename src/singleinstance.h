#pragma once

#include <QString>

class QLocalServer;
class QLocalSocket;

// The handshake between starts of the program: a later start hands its path to the
// instance that runs the local server.
class SingleInstance
{
public:
    // The server's name: a socket in a folder that belongs to this user alone (the
    // runtime folder, else a private folder of the program's own in the temporary
    // folder), so instances of different users never meet. Empty when there is no
    // such folder: then nothing is served and nothing is handed over.
    static QString serverName();

    // Connects to a running instance of this same user, waiting at most timeoutMs.
    // A server run by anybody else counts as no server.
    static bool probe(QLocalSocket *socket, int timeoutMs = 1000);

    // Sends one message (the bytes, nothing else) and closes the connection.
    static void send(QLocalSocket *socket, const QByteArray &message);

    // The message a later start sends for its command-line path: the path made
    // absolute against this process's working folder, which the running instance
    // does not share.
    static QByteArray messageFor(const QString &argument);

    // Listens under serverName(), for the same user only. A socket left behind by a
    // crashed instance is removed, but only after it answered no probe.
    static bool listen(QLocalServer *server);

    // Whether the process at the other end of a connected local socket runs as this
    // user (its effective user id).
    static bool peerIsThisUser(const QLocalSocket *socket);
};
