// Fuzz target: any bytes as an archive. Listing, reading and extracting must
// neither crash nor leave the destination folder.

#include <QBuffer>
#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cstdint>
#include <cstdlib>

#include "qzipreader.h"

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

// Folders extracted with the archive's rights may be closed even to their
// owner; an ordinary user (unlike root) then can neither look inside nor clean
// up. Opens every folder to its owner again, top down.
void openFolders(const QString &dir, int depth = 0)
{
    if (depth > 64)
        return;
    const QFileInfoList children = QDir(dir).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden
                                                           | QDir::System);
    for (const QFileInfo &child : children) {
        if (child.isSymLink())
            continue;
        QFile::setPermissions(child.filePath(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        openFolders(child.filePath(), depth + 1);
    }
}

// Extraction may only create things below root, and links that lead below it:
// by their text and by where the file system really takes them.
void checkTree(const QString &root)
{
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    int guard = 0;
    while (it.hasNext() && ++guard < 100000) {
        it.next();
        const QFileInfo info = it.fileInfo();
        if (!info.isSymLink())
            continue;
        if (!info.symLinkTarget().startsWith(root + QLatin1Char('/')) && info.symLinkTarget() != root)
            abort();
        const QString real = info.canonicalFilePath();
        if (!real.isEmpty() && !real.startsWith(root + QLatin1Char('/')) && real != root)
            abort();
    }
}

} // namespace

int fuzzZipReader(const uint8_t *data, size_t size)
{
    static const QtMessageHandler previous = qInstallMessageHandler(quiet);
    Q_UNUSED(previous)
    QBuffer buffer;
    buffer.setData(reinterpret_cast<const char *>(data), int(size));
    QZipReader reader(&buffer);
    const QList<QZipReader::FileInfo> entries = reader.listEntries();
    qint64 total = 0;
    for (const QZipReader::FileInfo &info : entries)
        total += reader.fileData(info.entryPath).size();
    // What comes out is bounded by what deflate can make of the input.
    if (total > (qint64(size) * 1032 + 1024) * qMax(1, entries.size()))
        abort();
    if (!entries.isEmpty()) {
        QTemporaryDir parent;
        const QString dest = parent.path() + QStringLiteral("/dest");
        reader.extractTree(dest);
        QDirIterator it(parent.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
        while (it.hasNext()) {
            if (it.next() != dest)
                abort();
        }
        openFolders(dest);
        checkTree(QFileInfo(dest).canonicalFilePath());
    }
    return 0;
}

#ifndef QUILLARY_FUZZ_NO_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return fuzzZipReader(data, size);
}
#endif
