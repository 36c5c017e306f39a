#include "localconnection.h"

#include <QDebug>
#include <QLocalSocket>

LocalConnection::LocalConnection(QLocalSocket *socket, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
{
    m_socket->setParent(this);
    connect(m_socket, &QLocalSocket::readyRead, this, &LocalConnection::readAvailable);
    connect(m_socket, &QLocalSocket::disconnected, this, &LocalConnection::finish);
    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, &LocalConnection::finish);
    m_timeout.start(TimeoutMs);
    // Bytes may have arrived before the signals were connected.
    readAvailable();
    if (m_socket->state() == QLocalSocket::UnconnectedState)
        QTimer::singleShot(0, this, &LocalConnection::finish);
}

void LocalConnection::readAvailable()
{
    if (m_done)
        return;
    m_message += m_socket->readAll();
    if (m_message.size() > MaxMessageBytes) {
        qWarning() << "local connection: message too long, dropped";
        m_message.clear();
        m_done = true;
        m_timeout.stop();
        m_socket->abort();
        deleteLater();
    }
}

void LocalConnection::drop()
{
    if (m_done)
        return;
    m_done = true;
    m_timeout.stop();
    m_socket->abort();
    deleteLater();
}

void LocalConnection::finish()
{
    if (m_done)
        return;
    readAvailable();
    if (m_done)
        return;
    m_done = true;
    m_timeout.stop();
    m_socket->disconnectFromServer();
    emit messageReceived(m_message);
    deleteLater();
}
