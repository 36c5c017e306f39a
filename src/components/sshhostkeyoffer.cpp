#include "sshhostkeyoffer.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QTcpSocket>
#include <QtEndian>

namespace {

// Lines a server may send before its version line, and the largest packet
// a client must accept (RFC 4253, 4.2 and 6.1).
const int greetingLimit = 64 * 1024;
const quint32 packetLimit = 35000;
const char kexInit = 20;

// Reads until the buffer holds at least size bytes; false when the server
// closed, went silent past the deadline or failed.
bool fill(QTcpSocket &socket, QByteArray &buffer, int size, const QDeadlineTimer &deadline)
{
    while (buffer.size() < size) {
        if (deadline.hasExpired() || !socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
            return false;
        buffer += socket.read(size - buffer.size() + greetingLimit);
    }
    return true;
}

// One name-list at offset: the names, and offset moved past it.
bool nameList(const QByteArray &payload, int *offset, QStringList *names)
{
    if (*offset + 4 > payload.size())
        return false;
    const quint32 size = qFromBigEndian<quint32>(payload.constData() + *offset);
    if (size > quint32(payload.size() - *offset - 4))
        return false;
    *names = QString::fromLatin1(payload.mid(*offset + 4, int(size))).split(QLatin1Char(','), Qt::SkipEmptyParts);
    *offset += 4 + int(size);
    return true;
}

} // namespace

QStringList sshOfferedHostKeyTypes(const QString &host, int port, int timeoutMs, QString *error)
{
    const QDeadlineTimer deadline(timeoutMs);
    QTcpSocket socket;
    socket.connectToHost(host, quint16(port));
    if (!socket.waitForConnected(int(qMax<qint64>(1, deadline.remainingTime())))) {
        *error = socket.errorString();
        return {};
    }
    QByteArray buffer;
    // The version line, after any lines the server sends before it.
    for (int read = 0;;) {
        int end = buffer.indexOf('\n');
        while (end < 0) {
            if (read + buffer.size() > greetingLimit || !fill(socket, buffer, buffer.size() + 1, deadline)) {
                *error = QStringLiteral("the server sent no SSH version line");
                return {};
            }
            end = buffer.indexOf('\n');
        }
        const QByteArray line = buffer.left(end + 1);
        buffer.remove(0, end + 1);
        read += line.size();
        if (line.startsWith("SSH-"))
            break;
    }
    socket.write("SSH-2.0-Quillary\r\n");
    socket.flush();
    if (!fill(socket, buffer, 5, deadline)) {
        *error = QStringLiteral("the server sent no key exchange");
        return {};
    }
    const quint32 length = qFromBigEndian<quint32>(buffer.constData());
    const int padding = uchar(buffer.at(4));
    if (length > packetLimit || length < quint32(padding) + 1 + 1 + 16 || !fill(socket, buffer, int(length) + 4, deadline)) {
        *error = QStringLiteral("the server's key exchange could not be read");
        return {};
    }
    socket.abort();
    const QByteArray payload = buffer.mid(5, int(length) - padding - 1);
    int offset = 1 + 16;   // message number and cookie
    QStringList kexTypes;
    QStringList hostKeyTypes;
    if (payload.isEmpty() || payload.at(0) != kexInit || !nameList(payload, &offset, &kexTypes)
        || !nameList(payload, &offset, &hostKeyTypes) || hostKeyTypes.isEmpty()) {
        *error = QStringLiteral("the server's key exchange could not be read");
        return {};
    }
    return hostKeyTypes;
}
