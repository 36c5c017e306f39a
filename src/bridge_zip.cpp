#include "bridge.h"

#include "miscutils.h"
#include "qzipreader.h"
#include "qzipwriter.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>

bool Bridge::unzip(QString src_zip, QString dest_dir)
{
    if (src_zip.isEmpty() || dest_dir.isEmpty())
        return false;
    const QString archive = urlToLocalPath(src_zip);
    // Opening a pipe would wait for a writer that may never come.
    if (!isPlainFile(archive))
        return false;
    const QString folder = urlToLocalPath(dest_dir);
    QDir().mkpath(folder);
    QZipReader reader(archive, QIODevice::ReadOnly);
    return reader.extractTree(folder);
}

bool Bridge::zip(QString src, QString dest_zip)
{
    if (src.isEmpty() || dest_zip.isEmpty())
        return false;
    const QString source = urlToLocalPath(src);
    const QString archive = urlToLocalPath(dest_zip);
    const QFileInfo sourceInfo(source);
    // Nothing to pack is a failure, not an empty archive.
    if (!sourceInfo.isFile() && !sourceInfo.isDir())
        return false;
    // Opening the archive empties it: a file packed into itself would be lost.
    if (sourceInfo.isFile() && sourceInfo.canonicalFilePath() == QFileInfo(archive).canonicalFilePath())
        return false;
    QDir().mkpath(QFileInfo(archive).absolutePath());

    QZipWriter writer(archive, QIODevice::WriteOnly | QIODevice::Truncate);
    writer.setCompressing(QZipWriter::CompressAuto);
    if (sourceInfo.isFile()) {
        QFile file(source);
        writer.addFileFromDevice(sourceInfo.fileName(), &file);
    } else if (sourceInfo.isDir()) {
        // An archive written inside the folder it packs must not pack itself.
        const QString archiveItself = QFileInfo(archive).canonicalFilePath();
        QString base = sourceInfo.absoluteFilePath();
        base.truncate(base.lastIndexOf(QLatin1Char('/')) + 1);
        QSet<QString> folders;
        QDirIterator it(sourceInfo.absoluteFilePath(), QDir::AllEntries | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            const QFileInfo info = it.fileInfo();
            const QString name = info.absoluteFilePath().mid(base.size());
            if (info.isDir()) {
                if (name.isEmpty() || folders.contains(name))
                    continue;
                writer.setNewEntryPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                              | QFile::ReadGroup | QFile::ExeGroup | QFile::ExeOther);
                writer.addDirectoryEntry(name);
                folders.insert(name);
            } else if (info.isFile()) {
                if (!archiveItself.isEmpty() && info.canonicalFilePath() == archiveItself)
                    continue;
                writer.setNewEntryPermissions(QFileInfo(info.absolutePath()).permissions());
                QFile file(info.absoluteFilePath());
                writer.addFileFromDevice(name, &file);
            }
        }
    }
    writer.finish();
    return writer.writerStatus() == QZipWriter::StatusOk;
}
