#pragma once

#include <QString>

class QLocalServer;
class QLocalSocket;

// The handshake between starts of the program: a later start hands its path to the
// instance that runs the local server.
class SingleInstance
{
public:
    // The server's name: a socket in the user's own runtime folder, so instances of
    // different users never meet.
    static QString serverName();

    // Connects to a running instance, waiting at most timeoutMs.
    static bool probe(QLocalSocket *socket, int timeoutMs = 1000);

    // Sends one message (the bytes, nothing else) and closes the connection.
    static void send(QLocalSocket *socket, const QByteArray &message);

    // Listens under serverName(), for the same user only. A socket left behind by a
    // crashed instance is removed, but only after it answered no probe.
    static bool listen(QLocalServer *server);
};
