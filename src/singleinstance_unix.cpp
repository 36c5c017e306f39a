#include "singleinstance.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <cerrno>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// A folder nobody but this user can enter or change: a real folder (not a link
// when asked so), owned by the effective user, no rights for group or others.
bool isPrivateFolder(const QByteArray &path, bool followLinks)
{
    struct stat st {};
    const int result = followLinks ? ::stat(path.constData(), &st) : ::lstat(path.constData(), &st);
    return result == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

QString serverFolder()
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && isPrivateFolder(runtime, true))
        return QFile::decodeName(runtime);

    // The temporary folder is shared with every user: the socket goes into a
    // folder of its own there, made private, and only if it really is ours.
    const QByteArray folder = QFile::encodeName(
            QDir::tempPath() + QStringLiteral("/quillary-%1").arg(::geteuid()));
    if (::mkdir(folder.constData(), 0700) != 0 && errno != EEXIST)
        return QString();
    if (!isPrivateFolder(folder, false)) {
        qWarning().noquote() << "not using" << QFile::decodeName(folder)
                             << "for the local server: it is not a private folder of this user";
        return QString();
    }
    return QFile::decodeName(folder);
}

} // namespace

QString SingleInstance::serverName()
{
    const QString folder = serverFolder();
    return folder.isEmpty() ? QString() : folder + QStringLiteral("/QuillaryServer");
}

bool SingleInstance::peerIsThisUser(const QLocalSocket *socket)
{
    struct ucred cred {};
    socklen_t length = sizeof cred;
    const qintptr fd = socket->socketDescriptor();
    return fd >= 0 && ::getsockopt(int(fd), SOL_SOCKET, SO_PEERCRED, &cred, &length) == 0
            && length == sizeof cred && cred.uid == ::geteuid();
}

bool SingleInstance::probe(QLocalSocket *socket, int timeoutMs)
{
    const QString name = serverName();
    if (name.isEmpty())
        return false;
    socket->connectToServer(name, QIODevice::ReadWrite);
    if (!socket->waitForConnected(timeoutMs))
        return false;
    if (!peerIsThisUser(socket)) {
        qWarning().noquote() << "the local server" << name << "belongs to another user; not using it";
        socket->abort();
        return false;
    }
    return true;
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

QByteArray SingleInstance::messageFor(const QString &argument)
{
    if (argument.isEmpty() || !QDir::isRelativePath(argument))
        return argument.toUtf8();
    return QDir::cleanPath(QDir::current().absoluteFilePath(argument)).toUtf8();
}

bool SingleInstance::listen(QLocalServer *server)
{
    server->setSocketOptions(QLocalServer::UserAccessOption);
    const QString name = serverName();
    if (name.isEmpty())
        return false;
    if (server->listen(name))
        return true;
    if (server->serverError() != QAbstractSocket::AddressInUseError)
        return false;
    QLocalSocket other;
    if (probe(&other, 1000))
        return false;   // a live instance of this user holds the name
    QLocalServer::removeServer(name);
    return server->listen(name);
}
