#include "bridge.h"

#include "filewriter.h"
#include "miscutils.h"
#include "qzipreader.h"
#include "qzipwriter.h"
#include "samefile.h"

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
    // Only a regular file is replaced: a pipe would wait for a reader forever
    // and a device is no place for an archive.
    const QFileInfo archiveInfo(archive);
    if (archiveInfo.exists() && !archiveInfo.isFile())
        return false;

    // Written beside the old archive and put in its place only when whole: a
    // failed run keeps the old one and never leaves a cut archive behind.
    FileWriter file(archive);
    file.setDirectWriteFallback(true);
    if (!file.open())
        return false;
    QZipWriter writer(&file.device());
    writer.setCompressing(QZipWriter::CompressAuto);
    if (sourceInfo.isFile()) {
        QFile entry(source);
        writer.addFileFromDevice(sourceInfo.fileName(), &entry);
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
                QFile entry(info.absoluteFilePath());
                // The new archive's temporary may have a name in the folder too.
                if (entry.open(QIODevice::ReadOnly) && isSameOpenFile(entry.handle(), file.device().handle()))
                    continue;
                writer.setNewEntryPermissions(QFileInfo(info.absolutePath()).permissions());
                writer.addFileFromDevice(name, &entry);
            }
        }
    }
    writer.finish();
    return writer.writerStatus() == QZipWriter::StatusOk && file.commit();
}
