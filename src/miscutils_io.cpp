#include "miscutils.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTextCodec>
#include <QTextStream>

#include "filewriter.h"

#include <cstring>
#include <sys/stat.h>

namespace {

QTextCodec *codecByName(const QString &name)
{
    QTextCodec *codec = QTextCodec::codecForName(name.toLatin1());
    if (!codec)
        qWarning() << "unknown text codec" << name;
    return codec;
}

// The canonical form of a path that may not exist yet: the nearest existing
// ancestor resolved, the missing rest appended.
QString canonicalOrPlanned(const QString &path)
{
    QString current = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    QStringList missing;
    for (;;) {
        const QFileInfo info(current);
        const QString canonical = info.canonicalFilePath();
        if (!canonical.isEmpty()) {
            QString result = canonical;
            for (int i = missing.size() - 1; i >= 0; --i)
                result += QLatin1Char('/') + missing.at(i);
            return QDir::cleanPath(result);
        }
        const QString parent = info.path();
        if (parent == current)
            return current;
        missing << info.fileName();
        current = parent;
    }
}

bool isSameOrInside(const QString &path, const QString &folder)
{
    if (path == folder)
        return true;
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    return path.startsWith(prefix);
}

// The user's file-creation mask, read without changing it (umask() would, and
// other threads may be creating files meanwhile).
mode_t currentUmask()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (;;) {
            const QByteArray line = status.readLine();
            if (line.isEmpty())
                break;
            if (line.startsWith("Umask:")) {
                bool ok = false;
                const uint mask = line.mid(6).trimmed().toUInt(&ok, 8);
                if (ok)
                    return mode_t(mask);
            }
        }
    }
    return 022;
}

// Within a folder copy: whether a link found in the source tree points back
// into that tree. Links that lead out of it are not followed, so a site copy
// never picks up files from elsewhere on the disk.
bool pointsInside(const QFileInfo &entry, const QString &sourceRoot)
{
    if (!entry.isSymLink())
        return true;
    const QString target = entry.canonicalFilePath();
    return !target.isEmpty() && isSameOrInside(target, sourceRoot);
}

// A folder made by a copy gets the source folder's permission bits under the
// umask, as cp gives them, once its entries are in: a private folder stays
// private. Its user keeps full rights to it, so the copy can be worked on;
// folders out of the bundle stay the user's ordinary ones.
void keepFolderMode(const QString &source, const QString &destination)
{
    struct stat st {};
    if (source.startsWith(QLatin1Char(':')) || ::stat(QFile::encodeName(source).constData(), &st) != 0)
        return;
    ::chmod(QFile::encodeName(destination).constData(), (st.st_mode & 0777 & ~currentUmask()) | S_IRWXU);
}

bool copyFolder(const QString &source, const QString &destination, bool overwrite,
                const QString &sourceRoot, const QString &destinationRoot, QSet<QString> &visited)
{
    // Each real folder is copied once: links that lead back to a folder already
    // copied, or into the copy being made, end here instead of looping.
    const QString real = QFileInfo(source).canonicalFilePath();
    if (real.isEmpty() || visited.contains(real) || isSameOrInside(real, destinationRoot))
        return true;
    visited.insert(real);

    const QFileInfo destInfo(destination);
    const bool made = !destInfo.isDir();
    if (made && !QDir().mkdir(destination)) {
        qDebug() << "copyDir: cannot make the folder" << destination;
        return false;
    }

    bool ok = true;
    const QDir src(source);
    const QFileInfoList files = src.entryInfoList(QDir::Files);
    for (const QFileInfo &file : files) {
        if (!pointsInside(file, sourceRoot)) {
            qDebug() << "copyDir: not following a link out of the copied folder:" << file.filePath();
            continue;
        }
        const QString target = destination + QLatin1Char('/') + file.fileName();
        const QFileInfo targetInfo(target);
        if (targetInfo.exists() || targetInfo.isSymLink()) {
            if (!overwrite)
                continue;
            if (targetInfo.isDir() || !QFile::remove(target)) {
                qDebug() << "copyDir: cannot replace" << target;
                ok = false;
                continue;
            }
        }
        if (!copyFileData(file.filePath(), target)) {
            qDebug() << "copyDir: cannot copy" << file.filePath() << "to" << target;
            ok = false;
        }
    }

    const QFileInfoList folders = src.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QFileInfo &folder : folders) {
        if (!pointsInside(folder, sourceRoot)) {
            qDebug() << "copyDir: not following a link out of the copied folder:" << folder.filePath();
            continue;
        }
        if (!copyFolder(folder.filePath(), destination + QLatin1Char('/') + folder.fileName(), overwrite,
                        sourceRoot, destinationRoot, visited))
            ok = false;
    }
    if (made)
        keepFolderMode(source, destination);
    return ok;
}

} // namespace

bool saveText(const QString &path, const QString &text, const QString &codec)
{
    if (!codecByName(codec))
        return false;
    // Written beside the old file and renamed over it, so a failed write keeps
    // the previous content instead of leaving half a file.
    FileWriter file(path);
    file.setDirectWriteFallback(true);
    if (!file.open() || !file.write(textToBytes(text, codec)) || !file.commit()) {
        qDebug().noquote() << "saveText:" << file.errorString();
        return false;
    }
    return true;
}

QString loadText(const QString &path, const QString &codec)
{
    QTextCodec *textCodec = codecByName(codec);
    if (!textCodec)
        return QString();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QTextStream stream(&file);
    stream.setCodec(textCodec);
    stream.setAutoDetectUnicode(true);
    const QString text = stream.readAll();
    file.close();
    return text;
}

bool copyDir(const QString &source, const QString &destination, bool overwrite)
{
    const QFileInfo sourceInfo(source);
    if (!sourceInfo.isDir())
        return false;
    const bool resource = source.startsWith(QLatin1Char(':'));
    const QString realSource = resource ? QDir::cleanPath(source) : sourceInfo.canonicalFilePath();
    const QString realDestination = canonicalOrPlanned(destination);
    if (realSource == realDestination)
        return true;   // copying a folder onto itself changes nothing
    if (!resource && isSameOrInside(realDestination, realSource)) {
        qWarning() << "copyDir: destination lies inside the source:" << destination;
        return false;
    }
    const bool made = !QFileInfo(destination).isDir();
    if (!QDir().mkpath(destination) || !QFileInfo(destination).isDir()) {
        qDebug() << "copyDir: cannot make the folder" << destination;
        return false;
    }
    QSet<QString> visited;
    const bool ok = copyFolder(QDir::cleanPath(QDir::fromNativeSeparators(source)),
                               QDir::cleanPath(QDir::fromNativeSeparators(destination)), overwrite, realSource,
                               QFileInfo(destination).canonicalFilePath(), visited);
    if (made)
        keepFolderMode(source, destination);
    return ok;
}

bool copyFileData(const QString &source, const QString &target)
{
    QFile in(source);
    if (!isPlainFile(source) || !in.open(QIODevice::ReadOnly))
        return false;
    // The copy gets the source's permission bits under the umask, as cp does: a
    // private file stays private, an executable stays executable. A copy out of
    // the read-only bundle is writable like any new file of the user's.
    const mode_t umask = currentUmask();
    mode_t mode = 0666;
    if (source.startsWith(QLatin1Char(':'))) {
        if (in.permissions() & QFileDevice::ExeOwner)
            mode = 0777;
    } else {
        struct stat st {};
        if (::fstat(in.handle(), &st) != 0)
            return false;
        mode = st.st_mode & 0777;
    }
    // Written beside the target and renamed over it, so a failed copy keeps what
    // was there. Only when the folder refuses new files but the target itself is
    // writable is the target written in place.
    FileWriter out(target);
    out.setDirectWriteFallback(true);
    if (!out.open(int(mode & ~umask))) {
        qDebug().noquote() << "copy:" << out.errorString();
        return false;
    }
    // In pieces: a file of any size takes the same small amount of memory.
    // Runs of zero bytes become holes, so a sparse file stays sparse.
    const qint64 chunk = 1 << 20;
    QByteArray buffer(int(chunk), Qt::Uninitialized);
    static const QByteArray zeros(int(chunk), '\0');
    for (;;) {
        const qint64 n = in.read(buffer.data(), chunk);
        if (n < 0) {
            qDebug() << "copy: cannot read" << source << in.errorString();
            return false;
        }
        if (n == 0)
            break;
        const bool ok = n == chunk && memcmp(buffer.constData(), zeros.constData(), size_t(n)) == 0
                ? out.skip(n)
                : out.write(buffer.constData(), n);
        if (!ok) {
            qDebug().noquote() << "copy:" << out.errorString();
            return false;
        }
    }
    if (!out.commit()) {
        qDebug().noquote() << "copy:" << out.errorString();
        return false;
    }
    return true;
}

bool isPlainFile(const QString &path)
{
    return QFileInfo(path).isFile();
}

bool readPlainFile(const QString &path, QByteArray *bytes)
{
    QFile file(path);
    if (!isPlainFile(path) || !file.open(QIODevice::ReadOnly))
        return false;
    *bytes = file.readAll();
    return bytes->size() == file.size();
}

bool removeDir(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isDir())
        return true;
    if (info.isSymLink())
        return QFile::remove(path);   // the link goes, never what it points to
    const QDir dir(path);
    const QFileInfoList entries = dir.entryInfoList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::DirsFirst);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir() && !entry.isSymLink()) {
            if (!removeDir(entry.filePath()))
                return false;
        } else if (!QFile::remove(entry.filePath())) {
            return false;
        }
    }
    return QDir().rmdir(path);
}

QTextCodec *detectCodec(const QByteArray &bytes)
{
    if (bytes.size() < 4)
        return nullptr;
    const uchar b0 = uchar(bytes.at(0)), b1 = uchar(bytes.at(1));
    const uchar b2 = uchar(bytes.at(2)), b3 = uchar(bytes.at(3));
    int mib = 106;
    if ((b0 == 0x00 && b1 == 0x00 && b2 == 0xFE && b3 == 0xFF)
            || (b0 == 0xFF && b1 == 0xFE && b2 == 0x00 && b3 == 0x00))
        mib = 1017;
    else if (b0 == 0x3C && b1 == 0x00 && b2 == 0x00 && b3 == 0x00)
        mib = 1019;
    else if (b0 == 0x00 && b1 == 0x00 && b2 == 0x00 && b3 == 0x3C)
        mib = 1018;
    else if ((b0 == 0xFE && b1 == 0xFF) || (b0 == 0xFF && b1 == 0xFE))
        mib = 1015;
    else if (b0 == 0x3C && b1 == 0x00)
        mib = 1014;
    else if (b0 == 0x00 && b1 == 0x3C)
        mib = 1013;
    return QTextCodec::codecForMib(mib);
}

bool fileExists(const QString &pathOrUrl)
{
    if (pathOrUrl.startsWith(QLatin1String("file://"))) {
        bool ascii = true;
        for (const QChar c : pathOrUrl) {
            if (c.unicode() >= 0x80) {
                ascii = false;
                break;
            }
        }
        const QUrl url = ascii ? QUrl::fromEncoded(pathOrUrl.toLatin1(), QUrl::TolerantMode)
                               : QUrl(pathOrUrl, QUrl::TolerantMode);
        return url.isValid() && QFileInfo::exists(url.toLocalFile());
    }
    return QFileInfo::exists(pathOrUrl);
}

QByteArray textToBytes(const QString &text, const QString &codec)
{
    QTextCodec *textCodec = codecByName(codec);
    if (!textCodec)
        return QByteArray();
    QByteArray bytes;
    QTextStream stream(&bytes, QIODevice::WriteOnly);
    stream.setCodec(textCodec);
    stream.setGenerateByteOrderMark(false);
    stream << text;
    stream.flush();
    return bytes;
}

QString appDirPath()
{
    return QCoreApplication::applicationDirPath();
}
