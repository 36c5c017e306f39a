#include "localfilemanager.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryFile>
#include <QUrl>

#include "miscutils.h"

namespace {

const QString fileScheme = QStringLiteral("file:///");

bool isDrivePath(const QString &path)
{
    static const QRegularExpression drive(QStringLiteral("^[A-Za-z]:"));
    return drive.match(path).hasMatch();
}

// Drops the "file:///" of a URL-style path. A drive path (C:/x) comes out as
// it stands; a Unix path keeps its leading "/".
QString stripFileScheme(const QString &path)
{
    QString result = path.mid(8);
    if (path.startsWith(fileScheme) && !isDrivePath(result))
        result.prepend(QLatin1Char('/'));
    return result;
}

} // namespace

LocalFileManager::LocalFileManager(const QString &path)
    : root(path)
{
    if (root.contains(fileScheme))
        root = stripFileScheme(root);
    if (!path.isEmpty()) {
        // A drive path is already absolute as far as the destination goes.
        if (!isDrivePath(root))
            root = QDir::fromNativeSeparators(QFileInfo(root).absoluteFilePath());
        if (!root.endsWith(QLatin1Char('/')))
            root += QLatin1Char('/');
    }
}

LocalFileManager::~LocalFileManager() = default;

QString LocalFileManager::composeError(const char *message, const QString &path)
{
    return htmlError(tr(message), path);
}

bool LocalFileManager::mkpath(const QString &path)
{
    if (isUnsafePath(path) || !QDir().mkpath(root + path)) {
        qDebug() << "cant create path";
        errorText = composeError(QT_TR_NOOP("Can't create path"), path);
        return false;
    }
    return true;
}

bool LocalFileManager::putdata(const QString &destination, const QByteArray &data)
{
    const QString full = root + destination;
    if (isUnsafePath(destination)) {
        errorText = composeError(QT_TR_NOOP("Can't create file"), full);
        return false;
    }
    if (QFile::exists(full))
        QFile::remove(full);
    QDir().mkpath(QFileInfo(full).absolutePath());
    // Written beside and renamed into place once every byte is on disk, so a
    // full disk leaves no short file behind that looks published.
    QSaveFile file(full);
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly)) {
        errorText = composeError(QT_TR_NOOP("Can't create file"), full);
        return false;
    }
    // The explicit flush: a commit does not see a failed flush of the last
    // buffered bytes, and would rename a short or empty file into place.
    if (file.write(data) != data.size() || !file.flush() || !file.commit()) {
        file.cancelWriting();
        errorText = composeError(QT_TR_NOOP("Error writing to file"), full);
        return false;
    }
    return true;
}

bool LocalFileManager::putfile(const QString &destination, const QString &source)
{
    if (isUnsafePath(destination)) {
        errorText = composeError(QT_TR_NOOP("Can't create file"), root + destination);
        return false;
    }
    if (root + destination == source)
        return true;
    QString path = source;
    if (path.contains(fileScheme)) {
        qDebug().noquote() << "Warning: input file shouldn't be in url format - " + path;
        path = stripFileScheme(path);
    }
    QByteArray content;
    if (!readSource(path, &content, &errorText))
        return false;
    return putdata(destination, content);
}

QString LocalFileManager::url()
{
    return QUrl::fromLocalFile(root).toString();
}

QString LocalFileManager::errorString()
{
    return errorText;
}

QSharedPointer<QIODevice> LocalFileManager::getfile(const QString &name)
{
    device.reset(new QFile(root + name));
    // A pipe or a device would hold the caller (the window, for a project file).
    if (isPlainFile(root + name) && device->open(QIODevice::ReadOnly))
        return device;
    return QSharedPointer<QIODevice>(new QTemporaryFile);
}
