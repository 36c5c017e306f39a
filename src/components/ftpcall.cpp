#include "ftpcall.h"

#include <QCoreApplication>
#include <QDebug>
#include <QEventLoop>
#include <QScopedPointer>
#include <QTemporaryFile>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <atomic>

#include "CURLFtp.h"
#include "envlimit.h"
#include "filemanager.h"

namespace {

const int defaultDeadline = 60000;

// "host:port" of the client's server, for messages (it never holds credentials).
QString serverName(const CURLFtp &client)
{
    const QUrl url(client.server());
    if (url.host().isEmpty())
        return QCoreApplication::translate("FtpCall", "the server");
    return hostText(url.host(), url.port());
}

QString tr(const char *text)
{
    return QCoreApplication::translate("FtpCall", text);
}

QString seconds(int milliseconds)
{
    return QString::number(milliseconds / 1000.0, 'g', 3);
}

// A call waiting for its worker, as cancelAll() reaches it.
struct Waiting
{
    CURLFtp *client;
    QEventLoop *loop;
    bool cancelled;
};

// The calls waiting now, innermost last; touched on the GUI thread only.
QList<Waiting *> &waitingCalls()
{
    static QList<Waiting *> calls;
    return calls;
}

// The server said the file is not there. An FTP folder that cannot be
// entered holds nothing this log-in could read or replace either; an SFTP
// file or folder refused for its permissions is something it cannot see.
bool isMissing(const CURLFtp &client, bool sftp)
{
    switch (client.code()) {
    case CURLE_REMOTE_FILE_NOT_FOUND:
        return client.errorString() == CURLFtp::errorText(CURLE_REMOTE_FILE_NOT_FOUND);
    case CURLE_REMOTE_ACCESS_DENIED:
        return !sftp;
    default:
        return false;
    }
}

} // namespace

FtpCall::FtpCall(const QString &destination)
    : record(url2data(destination))
{
}

int FtpCall::deadline()
{
    return int(envLimit("QUILLARY_FTP_DEADLINE_MS", defaultDeadline));
}

QString FtpCall::failureText(const CURLFtp &client)
{
    const int code = int(client.code());
    const QString own = client.errorString();
    // A text the client made for this failure (a server identity that
    // changed, say) says more than any general one.
    if (own != CURLFtp::errorText(code))
        return own;
    const QString server = serverName(client);
    switch (code) {
    case CURLE_LOGIN_DENIED:
        return tr("%1 refused the user name or password.").arg(server);
    case CURLE_COULDNT_RESOLVE_HOST:
        return tr("No answer from %1: the server name is unknown.").arg(server);
    case CURLE_COULDNT_CONNECT:
        return tr("No answer from %1: the connection was refused or could not be made.").arg(server);
    case CURLE_OPERATION_TIMEDOUT:
        return tr("No answer from %1 in time.").arg(server);
    case CURLE_USE_SSL_FAILED:
        return tr("%1 refused TLS: it does not offer an encrypted connection.").arg(server);
    case CURLE_SSL_CONNECT_ERROR:
        return tr("%1 refused the TLS connection.").arg(server);
    case CURLE_FILESIZE_EXCEEDED:
        return tr("The file is larger than %1 MiB and is not read.").arg(MaxReadSize >> 20);
    default:
        return own;
    }
}

bool FtpCall::testConnection()
{
    return run([this](CURLFtp &client) {
        if (client.connectToUrl(record.url))
            return true;
        error = failureText(client);
        return false;
    });
}

bool FtpCall::fetch(const QStringList &names, QByteArray *bytes)
{
    bytes->clear();
    QString root = record.path;
    if (root.startsWith(QLatin1Char('/')))
        root.remove(0, 1);
    if (root.endsWith(QLatin1Char('/')))
        root.chop(1);
    const bool sftp = record.url.scheme() == QLatin1String("sftp");
    return run([this, names, bytes, root, sftp](CURLFtp &client) {
        if (!client.connectToUrl(record.url)) {
            error = failureText(client);
            return false;
        }
        for (const QString &name : names) {
            // CR or LF in a name would reach the server as a command of its own.
            if (FileManager::isUnsafePath(name)) {
                error = tr("The file name %1 is not allowed.").arg(name);
                return false;
            }
            QTemporaryFile file;
            if (!file.open()) {
                error = tr("No temporary file for the download: %1").arg(file.errorString());
                return false;
            }
            if (!client.get(QLatin1Char('/') + root + QLatin1Char('/') + name, &file)) {
                // A missing file lets the next name be tried; anything else
                // leaves what is there unknown and ends the fetch.
                if (isMissing(client, sftp))
                    continue;
                error = failureText(client);
                return false;
            }
            if (file.size() == 0)
                continue;
            file.seek(0);
            *bytes = file.readAll();
            if (bytes->size() != file.size()) {
                bytes->clear();
                error = tr("The downloaded file could not be read back.");
                return false;
            }
            error.clear();
            return true;
        }
        // Asked, and none of the files is there.
        error.clear();
        return true;
    });
}

void FtpCall::cancel()
{
    if (!running)
        return;
    cancelled = true;
    running->abort();
}

bool FtpCall::run(const std::function<bool(CURLFtp &)> &job)
{
    error.clear();
    if (record.type != 1 || !isRemoteScheme(record.url.scheme())) {
        error = tr("Not an FTP, FTPS or SFTP address.");
        return false;
    }

    CURLFtp client;
    bool ok = false;
    // The client is used on the worker only; abort() is the one call made
    // from here, and it is safe from any thread.
    QScopedPointer<QThread> worker(QThread::create([&client, &ok, &job]() { ok = job(client); }));
    QEventLoop loop;
    QObject::connect(worker.data(), &QThread::finished, &loop, &QEventLoop::quit);
    bool timedOut = false;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, [&client, &timedOut]() {
        timedOut = true;
        client.abort();
    });
    const int limit = deadline();
    Waiting waiting { &client, &loop, false };
    waitingCalls().append(&waiting);
    cancelled = false;
    running = &client;
    worker->start();
    timer.start(limit);
    if (!worker->isFinished())
        loop.exec();
    waitingCalls().removeOne(&waiting);
    // Not finished: the application is quitting and ended every event loop.
    const bool quitting = !worker->isFinished();
    if (quitting || waiting.cancelled)
        client.abort();
    // An aborted transfer has its connection cut: the library returns at once.
    worker->wait();
    running = nullptr;

    if (!ok && (cancelled || waiting.cancelled)) {
        error = tr("Cancelled.");
    } else if (!ok && timedOut) {
        error = tr("No complete answer from %1 within %2 s.").arg(serverName(client), seconds(limit));
    } else if (!ok && quitting) {
        error = tr("Cancelled.");
    }
    if (!ok)
        qDebug().noquote() << "remote call failed:" << error;
    return ok;
}

void FtpCall::cancelAll()
{
    for (Waiting *waiting : qAsConst(waitingCalls())) {
        waiting->cancelled = true;
        waiting->client->abort();
        waiting->loop->quit();
    }
}
