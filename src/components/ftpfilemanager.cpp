#include "ftpfilemanager.h"

#include <QDebug>
#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include "miscutils.h"

FtpFileManager::FtpFileManager(const QUrl &url, const QString &folder)
    : url_(url)
    , root(folder)
{
    if (!root.isEmpty() && root.startsWith(QLatin1Char('/')))
        root.remove(0, 1);
    if (!root.isEmpty() && root.endsWith(QLatin1Char('/')))
        root.chop(1);
    // The destination as the user gave it, without the password: what the
    // page shows and opens once the run is done. The folder stays as typed.
    const QString user = decodeCredential(url.userName(QUrl::FullyDecoded));
    destination = url.scheme() + QStringLiteral("://") + (user.isEmpty() ? QString() : user + QLatin1Char('@'))
        + hostText(url.host(QUrl::FullyDecoded), url.port()) + QLatin1Char('/') + root;
}

FtpFileManager::~FtpFileManager() = default;

bool FtpFileManager::refuse(const char *message, const QString &path)
{
    localError = htmlError(tr(message), path);
    return false;
}

bool FtpFileManager::mkpath(const QString &path)
{
    localError.clear();
    failedPath = QLatin1Char('/') + root + QLatin1Char('/') + path;
    QString joined = root + QLatin1Char('/') + path;
    if (isUnsafePath(joined))
        return refuse(QT_TR_NOOP("Can't create path"), path);
    if (joined.endsWith(QLatin1Char('/')))
        joined.chop(1);
    url_.setPath(QLatin1Char('/') + joined, QUrl::DecodedMode);
    pendingPath.clear();
    pendingOperation = 0;
    return runOperation();
}

bool FtpFileManager::putfile(const QString &destination, const QString &source)
{
    localError.clear();
    pendingPath = root + QLatin1Char('/') + destination;
    failedPath = QLatin1Char('/') + pendingPath;
    if (isUnsafePath(pendingPath))
        return refuse(QT_TR_NOOP("Can't create file"), pendingPath);
    // An unreadable source is the user's to fix, not the server's: say which.
    // Only a source read whole is sent.
    if (!QFileInfo(source).isFile()) {
        localError = htmlError(tr(QFile::exists(source) ? "Error open file" : "File not exists"), source);
        return false;
    }
    QByteArray content;
    if (!readSource(source, &content, &localError))
        return false;
    this->source = &content;
    sourceIsData = true;
    pendingOperation = 1;
    const bool ok = runOperation();
    this->source = nullptr;
    return ok;
}

bool FtpFileManager::putdata(const QString &destination, const QByteArray &data)
{
    localError.clear();
    pendingPath = root + QLatin1Char('/') + destination;
    failedPath = QLatin1Char('/') + pendingPath;
    if (isUnsafePath(pendingPath))
        return refuse(QT_TR_NOOP("Can't create file"), pendingPath);
    source = &data;
    sourceIsData = true;
    pendingOperation = 1;
    const bool ok = runOperation();
    source = nullptr;
    return ok;
}

QSharedPointer<QIODevice> FtpFileManager::getfile(const QString &name)
{
    localError.clear();
    auto *file = new QTemporaryFile;
    device.reset(file);
    if (!device->open(QIODevice::ReadWrite))
        return QSharedPointer<QIODevice>();
    pendingPath = QLatin1Char('/') + root + QLatin1Char('/') + name;
    failedPath = pendingPath;
    pendingOperation = 2;
    // The part of a download that was cut off or refused is not the file, and
    // what arrived must be on disk to be read back; a full disk yields nothing.
    // The scratch file is dropped rather than emptied: emptying it needs the
    // very flush that failed, and would leave the bytes that did reach disk.
    bool ok = runOperation();
    if (ok && (!file->flush() || file->error() != QFileDevice::NoError)) {
        localError = htmlError(tr("Error writing to file"), file->fileName());
        ok = false;
    }
    if (!ok) {
        auto *nothing = new QBuffer;
        nothing->open(QIODevice::ReadOnly);
        device.reset(nothing);
        return device;
    }
    device->seek(0);
    return device;
}

QString FtpFileManager::url()
{
    return url_.toString();
}

QString FtpFileManager::destinationUrl()
{
    return destination;
}

QString FtpFileManager::errorString()
{
    if (!localError.isEmpty())
        return localError;
    const QString text = ftp.errorString();
    if (text.isEmpty())
        return text;
    // The server's answer first, then the file or folder it was about.
    QString path = failedPath;
    while (path.contains(QLatin1String("//")))
        path.replace(QLatin1String("//"), QLatin1String("/"));
    return htmlError(text, path);
}

bool FtpFileManager::isDestinationLost() const
{
    return connectionState == 2 && connectAttemptsLeft <= 0;
}

void FtpFileManager::abort()
{
    ftp.abort();
}

bool FtpFileManager::testConnection(const QString &url)
{
    CURLFtp client;
    return client.connectToUrl(url2data(url).url);
}

bool FtpFileManager::runOperation()
{
    // Each state leads to another or ends the loop; at most three attempts.
    for (;;) {
        switch (connectionState) {
        case 0:
            connectAttemptsLeft = 3;
            connectionState = 1;
            break;
        case 1:
            connectionState = ftp.connectToUrl(url_) ? 100 : 2;
            break;
        case 2:
            --connectAttemptsLeft;
            // A server that let the attempt time out gets no second one at once,
            // nor one whose identity was refused, nor one that refused the
            // user name or password: a refused password is never sent twice.
            if (connectAttemptsLeft <= 0 || ftp.isAborted() || ftp.serverStoppedAnswering()
                || ftp.identityRefused() || ftp.loginRefused()) {
                connectAttemptsLeft = 0;
                return false;
            }
            connectionState = 1;
            break;
        case 100:
            switch (pendingOperation) {
            case 0: return doMkPath();
            case 1: return doPut();
            default: return doGet();
            }
        default:
            return false;
        }
    }
}

bool FtpFileManager::doPut()
{
    bool ok = false;
    for (int attempt = 0; attempt < 5 && !ok && !ftp.isAborted(); ++attempt) {
        // The client consumes what it sends: each attempt gets a copy.
        QByteArray data = *static_cast<const QByteArray *>(source);
        ok = ftp.put(data, pendingPath);
        // Retries are for refusals a second try can cure; a silent server
        // would only be waited for again, once per attempt.
        if (!ok && ftp.serverStoppedAnswering())
            break;
    }
    return ok;
}

bool FtpFileManager::doGet()
{
    return ftp.get(pendingPath, device.data());
}

bool FtpFileManager::doMkPath()
{
    const QString full = url_.path(QUrl::FullyDecoded);
    QStringList levels { full };
    QString text = full;
    for (int i = text.lastIndexOf(QLatin1Char('/')); i > 0; i = text.lastIndexOf(QLatin1Char('/'))) {
        text.truncate(i);
        levels.append(text);
    }
    levels.append(QStringLiteral("/"));

    // Test from the deepest level up until one exists, then make each level
    // below it once; a refused folder ends the walk with the server's answer.
    for (int k = 0; k < levels.size(); ++k) {
        qDebug().noquote() << levels.at(k);
        if (!knownFolders.contains(levels.at(k)) && !ftp.cd(levels.at(k))) {
            if (ftp.isAborted())
                return false;
            continue;
        }
        knownFolders.insert(levels.at(k));
        for (int j = k - 1; j >= 0; --j) {
            qDebug().noquote() << levels.at(j);
            if (!ftp.mkdir(levels.at(j)))
                return false;
            knownFolders.insert(levels.at(j));
        }
        return true;
    }
    return false;
}
