#include "ftpfilemanager.h"

#include <QDebug>
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
    if (isUnsafePath(pendingPath))
        return refuse(QT_TR_NOOP("Can't create file"), pendingPath);
    QFile file(source);
    // An unreadable source is the user's to fix, not the server's: say which.
    if (!QFileInfo(source).isFile() || !file.open(QIODevice::ReadOnly))
        return refuse(QFile::exists(source) ? QT_TR_NOOP("Error open file") : QT_TR_NOOP("File not exists"), source);
    file.close();
    this->source = &file;
    sourceIsData = false;
    pendingOperation = 1;
    const bool ok = runOperation();
    this->source = nullptr;
    return ok;
}

bool FtpFileManager::putdata(const QString &destination, const QByteArray &data)
{
    localError.clear();
    pendingPath = root + QLatin1Char('/') + destination;
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
    pendingOperation = 2;
    // The part of a download that was cut off or refused is not the file.
    if (!runOperation())
        file->resize(0);
    device->seek(0);
    return device;
}

QString FtpFileManager::url()
{
    return url_.toString();
}

QString FtpFileManager::errorString()
{
    return localError.isEmpty() ? ftp.errorString() : localError;
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
            if (connectAttemptsLeft <= 0 || ftp.isAborted()) {
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
        QByteArray data;
        if (sourceIsData) {
            // The client consumes what it sends: each attempt gets a copy.
            data = *static_cast<const QByteArray *>(source);
        } else {
            // Read anew for each attempt, and never send a file that could
            // not be read whole.
            QFile file(static_cast<const QFile *>(source)->fileName());
            if (!file.open(QIODevice::ReadOnly))
                return refuse(file.exists() ? QT_TR_NOOP("Error open file") : QT_TR_NOOP("File not exists"),
                              file.fileName());
            data = file.readAll();
            if (file.error() != QFileDevice::NoError)
                return refuse(QT_TR_NOOP("Error open file"), file.fileName());
        }
        ok = ftp.put(data, pendingPath);
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
