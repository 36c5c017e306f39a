#include "bridge.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>

#include "filewriter.h"
#include "miscutils.h"
#include "crossmove.h"

#include <cerrno>
#include <cstdio>

namespace {

// Writes the bytes through a temporary file that replaces the target only
// once everything is on disk: a failed or interrupted write keeps what was
// there. Creates the missing folders first. A folder that refuses new files
// while the file itself is writable gets the file written in place.
bool writeWholeFile(const QString &path, const QByteArray &bytes)
{
    QFileInfo(path).absoluteDir().mkpath(QStringLiteral("."));
    FileWriter file(path);
    file.setDirectWriteFallback(true);
    if (file.open() && file.write(bytes) && file.commit())
        return true;
    qWarning().noquote() << file.errorString();
    return false;
}

// A file whose text (or Base64) scripts get back is held whole in one string;
// past this size the string would overflow and end the program.
const qint64 maxTextSource = MaxReadSize;

bool fitsInText(const QString &path)
{
    return QFileInfo(path).size() <= maxTextSource;
}

// The canonical path when the entry exists, else the cleaned absolute one.
QString resolvedPath(const QString &path)
{
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : canonical;
}

} // namespace

QString Bridge::makeTempFileName(const QString &extension, const QString &prefix)
{
    if (!tempDir.isValid())
        return QString();
    const QDateTime now = QDateTime::currentDateTime();
    const QString stem = tempDir.path() + QLatin1Char('/') + prefix
            + now.date().toString(Qt::ISODate) + QLatin1Char('_')
            + now.time().toString(Qt::TextDate).replace(QLatin1Char(':'), QLatin1Char('-'));
    for (int n = 0; n < 100000; ++n) {
        const QString name = (n == 0 ? stem : stem + QLatin1Char('_') + QString::number(n))
                + QLatin1Char('.') + extension;
        QFile file(name);
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return name;
        if (!file.exists())
            return name;   // cannot be reserved, but it is free: the caller's write reports
    }
    return QString();
}

bool Bridge::isProtectedLocation(const QString &path) const
{
    const QString target = resolvedPath(path);
    if (target == QLatin1String("/"))
        return true;
    QStringList roots = {
        QDir::homePath(),
        QStandardPaths::writableLocation(QStandardPaths::AppDataLocation),
        QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation),
        QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation),
        QDir::tempPath(),
    };
    if (tempDir.isValid())
        roots << tempDir.path();
    for (const QString &root : qAsConst(roots)) {
        if (root.isEmpty())
            continue;
        const QString resolved = resolvedPath(root);
        if (resolved == target || resolved.startsWith(target + QLatin1Char('/')))
            return true;
    }
    return false;
}

QString Bridge::openFileDialog(QString caption, QString dir, QString filter)
{
    const QString start = urlToLocalPath(dir);
    // The chooser runs an event loop of its own while the script waits.
    NestedWait wait(this, false);
    const QString chosen = filter == QLatin1String("dir")
            ? QFileDialog::getExistingDirectory(nullptr, caption, start)
            : QFileDialog::getOpenFileName(nullptr, caption, start, filter, nullptr,
                                           QFileDialog::Options());
    return chosen.isEmpty() ? QString() : localPathToUrl(chosen);
}

void Bridge::onErrorWindow(QString, bool *) {}

bool Bridge::saveLocalFile(QString url, QString data)
{
    return writeWholeFile(urlToLocalPath(url), data.toUtf8());
}

QString Bridge::loadLocalFile(QString url)
{
    const QString path = urlToLocalPath(url);
    return isPlainFile(path) && fitsInText(path) ? loadText(path, QStringLiteral("UTF-8")) : QString();
}

QString Bridge::copyLocal(QString src, QString dest)
{
    const QString source = urlToLocalPath(src);
    const QString destination = urlToLocalPath(dest);
    const QFileInfo sourceInfo(source);
    if (!sourceInfo.exists())
        return QString();

    if (sourceInfo.isDir()) {
        // The destination is only reported when the whole tree arrived.
        if (!copyDir(source, destination, true))
            return QString();
        return localPathToUrl(destination);
    }

    QString target = destination;
    if (QFileInfo(destination).isDir() || dest.endsWith(QLatin1Char('/')))
        target = QDir(destination).absolutePath() + QLatin1Char('/') + sourceInfo.fileName();

    QFileInfo(target).absoluteDir().mkpath(QStringLiteral("."));
    if (!copyFileData(source, target))
        return QString();
    return localPathToUrl(target);
}

bool Bridge::moveLocal(QString src, QString dest)
{
    const QString source = urlToLocalPath(src);
    const QString destination = urlToLocalPath(dest);
    const QFileInfo sourceInfo(source);
    const QFileInfo destinationInfo(destination);
    // A dangling link is still something in the way.
    if (!(sourceInfo.exists() || sourceInfo.isSymLink())
            || destinationInfo.exists() || destinationInfo.isSymLink())
        return false;
    if (::rename(QFile::encodeName(source).constData(), QFile::encodeName(destination).constData()) == 0)
        return true;
    // Another file system cannot take a rename: everything is copied, then the
    // source removed; a copy that did not arrive whole is taken back.
    if (errno != EXDEV)
        return false;
    return moveAcrossFileSystems(source, destination);
}

bool Bridge::removeLocal(QString url)
{
    const QString path = urlToLocalPath(url);
    const QFileInfo info(path);
    // A link goes, never what it points to.
    if (info.isSymLink())
        return QFile::remove(path);
    if (!info.exists())
        return true;
    if (isProtectedLocation(path)) {
        qWarning().noquote() << "refusing to remove" << path;
        return false;
    }
    if (info.isDir())
        return QDir(path).removeRecursively();
    return QFile::remove(path);
}

bool Bridge::isExistsLocal(QString url)
{
    return QFileInfo::exists(urlToLocalPath(url));
}

QString Bridge::dirList(QString url, QString nameFilters, int filter, bool recursive)
{
    if (filter == 0)
        filter = 1;
    QDir::Filters filters = QDir::NoDotAndDotDot | QDir::CaseSensitive;
    if (filter & 1)
        filters |= QDir::Files;
    if (filter & 2)
        filters |= QDir::Dirs;

    QStringList patterns = nameFilters.split(QLatin1Char(';'));
    if (nameFilters.isEmpty())
        patterns = QStringList { QStringLiteral("*") };

    const QDir root(QFileInfo(urlToLocalPath(url)).absoluteFilePath());
    QDirIterator it(root.absolutePath(), patterns, filters,
                    recursive ? QDirIterator::Subdirectories : QDirIterator::NoIteratorFlags);
    QStringList entries;
    while (it.hasNext())
        entries << root.relativeFilePath(it.next());
    return entries.join(QLatin1Char('\n'));
}

bool Bridge::saveLocalBase64(QString url, QString data)
{
    return writeWholeFile(urlToLocalPath(url), QByteArray::fromBase64(data.toUtf8()));
}

QString Bridge::loadLocalBase64(QString url)
{
    const QString path = urlToLocalPath(url);
    QByteArray bytes;
    if (!fitsInText(path) || !readPlainFile(path, &bytes))
        return QString();
    return QString::fromLatin1(bytes.toBase64());
}

QString Bridge::getResourceFile(QVariant path)
{
    QFile file(urlToLocalPath(path.toString()));
    if (!isPlainFile(file.fileName()) || !fitsInText(file.fileName()) || !file.open(QIODevice::ReadOnly)) {
        qWarning() << "file open error";
        return QString();
    }
    return QString::fromUtf8(file.readAll().constData());
}

QString Bridge::saveTempFile(QByteArray data)
{
    const QString name = makeTempFileName(QStringLiteral("tmp"));
    if (name.isEmpty())
        return QString();
    if (!writeWholeFile(name, data)) {
        QFile::remove(name);   // the reserved, empty name
        return QString();
    }
    return localPathToUrl(name);
}

QString Bridge::md5_base64(QString url)
{
    QFile file(urlToLocalPath(url));
    if (!isPlainFile(file.fileName()) || !file.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!hash.addData(&file) || file.error() != QFileDevice::NoError)
        return QString();
    return QString::fromLatin1(hash.result().toBase64());
}

QString Bridge::getTempLocation()
{
    return tempDir.isValid() ? tempDir.path() : QString();
}
