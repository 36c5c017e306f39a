#pragma once

#include <QByteArray>
#include <QObject>
#include <QTimer>

class QLocalSocket;

// One connection of the local server, read without blocking: the bytes are collected
// as they come and handed on when the sender closes, or after 30 s at the latest.
class LocalConnection : public QObject
{
    Q_OBJECT

public:
    // Takes over the socket.
    explicit LocalConnection(QLocalSocket *socket, QObject *parent = nullptr);

    static const int TimeoutMs = 30000;
    // A path, never more: a longer message is dropped.
    static const int MaxMessageBytes = 64 * 1024;

    // Whether any byte came yet.
    bool hasReceived() const { return !m_message.isEmpty(); }
    // Ends the connection without handing anything on; the object deletes itself.
    void drop();

signals:
    // Emitted once with everything the sender wrote; the object deletes itself after.
    void messageReceived(QByteArray message);

private:
    void readAvailable();
    void finish();

    QLocalSocket *m_socket;
    QByteArray m_message;
    QTimer m_timeout;
    bool m_done = false;
};
